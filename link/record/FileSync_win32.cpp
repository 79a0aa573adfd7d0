#include "FileSync.h"

#include <cerrno>
#include <io.h>
#include <windows.h>

bool SyncToDisk(std::FILE* file)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0)
        return true;
    // The caller words the failure from errno, as it does for a write.
    const DWORD why = GetLastError();
    errno = why == ERROR_DISK_FULL || why == ERROR_HANDLE_DISK_FULL ? ENOSPC : EIO;
    return false;
}

void KeepRunningAtFileSizeLimit() {}
