// A week of polling at interval 0 compressed: 10,000,000 log lines through
// the exchange log, the journal, the memo and the main window's 500 ms tick
// (a tick for every nine lines, as a 9600 bit/s line gives them), then a
// save of the whole log. Prints resident memory on the way, the tick's
// times, the save's speed and the resident memory the save adds at its peak.
//
//   QT_QPA_PLATFORM=offscreen build/bench/long_run [lines [memo lines]]

#include "ExchangeJournal.h"
#include "ExchangeLog.h"
#include "Forms.h"
#include "LinkConfig.h"
#include "TMainForm.h"
#include "BenchSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

// The kernel's resident peak (VmHWM) starts again from the present value.
bool ResetResidentPeak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5" << std::flush;
    return static_cast<bool>(clear);
}

double ResidentPeakMiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;) {
        if (key == "VmHWM:") {
            double kib = 0;
            status >> kib;
            return kib / 1024.0;
        }
    }
    return 0;
}

// Line n as the master writes it: a poll request, then its reply.
std::string PollLine(long n)
{
    static const std::string request = "Запрос: 01 03 00 00 00 2E C5 D6 ";
    static const std::string reply = [] {
        std::string r = "Ответ: 01 03 5C ";
        for (int i = 0; i < 94; ++i)
            r += "0A ";
        return r;
    }();
    const long ms = n * 57;  // a line every 57 ms, as at 9600 bit/s
    return std::to_string(ms / 3600000 % 24) + ":" + std::to_string(10 + ms / 60000 % 50) + ":"
           + std::to_string(10 + ms / 1000 % 50) + ":" + std::to_string(ms % 1000) + "\t"
           + (n % 2 == 0 ? request : reply);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const long lines = argc > 1 ? std::atol(argv[1]) : 10000000;
    const long memoLines = argc > 2 ? std::atol(argv[2]) : 0;
    if (lines < 1000 || memoLines < 0) {
        std::fprintf(stderr, "usage: %s [lines, at least 1000 [memo lines, 0 for the default]]\n", argv[0]);
        return 2;
    }
    QByteArray ini = "[Config]\r\nPORT=/nonexistent/tty\r\n";
    if (memoLines > 0)
        ini += "MEMOLINES=" + QByteArray::number(static_cast<qlonglong>(memoLines)) + "\r\n";
    WorkFolder folder(ini);

    CreateForms();
    ExchangeLog& log = *MainForm->Log();
    ExchangeJournal& journal = *MainForm->Journal();
    std::printf("%ld log lines, a tick every 9 (offscreen; the memo keeps the newest %ld)\n", lines,
                memoLines > 0 ? memoLines : static_cast<long>(LogConfig{}.memoLines));
    std::printf("  resident at start: %.0f MiB\n", ResidentMiB());
    std::vector<double> ticks;
    ticks.reserve(static_cast<std::size_t>(lines / 9 + 1));
    const long marks[] = {lines / 10, lines / 2, lines};
    // Qt compacts the memo's text now and then, so resident memory rises and
    // falls; the highest value over a stretch is what can be compared.
    double peakEarly = 0, peakLate = 0;
    const auto feedStart = Clock::now();
    for (long n = 0; n < lines; ++n) {
        log.Add(PollLine(n));
        if (n % 9 == 8 || n + 1 == lines) {
            // The tick with the events it posts, as the event loop runs them.
            const auto start = Clock::now();
            MainForm->Timer1Timer();
            QApplication::processEvents();
            ticks.push_back(Ms(Clock::now() - start));
            // At the real pace the journal writes a few lines at a time, not
            // the megabytes a feed this fast would pile up between its turns.
            journal.Flush();
        }
        if ((n + 1) % (lines / 100) == 0) {
            const double rss = ResidentMiB();
            if (n + 1 > lines / 10 && n + 1 <= 2 * lines / 10)
                peakEarly = std::max(peakEarly, rss);
            if (n + 1 > 9 * lines / 10)
                peakLate = std::max(peakLate, rss);
        }
        for (long mark : marks) {
            if (n + 1 == mark) {
                std::printf("  resident at %9ld lines: %.0f MiB\n", mark, ResidentMiB());
                std::fflush(stdout);
            }
        }
    }
    const double feedS = Ms(Clock::now() - feedStart) / 1000;
    std::printf("  highest resident over lines %ld-%ld: %.0f MiB, over the last %ld: %.0f MiB (grown %.1f MiB)\n",
                lines / 10, 2 * lines / 10, peakEarly, lines / 10, peakLate, peakLate - peakEarly);
    std::printf("  tick: p50 %.3f ms   p99 %.3f ms   max %.1f ms   (%zu ticks, fed in %.0f s)\n",
                Percentile(ticks, 0.5), Percentile(ticks, 0.99), Percentile(ticks, 1.0), ticks.size(), feedS);
    std::printf("  ticks over 50 ms: %ld\n", static_cast<long>(std::count_if(ticks.begin(), ticks.end(),
                                                                              [](double ms) { return ms > 50; })));

    const double beforeSave = ResidentMiB();
    const bool peakKnown = ResetResidentPeak();
    const auto saveStart = Clock::now();
    const QString saved = folder.FilePath("saved.txt");
    const bool ok = MainForm->SaveLogTo(saved);
    const double savePeak = ResidentPeakMiB();
    const double saveS = Ms(Clock::now() - saveStart) / 1000;
    const double bytes = static_cast<double>(QFileInfo(saved).size());
    std::printf("  save: %s, %.0f MB in %.1f s = %.0f MB/s\n", ok ? "done" : "FAILED", bytes / 1e6, saveS,
                bytes / 1e6 / saveS);
    if (peakKnown)
        std::printf("  save: resident %.0f MiB before, peak %.0f MiB during (added %.0f MiB)\n", beforeSave,
                    savePeak, savePeak - beforeSave);
    else
        std::printf("  save: resident peak unknown (/proc/self/clear_refs cannot be written)\n");
    const auto flushStart = Clock::now();
    MainForm->Journal()->Flush();
    std::printf("  journal: %.0f MB, caught up %.1f s after the last line\n",
                static_cast<double>(QFileInfo(QString::fromStdString(
                                        MainForm->Journal()->FileFor(ExchangeJournal::LocalToday()).string()))
                                        .size())
                    / 1e6,
                Ms(Clock::now() - flushStart) / 1000);
    DestroyForms();
    return ok ? 0 : 1;
}
