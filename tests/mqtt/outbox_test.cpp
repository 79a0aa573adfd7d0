// The events' delivery from their files: whatever the files, the record and
// the clock went through, an event is taken again rather than skipped, and
// no two events share an id.

#include "Cp1251.h"
#include "EventOutbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class OutboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("zarit-outbox-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path File(const std::string& date) const { return dir_ / ("ZaritMon-events-" + date + ".csv"); }
    // An event line (what names it), or the header when what is empty.
    void Append(const std::string& date, const std::string& what) const
    {
        std::ofstream(File(date), std::ios::binary | std::ios::app)
            << Utf8ToCp1251(what.empty() ? "Время;Вид;Событие;Состояние;Ia, А;Ib, А;Ic, А;3Io, А;Iкз, А;Реле"
                                         : date + " 09:00:00.001;Связь;" + what + ";нет ответа;;;;;;адрес 2")
            << "\r\n";
    }
    std::unique_ptr<EventOutbox> Open()
    {
        return std::make_unique<EventOutbox>(dir_, "st", [this](const std::string& text) { said_ += text + "\n"; });
    }
    // What the outbox offers now, each acknowledged: "what" each.
    static std::vector<std::string> Deliver(EventOutbox& outbox, std::vector<std::string>* ids = nullptr)
    {
        std::vector<std::string> taken;
        outbox.Look();
        while (auto item = outbox.Next()) {
            const auto at = item->message.json.find("\"what\":\"") + 8;
            taken.push_back(item->message.json.substr(at, item->message.json.find('"', at) - at));
            if (ids)
                ids->push_back(item->id);
            outbox.Delivered(item->after);
        }
        return taken;
    }
    using Whats = std::vector<std::string>;

    fs::path dir_;
    std::string said_;
};

TEST_F(OutboxTest, ATakenEventIsNeverSkipped)
{
    {
        SCOPED_TRACE("the first start is recorded: a restart before any acknowledgement starts there too");
        Append("2026-12-08", "");
        Append("2026-12-08", "e1");
        Open();
        Append("2026-12-08", "e2");
        EXPECT_EQ(Deliver(*Open()), Whats{"e2"});
    }
    {
        SCOPED_TRACE("events filed into an earlier day than the record's: the clock was set back");
        auto outbox = Open();
        Append("2026-12-07", "");
        Append("2026-12-07", "back");
        EXPECT_EQ(Deliver(*outbox), Whats{"back"});
    }
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    {
        SCOPED_TRACE("a record of an earlier version from a clock that was ahead");
        std::ofstream(dir_ / "ZaritMon-events-delivered.txt") << "2099-01-01 3 400\n";
        Append("2026-12-08", "");
        auto outbox = Open();
        Append("2026-12-08", "today");
        EXPECT_EQ(Deliver(*outbox), Whats{"today"});
    }
    {
        SCOPED_TRACE("a record past the end of its file: a power cut kept the record, not the lines");
        Append("2026-12-08", "e3");
        std::ofstream(dir_ / "ZaritMon-events-delivered.txt")
            << "zaritmon-events-delivered 2\n2026-12-08 " << fs::file_size(File("2026-12-08")) + 90
            << " 6 00000000\n";
        auto outbox = Open();
        EXPECT_NE(said_.find("за конец"), std::string::npos) << said_;
        Append("2026-12-08", "e4");
        EXPECT_EQ(Deliver(*outbox), (Whats{"e3", "e4"}));
    }
}

// A day's file made afresh (deleted, or moved away and written anew) has
// other events at the same lines: each is delivered, under an id of its own.
TEST_F(OutboxTest, IdsAreNeverReused)
{
    Append("2026-12-08", "");
    auto outbox = Open();
    Append("2026-12-08", "old");
    std::vector<std::string> ids;
    EXPECT_EQ(Deliver(*outbox, &ids), Whats{"old"});
    fs::remove(File("2026-12-08"));
    Append("2026-12-08", "");
    Append("2026-12-08", "new");
    EXPECT_EQ(Deliver(*outbox, &ids), Whats{"new"});
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_EQ(ids[0].rfind("st/2026-12-08/2/", 0), 0u) << ids[0];
    EXPECT_EQ(ids[1].rfind("st/2026-12-08/2/", 0), 0u) << ids[1];
}

// A line torn by a power cut and glued to the next by an earlier version,
// or zeros where the disk lost the bytes, is no event to publish.
TEST_F(OutboxTest, TornAndGluedLinesAreNotPublished)
{
    Append("2026-12-08", "");
    auto outbox = Open();
    std::ofstream(File("2026-12-08"), std::ios::binary | std::ios::app)
        << "2026-12-08 08:00:00.000;\xD1\xE2\xFF\xE7\xFC;\xD1\xE2\xFF\xE7\xFC;\xED\xE5\xF2 "
        << std::string(8, '\0') << "\r\n";
    Append("2026-12-08", "whole");
    std::ofstream(File("2026-12-08"), std::ios::binary | std::ios::app) << "2026-12-08 08:00:00.000;\xD1\xE2";
    Append("2026-12-08", "glued");
    EXPECT_EQ(Deliver(*outbox), Whats{"whole"});
}

// The folder is looked at when told to, the record written at most once a
// second: a box on flash storage.
TEST_F(OutboxTest, LooksWhenToldAndRecordsAtMostOnceASecond)
{
    Append("2026-12-08", "");
    auto outbox = Open();
    const auto record = [&] {
        std::ifstream in(dir_ / "ZaritMon-events-delivered.txt");
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    };
    const std::string first = record();
    EXPECT_FALSE(outbox->Next());  // its first look
    Append("2026-12-08", "e1");
    EXPECT_FALSE(outbox->Next()) << "looked without being told";
    const auto item = (outbox->Look(), outbox->Next());
    ASSERT_TRUE(item);
    outbox->Delivered(item->after);
    outbox->Save();
    EXPECT_EQ(record(), first) << "written again within the second";
    outbox->Save(true);
    EXPECT_NE(record(), first);
}

} // namespace
