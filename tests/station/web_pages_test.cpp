#include "TIniFile.h"
#include "WebPages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// [Web]: what turns the page off, and why; the rest is served.
TEST(WebSettings, APageBeyondTheLoopbackNeedsPasswords)
{
    const fs::path dir = fs::temp_directory_path() / ("zarit-web-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string users = (dir / "users").string();
    std::ofstream(users) << "op:zaritmon:0123456789abcdef0123456789abcdef\n";
    const struct {
        std::string section;
        bool serves;
        const char* told;  // the start of the reason
    } cases[] = {
        {"LISTEN=127.0.0.1:8080", true, ""},
        {"LISTEN=127.0.0.2:0", true, ""},
        {"LISTEN=0.0.0.0:8080", false, "LISTEN 0.0.0.0:8080 открыт не только"},
        {"LISTEN=10.0.0.5:8080\nPASSWORDFILE=" + users, true, ""},
        {"LISTEN=0.0.0.0:8080\nPASSWORDFILE=" + users + ".gone", false, "файл «"},
        {"LISTEN=[::1]:8080", false, "LISTEN: «[::1]:8080»"},
        {"LISTEN=localhost:8080", false, "LISTEN: «localhost:8080»"},
        {"LISTEN=127.0.0.1:65536", false, "LISTEN: «127.0.0.1:65536»"},
        {"LISTEN=127.0.0.1:8443\nCERTFILE=" + users, false, "CERTFILE и KEYFILE"},
        {"LISTEN=", false, nullptr},
    };
    for (const auto& c : cases) {
        std::ofstream(dir / "ZaritMon.ini", std::ios::binary) << "[Web]\n" << c.section << "\n";
        std::vector<std::string> problems;
        const web::Settings s = web::ReadSettings(TIniFile((dir / "ZaritMon.ini").string()), problems);
        EXPECT_EQ(!s.listen.empty(), c.serves) << c.section;
        if (c.told && *c.told) {
            ASSERT_EQ(problems.size(), 1u) << c.section;
            EXPECT_EQ(problems[0].rfind(c.told, 0), 0u) << problems[0];
        } else {
            EXPECT_TRUE(problems.empty()) << c.section << ": " << problems[0];
        }
    }
    fs::remove_all(dir);
}

// Newest first, a page at a time, after the filter.
TEST(WebEvents, PagesCountWhatTheFilterLeaves)
{
    std::deque<web::StoredEvent> events;
    for (int i = 0; i < 130; ++i)
        events.push_back({static_cast<uint8_t>(i % 2 + 1), i % 10 ? "Связь" : "Срабатывания",
                          "{\"n\":" + std::to_string(i) + "}"});
    const struct {
        web::EventFilter filter;
        const char* starts;
    } cases[] = {
        {{std::nullopt, "", 0}, "{\"total\":130,\"page\":0,\"pageSize\":50,\"events\":[{\"n\":129},{\"n\":128}"},
        {{std::nullopt, "", 2}, "{\"total\":130,\"page\":2,\"pageSize\":50,\"events\":[{\"n\":29},"},
        {{2, "", 1}, "{\"total\":65,\"page\":1,\"pageSize\":50,\"events\":[{\"n\":29},{\"n\":27}"},
        {{1, "Срабатывания", 0}, "{\"total\":13,\"page\":0,\"pageSize\":50,\"events\":[{\"n\":120},{\"n\":110}"},
        {{std::nullopt, "", 3}, "{\"total\":130,\"page\":3,\"pageSize\":50,\"events\":[]}"},
        {{0, "", 0}, "{\"total\":0,\"page\":0,\"pageSize\":50,\"events\":[]}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(web::EventsJson(events, c.filter).rfind(c.starts, 0), 0u) << web::EventsJson(events, c.filter);
    // The last page ends with the oldest.
    const std::string last = web::EventsJson(events, {std::nullopt, "", 2});
    EXPECT_TRUE(last.ends_with("{\"n\":0}]}")) << last;
}

} // namespace
