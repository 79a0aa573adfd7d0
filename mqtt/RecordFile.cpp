#include "RecordFile.h"

#include "FileSync.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fs = std::filesystem;

std::string WriteRecord(const fs::path& record, const std::string& text)
{
    const fs::path fresh = record.string() + ".new";
    std::error_code error;
    fs::create_directories(record.parent_path(), error);  // the first start may come before the first event
    errno = 0;
    std::FILE* out = std::fopen(fresh.c_str(), "wb");
    bool ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0
              && SyncToDisk(out);
    std::string why = std::strerror(errno ? errno : EIO);
    if (out && std::fclose(out) != 0 && ok) {
        ok = false;
        why = std::strerror(errno);
    }
    if (!ok)
        return why;
    fs::rename(fresh, record, error);
    return error ? error.message() : std::string();
}
