#include "Measurements.h"

#include "Cp1251Qt.h"
#include "TDeviceControl.h"
#include "TfrmEvents.h"
#include "TfrmTrends.h"

#include <QDateTime>
#include <QLocale>

namespace {

std::string DecimalSeparator()
{
    return QLocale::system().decimalPoint().toStdString();
}

} // namespace

Measurements::Measurements(QWidget* window)
    : QObject(window), trendsForm_(new TfrmTrends(trends_, window)), detector_(DecimalSeparator()),
      events_(DecimalSeparator()), eventsForm_(new TfrmEvents(events_, window))
{
}

void Measurements::AddEvent(const Event& event)
{
    events_.Add(event);
    if (events_.Failures() > reportedEventFailures_) {
        reportedEventFailures_ = events_.Failures();
        emit eventFileFailed(QString::fromUtf8("Не удалось записать событие в файл в папке «%1»: %2. Опрос "
                                               "продолжается; события видны в окне «События».")
                                 .arg(QString::fromStdU16String(events_.FileFor("").parent_path().u16string()),
                                      QString::fromStdString(events_.Error())));
    }
}

void Measurements::PollingStarted()
{
    detector_.Restart();
    OperatorEvent("Начать опрос");
}

void Measurements::OperatorEvent(const std::string& what, const std::string& state)
{
    AddEvent({std::chrono::system_clock::now(), EventKind::Operator, what, state, std::nullopt});
    if (eventsForm_->isVisible())
        eventsForm_->Follow();
}

void Measurements::Take(const std::vector<PollSample>& samples)
{
    const std::string separator = samples.empty() ? std::string() : DecimalSeparator();
    events_.WriteHeld();
    for (const PollSample& sample : samples) {
        for (const Event& event : detector_.OnPoll(sample))
            AddEvent(event);
        if (!sample.answered)
            continue;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sample.at.time_since_epoch()).count();
        trends_.Add(ms, sample.values);
        if (recording_.Active() && !recording_.Write(RecordLine(ToLocal(sample.at), sample.values, separator)))
            emit recordingFailed(QString::fromUtf8("Запись измерений в «%1» остановлена: %2")
                                     .arg(QString::fromStdU16String(recording_.Path().u16string()),
                                          QString::fromLocal8Bit(recording_.Error())));
    }
    if (trendsForm_->isVisible())
        trendsForm_->Plot()->Follow(QDateTime::currentMSecsSinceEpoch());
    if (eventsForm_->isVisible() && !samples.empty())
        eventsForm_->Follow();
}

bool Measurements::StartRecording(const QString& fileName, QString* error)
{
    const std::string header =
        ToCp1251(QString::fromUtf8("Время;Ia, А;Ib, А;Ic, А;3Io, А;Iкз, А;Светодиоды 1-8;Входы 1-4")).toStdString();
    if (recording_.Start(std::filesystem::path(fileName.toStdU16String()), header))
        return true;
    if (error)
        *error = QString::fromLocal8Bit(recording_.Error());
    return false;
}
