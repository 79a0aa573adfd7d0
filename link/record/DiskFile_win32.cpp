#include "DiskFile.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <system_error>

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode)
{
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return ::_wfopen(path.c_str(), wideMode.c_str());
}

namespace {

constexpr int kNameAttempts = 100;

HANDLE Handle(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// Offsets go in the record even without overlapped I/O.
OVERLAPPED At(uint64_t offset)
{
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

} // namespace

std::unique_ptr<ScratchFile> ScratchFile::Create()
{
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error)
        return nullptr;
    std::random_device random;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const uint64_t salt = (uint64_t{random()} << 32) ^ random();
        const std::filesystem::path path = folder / ("zaritmon-log-" + std::to_string(salt) + ".tmp");
        // CREATE_NEW: never an existing file, whoever made it. No sharing, and
        // the system deletes it with the last handle, a crash included: an
        // open file cannot lose its name here.
        const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return std::unique_ptr<ScratchFile>(new ScratchFile(reinterpret_cast<std::intptr_t>(h)));
        const DWORD why = ::GetLastError();
        if (why != ERROR_FILE_EXISTS && why != ERROR_ALREADY_EXISTS)
            return nullptr;
    }
    return nullptr;
}

ScratchFile::~ScratchFile()
{
    ::CloseHandle(Handle(handle_));
}

bool ScratchFile::WriteAt(uint64_t offset, const char* data, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        OVERLAPPED o = At(offset + done);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, INT_MAX));
        DWORD written = 0;
        if (!::WriteFile(Handle(handle_), data + done, chunk, &written, &o) || written == 0)
            return false;
        done += written;
    }
    return true;
}

std::size_t ScratchFile::ReadAt(uint64_t offset, char* buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED o = At(offset + done);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, INT_MAX));
        DWORD read = 0;
        if (!::ReadFile(Handle(handle_), buffer + done, chunk, &read, &o) || read == 0)
            break;
        done += read;
    }
    return done;
}
