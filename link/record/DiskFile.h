#pragma once

// Files on the local disk as the platform opens them (DiskFile_posix.cpp,
// DiskFile_win32.cpp).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

// std::fopen by the path as the system names it: on Windows the wide name,
// since a narrow one goes through the ANSI code page and fails for a folder
// with letters outside it. Sets errno when it fails.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// Cuts a file longer than length back to it: what a failed write left after
// its last whole line. A file that is not there is no error.
inline std::error_code CutBack(const std::filesystem::path& path, uint64_t length)
{
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);
    if (error)
        return error == std::errc::no_such_file_or_directory ? std::error_code() : error;
    if (size > length)
        std::filesystem::resize_file(path, length, error);
    return error;
}

// A file of the process's own for what must leave memory, in the temporary
// folder: made anew under a name nobody can guess or have made first (never
// an existing file), opened by this process alone, and gone when the object
// goes or the process ends in any way. Not thread-safe.
class ScratchFile {
public:
    // Null when none can be made.
    static std::unique_ptr<ScratchFile> Create();
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Writes every byte at offset; false when the disk took fewer.
    bool WriteAt(uint64_t offset, const char* data, std::size_t size);
    // The bytes read at offset: fewer only at the end of the file or on an error.
    std::size_t ReadAt(uint64_t offset, char* buffer, std::size_t size);

private:
    explicit ScratchFile(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_;  // a descriptor, or a HANDLE
};
