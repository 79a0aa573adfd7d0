#include "FileSync.h"

#include <csignal>
#include <unistd.h>

bool SyncToDisk(std::FILE* file)
{
    return fdatasync(fileno(file)) == 0;
}

void KeepRunningAtFileSizeLimit()
{
    std::signal(SIGXFSZ, SIG_IGN);
}
