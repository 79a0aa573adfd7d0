// A day of trend history at interval 0: what it holds in memory, and what a
// repaint of the trend plot costs with all of it shown, and with the last
// ten minutes while following.
//
//   QT_QPA_PLATFORM=offscreen build/bench/trend_day [poll-ms]

#include "BenchSupport.h"
#include "TfrmTrends.h"
#include "TrendHistory.h"

#include <QApplication>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace bench;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Four relays' worth of polls on a 38400 bit/s line come some 30 ms apart.
    const int64_t pollMs = argc > 1 ? std::atoll(argv[1]) : 30;
    const int64_t start = 1'700'000'000'000;
    const int64_t day = TrendHistory::kKeepMs;

    const double before = ResidentMiB();
    TrendHistory history;
    std::vector<uint16_t> registers(46, 0);
    const auto fillStart = Clock::now();
    for (int64_t ms = 0; ms <= day; ms += pollMs) {
        // Load with a ripple, and a 300 ms fault of 8.47 A every hour.
        const bool fault = ms % 3600000 < 300;
        for (int s = 0; s < 4; ++s)
            registers[static_cast<std::size_t>(s)] = static_cast<uint16_t>(s == 3 ? 5 : fault && s == 0 ? 847 : 250 + ms / 1000 % 7);
        history.Add(start + ms, registers);
    }
    const double fillMs = Ms(Clock::now() - fillStart);
    std::printf("history: %lld polls over 24 h at %lld ms, %zu points and seconds held, %.1f MiB by count, "
                "resident +%.1f MiB; filled in %.0f ms\n",
                static_cast<long long>(day / pollMs + 1), static_cast<long long>(pollMs), history.Size(),
                static_cast<double>(history.MemoryBytes()) / (1024.0 * 1024.0), ResidentMiB() - before, fillMs);

    TfrmTrends window(history);
    window.resize(1280, 600);
    window.show();
    TrendPlot* plot = window.Plot();
    plot->SetNowMs(start + day);
    QImage image(plot->size(), QImage::Format_ARGB32_Premultiplied);
    for (const auto& [name, span] : {std::pair{"24 h", day}, std::pair{"10 min", int64_t{600000}}}) {
        plot->SetView({start + day, span, true});
        std::vector<double> times;
        for (int i = 0; i < 50; ++i) {
            const auto t = Clock::now();
            plot->render(&image);
            times.push_back(Ms(Clock::now() - t));
        }
        std::printf("repaint, %s shown: median %.1f ms, max %.1f ms (50 paints, %dx%d)\n", name,
                    Percentile(times, 0.5), *std::max_element(times.begin(), times.end()), plot->width(),
                    plot->height());
    }
    return 0;
}
