#pragma once

// What the window benchmarks share: a working folder with the LED pictures
// and a configuration file, resident memory, and times.

#include "support/LedBitmaps.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// A fresh folder, made the working folder, holding the LED pictures and a
// ZaritMon.ini of `ini`; removed with the object.
class WorkFolder {
public:
    explicit WorkFolder(const QByteArray& ini)
    {
        CopyLedBitmaps(dir_.path());
        QFile file(dir_.filePath("ZaritMon.ini"));
        file.open(QIODevice::WriteOnly);
        file.write(ini);
        file.close();
        QDir::setCurrent(dir_.path());
    }
    QString FilePath(const QString& name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
};

inline double ResidentMiB()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

inline double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

} // namespace bench
