// Folders with letters outside the ANSI code page (1252 here).

#include "EventLog.h"
#include "ExchangeJournal.h"

#include <gtest/gtest.h>

#include <filesystem>

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

} // namespace
