// Cost of the main window's 500 ms tick (status refresh and log mirror) with
// a long exchange log, next to replacing the whole memo text, and the memory
// a log line costs in the log and the memo together.
//
//   QT_QPA_PLATFORM=offscreen build/bench/tick_cost [lines]

#include "ExchangeLog.h"
#include "Forms.h"
#include "TMainForm.h"
#include "BenchSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;


// One poll's worth of lines, as the master writes them.
void AddPoll(ExchangeLog& log, int n)
{
    static const std::string request = "Запрос: 01 03 00 00 00 2E C5 D6 ";
    static const std::string reply = [] {
        std::string r = "Ответ: 01 03 5C ";
        for (int i = 0; i < 94; ++i)
            r += "0A ";
        return r;
    }();
    const std::string stamp = std::to_string(10 + n / 3600000 % 14) + ":" + std::to_string(10 + n / 60000 % 50)
                              + ":" + std::to_string(10 + n / 1000 % 50) + ":" + std::to_string(n % 1000) + "\t";
    log.Add(stamp + request);
    log.Add(stamp + reply);
}



} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
    if (lines < 2) {
        std::fprintf(stderr, "usage: %s [lines]\n", argv[0]);
        return 2;
    }
    WorkFolder folder("[Config]\r\nPORT=/nonexistent/tty\r\nREFRESHINTERVAL=1000000\r\n");

    CreateForms();
    MainForm->N5Click();  // polling on, so every tick refreshes the display too
    auto* memo = MainForm->findChild<QPlainTextEdit*>("logMemo");
    ExchangeLog& log = *MainForm->Log();

    const double before = ResidentMiB();
    int poll = 0;
    while (static_cast<long>(log.Count()) < lines)
        AddPoll(log, poll++);
    auto start = Clock::now();
    MainForm->Timer1Timer();  // the first tick copies the whole log
    const double firstTickMs = Ms(Clock::now() - start);
    const double after = ResidentMiB();
    const double bytesPerLine = (after - before) * 1024 * 1024 / static_cast<double>(log.Count());

    std::vector<double> ticks;
    for (int i = 0; i < 400; ++i) {
        AddPoll(log, poll++);
        start = Clock::now();
        MainForm->Timer1Timer();
        ticks.push_back(Ms(Clock::now() - start));
    }

    std::vector<double> replaces;
    for (int i = 0; i < 3; ++i) {
        AddPoll(log, poll++);
        start = Clock::now();
        const std::string all = log.TextFrom(0, "\n");
        memo->setPlainText(QString::fromUtf8(all.data(), static_cast<qsizetype>(all.size())));
        replaces.push_back(Ms(Clock::now() - start));
    }

    std::printf("main-window tick with a log of %zu lines (offscreen)\n", log.Count());
    std::printf("  tick, appending new lines:   p50 %.2f ms   p99 %.2f ms   max %.2f ms\n",
                Percentile(ticks, 0.5), Percentile(ticks, 0.99), Percentile(ticks, 1.0));
    std::printf("  replacing the whole memo:    median %.0f ms (the first tick: %.0f ms)\n",
                Percentile(replaces, 0.5), firstTickMs);
    std::printf("  memory per log line (log and memo): %.0f bytes (log alone: %.0f)\n", bytesPerLine,
                static_cast<double>(log.MemoryBytes()) / static_cast<double>(log.Count()));
    DestroyForms();
    return 0;
}
