#include "UnwrittenAtClose.h"

#include "Cp1251.h"
#include "DiskFile.h"

#include <cerrno>
#include <system_error>

namespace {

std::string SystemError(int error)
{
    return std::error_code(error ? error : EIO, std::generic_category()).message();
}

std::string Reason(const std::string& error)
{
    return error.empty() ? std::string() : " (" + error + ")";
}

} // namespace

std::filesystem::path UnwrittenFile(const std::filesystem::path& folder)
{
    // "journal/" names the same folder as "journal".
    const std::filesystem::path named = folder.has_filename() ? folder : folder.parent_path();
    return named.parent_path() / kUnwrittenFileName;
}

std::string UnwrittenText(const UnwrittenAtClose& u, const LocalTime& at)
{
    std::string text = FormatStamp(at) + " при закрытии программы не записаны в папку «"
                       + reinterpret_cast<const char*>(u.folder.u8string().c_str()) + "»:\n";
    if (u.journalLines > 0)
        text += "строк журнала обмена: " + std::to_string(u.journalLines) + Reason(u.journalError) + "\n";
    if (u.events > 0)
        text += "событий: " + std::to_string(u.events) + Reason(u.eventsError) + "\n";
    return text;
}

bool AppendUnwrittenFile(const std::filesystem::path& file, const std::string& text, std::string* error)
{
    std::string bytes;
    for (const char c : Utf8ToCp1251(text))
        bytes += c == '\n' ? std::string("\r\n") : std::string(1, c);
    errno = 0;
    std::FILE* f = OpenFile(file, "ab");
    if (!f) {
        *error = SystemError(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const int writeError = errno;
    if (std::fclose(f) != 0 || !written) {
        *error = SystemError(written ? errno : writeError);
        return false;
    }
    return true;
}
