// Events from sequences of polls, their CSV lines, and the event file.

#include "Cp1251.h"
#include "EventDetector.h"
#include "EventLog.h"
#include "TDeviceControl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using std::chrono::system_clock;

// A poll at second `s` of a fixed day: accepted with these registers,
// unanswered when inputs is -1, rejected when it is -2.
struct Poll {
    int inputs = 0;        // register 4
    int leds = 0x80;       // register 5: healthy
    uint16_t lastTrip = 0; // register 45
    uint16_t ia = 250;
};

PollSample Sample(int second, const Poll& p)
{
    PollSample s;
    s.at = system_clock::time_point(std::chrono::seconds(1'796'000'000 + second));
    if (p.inputs < 0) {
        s.answered = false;
        s.silent = p.inputs == -1;
        return s;
    }
    s.values.assign(46, 0);
    s.values[0] = p.ia;
    s.values[1] = 251;
    s.values[2] = 249;
    s.values[3] = 5;
    s.values[4] = static_cast<uint16_t>(p.inputs);
    s.values[5] = static_cast<uint16_t>(p.leds);
    s.values[45] = p.lastTrip;
    return s;
}

// "second what=state" per event, in order.
std::vector<std::string> EventsOf(const std::vector<Poll>& polls)
{
    EventDetector detector;
    std::vector<std::string> out;
    for (std::size_t i = 0; i < polls.size(); ++i)
        for (const Event& e : detector.OnPoll(Sample(static_cast<int>(i), polls[i])))
            out.push_back(std::to_string(i) + " " + e.what + "=" + e.state);
    return out;
}

const Poll kSilent{-1};
const Poll kRejected{-2};

TEST(EventDetectorTest, ChangesOnceEach)
{
    struct Row {
        const char* name;
        std::vector<Poll> polls;
        std::vector<std::string> events;
    };
    const Row rows[] = {
        {"baseline alone, nothing changes", {{}, {}, {.ia = 300}}, {"0 Начальное состояние=Исправно"}},
        {"nothing lit at all", {{.leds = 0}}, {"0 Начальное состояние=ничего не горит"}},
        {"a trip: the LED and the trip current at the first poll that shows them",
         {{}, {}, {.leds = 0x81, .lastTrip = 1000}, {.leds = 0x81, .lastTrip = 1000}, {}},
         {"0 Начальное состояние=Исправно", "2 Сработало I> (МТЗ)=вкл", "2 Последнее срабатывание Iкз=10,00 А",
          "4 Сработало I> (МТЗ)=откл", "4 Последнее срабатывание Iкз=0,00 А"}},
        {"inputs, and the bits nobody shows are not events",
         {{.inputs = 0x1}, {.inputs = 0x3}, {.inputs = 0xF3, .leds = 0xFF80}, {.inputs = 0x2}},
         {"0 Начальное состояние=Исправно, Дискретный взод 1", "1 Дискретный вход 2=вкл",
          "3 Дискретный взод 1=откл"}},
        {"the link: once when it falls silent, once when it answers again",
         {{}, kSilent, kSilent, kSilent, {}, {}},
         {"0 Начальное состояние=Исправно", "1 Связь=нет ответа", "4 Связь=есть ответ"}},
        {"silent from the start, then the baseline",
         {kSilent, kSilent, {.inputs = 4}},
         {"0 Связь=нет ответа", "2 Связь=есть ответ", "2 Начальное состояние=Исправно, Дискретный вход 3"}},
        {"rejected replies are neither changes nor silence",
         {{}, kRejected, {.leds = 0x00}, kRejected, {.leds = 0x00}},
         {"0 Начальное состояние=Исправно", "2 Исправно=откл"}},
        {"what changed while silent is seen at the first answer",
         {{}, kSilent, {.leds = 0x00}},
         {"0 Начальное состояние=Исправно", "1 Связь=нет ответа", "2 Связь=есть ответ", "2 Исправно=откл"}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(EventsOf(row.polls), row.events) << row.name;
}

TEST(EventDetectorTest, RestartTakesANewBaselineAndEventsCarryThePollsCurrents)
{
    EventDetector detector;
    detector.OnPoll(Sample(0, {}));
    detector.Restart();
    const auto events = detector.OnPoll(Sample(1, {.leds = 0x81, .lastTrip = 1234, .ia = 1300}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].what, "Начальное состояние");
    EXPECT_EQ(events[0].state, "Исправно, Сработало I> (МТЗ)");
    EXPECT_EQ(events[0].kind, EventKind::Trip);
    EXPECT_EQ(events[0].at, Sample(1, {}).at);
    ASSERT_TRUE(events[0].currents);
    EXPECT_EQ(*events[0].currents, (std::array<uint16_t, 5>{1300, 251, 249, 5, 1234}));
    const auto silent = detector.OnPoll(Sample(2, kSilent));
    ASSERT_EQ(silent.size(), 1u);
    EXPECT_EQ(silent[0].kind, EventKind::Link);
    EXPECT_FALSE(silent[0].currents) << "no poll showed any";
}

class EventFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() / ("zarit-events-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    static std::string Read(const std::filesystem::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::filesystem::path dir_;
};

TEST_F(EventFileTest, EveryEventIsALineInTheDaysFileAsSoonAsItIsAdded)
{
    EventLog log(".");
    log.SetFolder(dir_);
    Event trip{Sample(0, {}).at, EventKind::Trip, "Сработало I> (МТЗ)", "вкл",
               std::array<uint16_t, 5>{1234, 5, 65535, 0, 1000}, "Фидер; 2 (адрес 2)"};
    Event typed{Sample(1, {}).at, EventKind::Operator, "Произвольный запрос: 01 03; 00", "ответ получен",
                std::nullopt};
    log.Add(trip);
    const std::string date = EventCsvLine(trip, ".").substr(0, 10);
    const auto file = log.FileFor(date);
    const std::string header = Utf8ToCp1251(EventCsvHeader()) + "\r\n";
    const std::string first = Utf8ToCp1251(EventCsvLine(trip, ".")) + "\r\n";
    EXPECT_EQ(Read(file), header + first) << "flushed with the event";
    log.Add(typed);
    EXPECT_EQ(Read(file), header + first + Utf8ToCp1251(EventCsvLine(typed, ".")) + "\r\n");
    EXPECT_FALSE(log.Failing());

    // The line itself, byte for byte (local time, so only after the stamp).
    const std::string line = EventCsvLine(trip, ",");
    EXPECT_EQ(line.substr(23),
              ";Срабатывания;Сработало I> (МТЗ);вкл;12,34;0,05;655,35;0,00;10,00;Фидер, 2 (адрес 2)");
    EXPECT_EQ(EventCsvLine(typed, ",").substr(23), ";Оператор;Произвольный запрос: 01 03, 00;ответ получен;;;;;;");
}

// Two ways the file refuses: a file where the folder should be, and the
// process's file-size limit in the middle of a line. Either is one failure,
// and once the file takes lines again it holds every event once, whole.
TEST_F(EventFileTest, RefusedEventsAreWrittenWholeOnceTheFileTakesThemAgain)
{
    namespace fs = std::filesystem;
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &original), 0);
    struct Case {
        const char* name;
        fs::path folder;
        std::function<void(const fs::path& file)> refuse;
        std::function<void()> allow;
    };
    const Case cases[] = {
        {"folder not creatable", dir_ / "sub", [&](const fs::path&) { std::ofstream(dir_) << "in the way"; },
         [&] { fs::remove(dir_); }},
        {"file-size limit", dir_,
         [&](const fs::path& file) {
             rlimit small = original;
             small.rlim_cur = fs::file_size(file) + 10;
             ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
         },
         [&] { ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &original), 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        EventLog log;
        log.SetFolder(c.folder);
        std::string expected = Utf8ToCp1251(EventCsvHeader()) + "\r\n";
        auto add = [&](int i) {
            const Event event{Sample(i, {}).at, EventKind::Operator, "Начать опрос " + std::to_string(i), "",
                              std::nullopt};
            log.Add(event);
            expected += Utf8ToCp1251(EventCsvLine(event, ",")) + "\r\n";
        };
        const fs::path file = log.FileFor(EventCsvLine({Sample(0, {}).at, {}, "", "", {}}, ",").substr(0, 10));
        if (c.folder == dir_)
            add(0);
        c.refuse(file);
        for (int i = 1; i < 4; ++i)
            add(i);
        EXPECT_TRUE(log.Failing());
        EXPECT_EQ(log.Failures(), 1u);
        EXPECT_FALSE(log.Error().empty());
        c.allow();
        log.WriteHeld();  // as the next tick does, before any new event
        EXPECT_FALSE(log.Failing());
        add(4);
        EXPECT_EQ(log.Failures(), 1u);
        EXPECT_EQ(Read(file), expected);
    }
}

// What was left of a line by a power cut before this run, and a file moved
// away while open: the next event is a line of its own, in a file by the
// day's name.
TEST_F(EventFileTest, ATornLineOrAVanishedFileNeverTakesAnEvent)
{
    namespace fs = std::filesystem;
    const Event first{Sample(0, {}).at, EventKind::Operator, "Начать опрос", "", std::nullopt};
    const Event second{Sample(1, {}).at, EventKind::Operator, "Квитирование", "ответ получен", std::nullopt};
    const std::string header = Utf8ToCp1251(EventCsvHeader()) + "\r\n";
    const auto line = [](const Event& e) { return Utf8ToCp1251(EventCsvLine(e, ",")) + "\r\n"; };
    for (const bool torn : {true, false}) {
        SCOPED_TRACE(torn ? "torn" : "moved away");
        fs::remove_all(dir_);
        EventLog log;
        log.SetFolder(dir_);
        const fs::path file = log.FileFor(EventCsvLine(first, ",").substr(0, 10));
        if (torn) {
            fs::create_directories(dir_);
            std::ofstream(file, std::ios::binary) << header << line(first).substr(0, 30);
        } else {
            log.Add(first);
            fs::rename(file, dir_ / "moved.csv");
        }
        log.Add(second);
        EXPECT_EQ(Read(file), header + line(second));
        EXPECT_FALSE(log.Failing());
    }
    EXPECT_EQ(Read(dir_ / "moved.csv"), header + line(first));
}

// Past what memory holds, the oldest unwritten events are counted as lost
// (the rest still go to the file once it takes them).
TEST_F(EventFileTest, EventsBeyondMemoryAreCountedAsLost)
{
    std::ofstream(dir_) << "in the way";
    EventLog log;
    log.SetFolder(dir_ / "sub");
    for (std::size_t i = 0; i < EventLog::kMaxEvents + 5; ++i)
        log.Add({Sample(0, {}).at, EventKind::Input, std::to_string(i), "", std::nullopt});
    EXPECT_TRUE(log.Failing());
    EXPECT_EQ(log.Lost(), 5u);
    EXPECT_EQ(log.Written(), 0u);
    std::filesystem::remove(dir_);
    log.WriteHeld();
    EXPECT_EQ(log.Written(), EventLog::kMaxEvents);
}

TEST_F(EventFileTest, TheWindowKeepsTheNewest)
{
    EventLog bounded;
    for (std::size_t i = 0; i < EventLog::kMaxEvents + 5; ++i)
        bounded.Add({Sample(0, {}).at, EventKind::Input, std::to_string(i), "", std::nullopt});
    EXPECT_EQ(bounded.Events().size(), EventLog::kMaxEvents);
    EXPECT_EQ(bounded.Events().front().what, "5");
    EXPECT_EQ(bounded.Added(), EventLog::kMaxEvents + 5);
}

} // namespace
