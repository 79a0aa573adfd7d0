#include "DiskFile.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <unistd.h>

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode)
{
    return std::fopen(path.c_str(), mode);
}

namespace {

// A file without a name from the start where the system allows it, else
// one that loses its name at once: nothing is left behind even by a crash.
int OpenNameless(const std::filesystem::path& folder)
{
#ifdef O_TMPFILE
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
#endif
    // mkstemp makes its file with O_EXCL: an existing name is never opened.
    std::string name = (folder / "zaritmon-log-XXXXXX").string();
    const int named = ::mkstemp(name.data());
    if (named >= 0) {
        ::unlink(name.c_str());
        ::fcntl(named, F_SETFD, FD_CLOEXEC);
    }
    return named;
}

} // namespace

std::unique_ptr<ScratchFile> ScratchFile::Create()
{
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error)
        return nullptr;
    const int fd = OpenNameless(folder);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<ScratchFile>(new ScratchFile(fd));
}

ScratchFile::~ScratchFile()
{
    ::close(static_cast<int>(handle_));
}

bool ScratchFile::WriteAt(uint64_t offset, const char* data, std::size_t size)
{
    const int fd = static_cast<int>(handle_);
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t ScratchFile::ReadAt(uint64_t offset, char* buffer, std::size_t size)
{
    const int fd = static_cast<int>(handle_);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}
