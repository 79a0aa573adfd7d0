#include "FileSync.h"

#include <io.h>
#include <windows.h>

bool SyncToDisk(std::FILE* file)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

void KeepRunningAtFileSizeLimit() {}
