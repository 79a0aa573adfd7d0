#pragma once

// Files on the local disk as the platform opens them (DiskFile_posix.cpp,
// DiskFile_win32.cpp).

#include <cstdio>
#include <filesystem>

// std::fopen by the path as the system names it: on Windows the wide name,
// since a narrow one goes through the ANSI code page and fails for a folder
// with letters outside it. Sets errno when it fails.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);
