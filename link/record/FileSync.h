#pragma once

// What the journal needs of the platform beyond the standard library.

#include <cstdio>

// Asks the system to put the file's data on the disk itself, so that it
// survives a power cut and not only the process. False, with errno set,
// when it cannot: what was written since the last success may be lost.
bool SyncToDisk(std::FILE* file);

// A write past the process's file-size limit must fail like a full disk,
// not end the program with SIGXFSZ. Nothing to do where there is no such signal.
void KeepRunningAtFileSizeLimit();
