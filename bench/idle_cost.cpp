// CPU the monitor spends when nothing, or little, happens: the process's CPU
// seconds over a stretch of its own event loop, offscreen, with polling off
// after a short run, and with polling on at 1 s against the relay simulator
// with the setpoint and trend windows open, and a line of four relays (one
// silent) polled at 1 s with the overview open. Each phase starts after the
// text cursor has stopped blinking for want of input.
//
//   QT_QPA_PLATFORM=offscreen build/bench/idle_cost [seconds-per-phase]

#include "Forms.h"
#include "SimProcess.h"
#include "TDeviceControl.h"
#include "TMainForm.h"
#include "TfrmSettings.h"
#include "BenchSupport.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void RunEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Share of one core spent over the phase, in per cent.
double Measure(int seconds)
{
    const double before = CpuSeconds();
    RunEventLoop(seconds * 1000);
    return (CpuSeconds() - before) / seconds * 100.0;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    if (seconds < 1) {
        std::fprintf(stderr, "usage: %s [seconds-per-phase]\n", argv[0]);
        return 2;
    }
    SimProcess sim(std::vector<std::string>{});
    if (!sim.WaitForLink()) {
        std::fprintf(stderr, "the relay simulator did not start\n");
        return 1;
    }
    bench::WorkFolder folder("[Config]\r\nPORT=" + QByteArray::fromStdString(sim.Link()) + "\r\nREFRESHINTERVAL=1000\r\n");

    CreateForms();
    MainForm->show();
    MainForm->N5Click();
    RunEventLoop(3000);
    MainForm->N7Click();
    // Nobody touches it: the text cursor stops blinking after 10 s.
    RunEventLoop(11000);
    const double off = Measure(seconds);

    MainForm->miSettingsShowClick();
    MainForm->miTrendsShowClick();
    MainForm->N5Click();
    RunEventLoop(11000);
    const double on = Measure(seconds);
    MainForm->N7Click();
    const double off2 = Measure(seconds);

    DestroyForms();

    SimProcess line({"--units", "1,2,3"});
    if (!line.WaitForLink()) {
        std::fprintf(stderr, "the relay simulator did not start\n");
        return 1;
    }
    QFile ini(folder.FilePath("ZaritMon.ini"));
    ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
    ini.write("[Config]\r\nPORT=" + QByteArray::fromStdString(line.Link())
              + "\r\nREFRESHINTERVAL=1000\r\n[Relays]\r\n1=\r\n2=\r\n3=\r\n4=\r\n");
    ini.close();
    CreateForms();
    MainForm->show();
    MainForm->miRelaysShowClick();
    MainForm->N5Click();
    RunEventLoop(11000);
    const double overview = Measure(seconds);
    MainForm->N7Click();
    DestroyForms();

    std::printf("monitor's CPU, share of one core over %d s (offscreen)\n", seconds);
    std::printf("  polling off, after a short run:                 %.3f %%\n", off);
    std::printf("  polling at 1 s, setpoint and trend windows open: %.3f %%\n", on);
    std::printf("  polling off again, windows still open:          %.3f %%\n", off2);
    std::printf("  four relays (one silent) at 1 s, overview open: %.3f %%\n", overview);
    return 0;
}
