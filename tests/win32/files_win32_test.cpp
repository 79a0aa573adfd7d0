// Folders with letters outside the ANSI code page (1252 here); the spill file.

#include "EventLog.h"
#include "ExchangeJournal.h"
#include "ExchangeLog.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;

TEST(CyrillicFolder, TakesTheJournalAndTheEvents)
{
    const fs::path folder = fs::temp_directory_path() / u8"zarit-files-Журнал";
    {
        ExchangeJournal journal(folder);
        journal.Append("01 03 00 00 00 2E C4 1E");
        EXPECT_TRUE(journal.Flush()) << journal.State().error;
    }
    EventLog events;
    events.SetFolder(folder);
    events.Add(Event{std::chrono::system_clock::now(), EventKind::Operator, "Опрос", "начат", std::nullopt});
    EXPECT_FALSE(events.Failing()) << events.Error();
    events.SetFolder(std::nullopt);
    fs::remove_all(folder);
}

TEST(SpillFileDeathTest, GoesWithAProcessThatDiesAndTakesNoExistingFile)
{
    const fs::path temp = fs::temp_directory_path() / u8"zarit-spill-Темп";
    fs::create_directories(temp);
    std::ofstream(temp / "zaritmon-log-1.tmp") << "kept";
    EXPECT_EXIT(
        {
            SetEnvironmentVariableW(L"TMP", temp.c_str());
            ExchangeLog log;
            log.Add("первая");
            std::_Exit(log.SpillBefore(1) && log.Line(0) == "первая" ? 0 : 1);  // no destructor runs
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(temp), fs::directory_iterator()), 1);
    std::string kept;
    std::ifstream(temp / "zaritmon-log-1.tmp") >> kept;
    EXPECT_EQ(kept, "kept");
    fs::remove_all(temp);
}

} // namespace
