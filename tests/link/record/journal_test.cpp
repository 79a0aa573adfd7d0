// The exchange log's file of older lines and the exchange journal on disk:
// every line kept, in order, across clears, rebuilds, midnight and a disk
// that refuses for a while.

#include "Cp1251.h"
#include "ExchangeJournal.h"
#include "ExchangeLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// The disk's answer to the journal's request to keep what it was given:
// the system's own unless a test makes it refuse.
static std::atomic<bool> refuseSync{false};
extern "C" int fdatasync(int fd)
{
    if (refuseSync) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

namespace {

namespace fs = std::filesystem;
using Date = ExchangeJournal::Date;

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// What a saved log of these lines holds.
std::string Saved(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += Utf8ToCp1251(line) + "\r\n";
    return text;
}

std::vector<std::string> Numbered(const std::string& prefix, int from, int to)
{
    std::vector<std::string> lines;
    for (int i = from; i < to; ++i)
        lines.push_back("9:05:07:" + std::to_string(i) + "\tЗапрос: " + prefix + " " + std::to_string(i) + " ");
    return lines;
}

class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/zarit-journal-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

TEST(ExchangeLogSpill, LinesLeaveMemoryAndComeBackTheSame)
{
    ExchangeLog log;
    const auto lines = Numbered("Ответ", 0, 5000);
    for (const auto& line : lines)
        log.Add(line);
    const std::size_t before = log.MemoryBytes();
    ASSERT_TRUE(log.SpillBefore(4000));
    EXPECT_EQ(log.FirstInMemory(), 4000u);
    EXPECT_EQ(log.Count(), 5000u);
    EXPECT_LT(log.MemoryBytes(), before);
    // Read back across the boundary, line by line and as text.
    for (std::size_t i : {0, 1, 1023, 1024, 1025, 3999, 4000, 4999})
        EXPECT_EQ(log.Line(i), lines[i]) << i;
    EXPECT_EQ(log.Line(5000), "");
    EXPECT_EQ(log.Lines(), lines);
    EXPECT_EQ(log.TextFrom(2500, "\n"), [&] {
        std::string text;
        for (std::size_t i = 2500; i < lines.size(); ++i)
            text += lines[i] + "\n";
        return text;
    }());
    // The file holds exactly the bytes a save of the spilled lines has.
    const std::string expected = Saved({lines.begin(), lines.begin() + 4000});
    ASSERT_EQ(log.SpilledBytes(), expected.size());
    std::string read(expected.size(), '\0');
    std::size_t done = 0;
    while (done < read.size()) {
        const std::size_t got = log.ReadSpilled(done, read.data() + done, 777);
        ASSERT_GT(got, 0u);
        done += got;
    }
    EXPECT_EQ(read, expected);
    EXPECT_EQ(log.SavedText(4000, 4002), Saved({lines[4000], lines[4001]}));

    // More lines, a second spill, then a clear that forgets the file.
    log.Add("after");
    ASSERT_TRUE(log.SpillBefore(5001));
    EXPECT_EQ(log.Line(5000), "after");
    EXPECT_EQ(log.Count(), 5001u);
    log.Clear();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(log.SpilledBytes(), 0u);
    log.Add("fresh");
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"fresh"});
}

// A date source the test moves on, as midnight would.
struct TestDay {
    std::atomic<int> day{7};
    ExchangeJournal::DateSource Source()
    {
        return [this] { return Date{2026, 12, day.load()}; };
    }
};

TEST(ExchangeJournal, HoldsEveryLineInOrderAcrossClearRebuildAndMidnight)
{
    TempDir dir;
    TestDay today;
    ExchangeJournal journal(dir.Path() / "journal", today.Source());
    std::vector<std::string> day7, day8;
    {
        ExchangeLog log;
        log.SetJournal(&journal);
        for (const auto& line : Numbered("a", 0, 100))
            log.Add(line), day7.push_back(line);
        log.Clear();
        for (const auto& line : Numbered("b", 0, 50))
            log.Add(line), day7.push_back(line);
    }
    // The link rebuilt: a new log, the same journal.
    ExchangeLog log;
    log.SetJournal(&journal);
    for (const auto& line : Numbered("c", 0, 30))
        log.Add(line), day7.push_back(line);
    today.day = 8;
    for (const auto& line : Numbered("d", 0, 30))
        log.Add(line), day8.push_back(line);
    ASSERT_TRUE(journal.Flush());
    EXPECT_EQ(ReadAll(journal.FileFor({2026, 12, 7})), Saved(day7));
    EXPECT_EQ(ReadAll(journal.FileFor({2026, 12, 8})), Saved(day8));
    EXPECT_EQ(journal.FileFor({2026, 12, 8}).filename(), "ZaritMon-2026-12-08.log");
    EXPECT_FALSE(journal.State().failing);
}

// Two ways the disk refuses: a file where the folder should be, and the
// process's file-size limit. Each is reported as one failure however often
// the journal tries, and every line is there once the disk takes it again.
TEST(ExchangeJournal, RefusedWritesAreReportedOnceAndCaughtUpLater)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& folder)> refuse;
        std::function<void(const fs::path& folder)> allow;
    };
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &original), 0);
    const Case cases[] = {
        {"folder not creatable",
         [](const fs::path& folder) {
             fs::rename(folder, folder.string() + ".aside");
             std::ofstream(folder) << "in the way";
         },
         [](const fs::path& folder) {
             fs::remove(folder);
             fs::rename(folder.string() + ".aside", folder);
         }},
        {"file-size limit",
         [&](const fs::path& folder) {
             rlimit small = original;
             small.rlim_cur = fs::file_size(folder / "ZaritMon-2026-12-07.log") + 10;  // mid-line
             ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
         },
         [&](const fs::path&) { ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &original), 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        TestDay today;
        const fs::path folder = dir.Path() / "journal";
        ExchangeJournal journal(folder, today.Source());
        ExchangeLog log;
        log.SetJournal(&journal);
        std::vector<std::string> all = Numbered("before", 0, 10);
        for (const auto& line : all)
            log.Add(line);
        ASSERT_TRUE(journal.Flush());

        c.refuse(folder);
        for (int round = 0; round < 3; ++round) {
            for (const auto& line : Numbered("during", round * 10, round * 10 + 10))
                log.Add(line), all.push_back(line);
            EXPECT_FALSE(journal.Flush());
        }
        const ExchangeJournal::Health failed = journal.State();
        EXPECT_TRUE(failed.failing);
        EXPECT_EQ(failed.failures, 1u);
        EXPECT_FALSE(failed.error.empty());

        c.allow(folder);
        for (const auto& line : Numbered("after", 0, 10))
            log.Add(line), all.push_back(line);
        ASSERT_TRUE(journal.Flush());
        EXPECT_FALSE(journal.State().failing);
        EXPECT_EQ(journal.State().failures, 1u);
        EXPECT_EQ(ReadAll(journal.FileFor({2026, 12, 7})), Saved(all));
    }
}

TEST(ExchangeJournal, AFailedSyncIsAFailureAndItsLinesAreWrittenAgainOnce)
{
    TempDir dir;
    TestDay today;
    ExchangeJournal journal(dir.Path(), today.Source());
    refuseSync = true;
    std::vector<std::string> all = Numbered("a", 0, 10);
    for (const auto& line : all)
        journal.Append(line);
    EXPECT_FALSE(journal.Flush());
    EXPECT_TRUE(journal.State().failing);
    EXPECT_FALSE(journal.State().error.empty());
    refuseSync = false;
    for (const auto& line : Numbered("b", 0, 10))
        journal.Append(line), all.push_back(line);
    EXPECT_TRUE(journal.Flush());
    EXPECT_EQ(ReadAll(journal.FileFor({2026, 12, 7})), Saved(all));
}

// Lines dropped once too much waits leave a line of their own where they
// were; lines still held at the end are reported, not dropped unsaid.
TEST(ExchangeJournal, LostLinesAreNamedInTheJournalAndAtTheEnd)
{
    TempDir dir;
    TestDay today;
    const fs::path folder = dir.Path() / "journal";
    std::ofstream(folder) << "in the way";
    auto journal = std::make_unique<ExchangeJournal>(folder, today.Source(), 1000);
    const std::vector<std::string> lines = Numbered("gap", 0, 100);
    for (const auto& line : lines)
        journal->Append(line);
    EXPECT_FALSE(journal->Flush());
    const uint64_t dropped = journal->State().droppedLines;
    ASSERT_GT(dropped, 0u);
    fs::remove(folder);
    std::vector<std::string> after = Numbered("after", 0, 3);
    for (const auto& line : after)
        journal->Append(line);
    ASSERT_TRUE(journal->Flush());
    after.insert(after.begin(), lines.begin() + static_cast<long>(dropped), lines.end());
    EXPECT_EQ(ReadAll(journal->FileFor({2026, 12, 7})),
              Saved({"9:05:07:0\tпропущено " + std::to_string(dropped) + " строк"}) + Saved(after));

    fs::rename(folder, folder.string() + ".aside");
    std::ofstream(folder) << "in the way";
    for (const auto& line : Numbered("end", 0, 3))
        journal->Append(line);
    testing::internal::CaptureStderr();
    journal.reset();
    EXPECT_NE(testing::internal::GetCapturedStderr().find(" 3 lines"), std::string::npos);
}

} // namespace
