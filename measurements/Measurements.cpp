#include "Measurements.h"

#include "Cp1251Qt.h"
#include "TDeviceControl.h"
#include "TfrmTrends.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>

Measurements::Measurements(QWidget* window) : QObject(window), trendsForm_(new TfrmTrends(trends_, window)) {}

void Measurements::Take(const std::vector<PollSample>& samples)
{
    const std::string separator = samples.empty() ? std::string() : QLocale::system().decimalPoint().toStdString();
    for (const PollSample& sample : samples) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sample.at.time_since_epoch()).count();
        trends_.Add(ms, sample.values);
        if (recording_.Active() && !recording_.Write(RecordLine(ToLocal(sample.at), sample.values, separator)))
            emit recordingFailed(QString::fromUtf8("Запись измерений в «%1» остановлена: %2")
                                     .arg(QString::fromLocal8Bit(recording_.Path()),
                                          QString::fromLocal8Bit(recording_.Error())));
    }
    if (trendsForm_->isVisible())
        trendsForm_->Plot()->Follow(QDateTime::currentMSecsSinceEpoch());
}

bool Measurements::StartRecording(const QString& fileName, QString* error)
{
    const std::string header =
        ToCp1251(QString::fromUtf8("Время;Ia, А;Ib, А;Ic, А;3Io, А;Iкз, А;Светодиоды 1-8;Входы 1-4")).toStdString();
    if (recording_.Start(QFile::encodeName(fileName).toStdString(), header))
        return true;
    if (error)
        *error = QString::fromLocal8Bit(recording_.Error());
    return false;
}
