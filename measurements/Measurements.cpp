#include "Measurements.h"

#include "Cp1251Qt.h"
#include "DecimalSeparator.h"
#include "LineOverview.h"
#include "TDeviceControl.h"
#include "TfrmEvents.h"
#include "TfrmTrends.h"

#include <QDateTime>

Measurements::Measurements(QWidget* window) : QObject(window), events_(DecimalSeparator())
{
    relays_.push_back(std::make_unique<Relay>(RelayName{}, DecimalSeparator()));
    trendsForm_ = new TfrmTrends(relays_.front()->trends, window);
    eventsForm_ = new TfrmEvents(events_, window);
}

void Measurements::SetRelays(std::vector<RelayName> relays)
{
    if (relays.empty())
        relays.push_back({});
    bool same = relays.size() == relays_.size();
    for (std::size_t i = 0; same && i < relays.size(); ++i)
        same = relays[i] == relays_[i]->id;
    if (same)
        return;
    // The plot lets go of the old history before it goes.
    std::vector<std::unique_ptr<Relay>> made;
    for (RelayName& id : relays)
        made.push_back(std::make_unique<Relay>(std::move(id), DecimalSeparator()));
    std::vector<std::string> captions;
    for (const auto& relay : made)
        captions.push_back(RelayCaption(relay->id.name, relay->id.address));
    shown_ = 0;
    marked_.reset();
    trendsForm_->SetHistory(made.front()->trends, made.size() > 1 ? captions.front() : std::string());
    eventsForm_->SetRelays(made.size() > 1 ? captions : std::vector<std::string>{});
    relays_ = std::move(made);
}

void Measurements::ShowRelay(std::size_t unit)
{
    if (unit >= relays_.size() || unit == shown_)
        return;
    shown_ = unit;
    const RelayName& id = relays_[unit]->id;
    trendsForm_->SetHistory(relays_[unit]->trends, RelayCaption(id.name, id.address));
}

void Measurements::AddEvent(const Event& event)
{
    events_.Add(event);
    const QString folder = QString::fromStdU16String(events_.FileFor("").parent_path().u16string());
    if (events_.Failures() > reportedEventFailures_) {
        reportedEventFailures_ = events_.Failures();
        emit eventFileFailed(QString::fromUtf8("Не удалось записать событие в файл в папке «%1»: %2. Опрос "
                                               "продолжается; последние %3 событий видны в окне «События» и "
                                               "будут записаны, когда файл станет доступен.")
                                 .arg(folder, QString::fromStdString(events_.Error()))
                                 .arg(EventLog::kMaxEvents));
    }
    // Once a failure: from here on the oldest unwritten events are gone.
    if (reportedLossIn_ == events_.Failures()) {
        reportedLost_ = events_.Lost();
    } else if (events_.Lost() > reportedLost_) {
        reportedLossIn_ = events_.Failures();
        reportedLost_ = events_.Lost();
        emit eventFileFailed(QString::fromUtf8("События всё ещё не записываются в файл в папке «%1»: в памяти "
                                               "только последние %2, более ранние потеряны (%3).")
                                 .arg(folder)
                                 .arg(EventLog::kMaxEvents)
                                 .arg(events_.Lost()));
    }
}

void Measurements::MarkTrends()
{
    const std::pair<uint64_t, std::size_t> now{events_.Added(), shown_};
    if (marked_ == now)
        return;
    marked_ = now;
    const RelayName& id = relays_[shown_]->id;
    const std::string caption = RelayCaption(id.name, id.address);
    std::vector<TrendMark> marks;
    for (const Event& e : events_.Events()) {
        const bool trip = e.kind == EventKind::Trip && e.what != "Начальное состояние";
        if ((trip || (e.kind == EventKind::Operator && e.what == "Квитирование")) && e.relay == caption)
            marks.push_back({std::chrono::duration_cast<std::chrono::milliseconds>(e.at.time_since_epoch()).count(),
                             e.what + (e.state.empty() ? "" : ": " + e.state)});
    }
    trendsForm_->Plot()->SetMarks(std::move(marks));
}

void Measurements::PollingStarted()
{
    for (auto& relay : relays_)
        relay->detector.Restart();
    OperatorEvent("Начать опрос");
}

void Measurements::OperatorEvent(const std::string& what, const std::string& state)
{
    AddEvent({std::chrono::system_clock::now(), EventKind::Operator, what, state, std::nullopt});
    if (eventsForm_->isVisible())
        eventsForm_->Follow();
}

void Measurements::RelayCommandEvent(const std::string& what, const std::string& state)
{
    const RelayName& id = relays_[shown_]->id;
    AddEvent({std::chrono::system_clock::now(), EventKind::Operator, what, state, std::nullopt,
              RelayCaption(id.name, id.address)});
    if (eventsForm_->isVisible())
        eventsForm_->Follow();
}

void Measurements::Take(const std::vector<PollSample>& samples)
{
    const std::string separator = samples.empty() ? std::string() : DecimalSeparator();
    events_.WriteHeld();
    for (const PollSample& sample : samples) {
        if (sample.unit >= relays_.size())
            continue;  // a poll of a line whose relays were told otherwise since
        Relay& relay = *relays_[sample.unit];
        for (Event event : relay.detector.OnPoll(sample)) {
            event.relay = RelayCaption(relay.id.name, relay.id.address);
            AddEvent(event);
        }
        if (!sample.answered)
            continue;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sample.at.time_since_epoch()).count();
        relay.trends.Add(ms, sample.values);
        Recording& recording = relay.recording;
        if (recording.Active() && !recording.Write(RecordLine(ToLocal(sample.at), sample.values, separator)))
            emit recordingFailed(QString::fromUtf8("Запись измерений в «%1» остановлена: %2")
                                     .arg(QString::fromStdU16String(recording.Path().u16string()),
                                          QString::fromLocal8Bit(recording.Error())));
    }
    if (trendsForm_->isVisible()) {
        MarkTrends();
        trendsForm_->Plot()->Follow(QDateTime::currentMSecsSinceEpoch());
    }
    if (eventsForm_->isVisible() && !samples.empty())
        eventsForm_->Follow();
}

std::vector<uint8_t> Measurements::Addresses() const
{
    std::vector<uint8_t> addresses;
    for (const auto& relay : relays_)
        addresses.push_back(relay->id.address);
    return addresses;
}

std::vector<std::filesystem::path> Measurements::FilesToOverwrite(const QString& fileName) const
{
    return ::FilesToOverwrite(fileName.toStdU16String(), Addresses());
}

bool Measurements::StartRecording(const QString& fileName, QString* error)
{
    const std::string header =
        ToCp1251(QString::fromUtf8("Время;Ia, А;Ib, А;Ic, А;3Io, А;Iкз, А;Светодиоды 1-8;Входы 1-4")).toStdString();
    StopRecording();
    const std::vector<std::filesystem::path> files = RecordingFiles(fileName.toStdU16String(), Addresses());
    for (std::size_t i = 0; i < relays_.size(); ++i) {
        Recording& recording = relays_[i]->recording;
        if (!recording.Start(files[i], header)) {
            if (error)
                *error = QString::fromLocal8Bit(recording.Error());
            StopRecording();
            return false;
        }
    }
    return true;
}

void Measurements::StopRecording()
{
    for (auto& relay : relays_)
        relay->recording.Stop();
}
