#include "SetpointFiles.h"

#include "Cp1251.h"
#include "DecimalSeparator.h"
#include "DeviceLink.h"
#include "Forms.h"
#include "LineOverview.h"
#include "PortAddress.h"
#include "RelayChoice.h"
#include "ReportPdf.h"
#include "SetpointReport.h"
#include "SetpointSnapshot.h"
#include "TfrmSettings.h"
#include "WholeFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {

constexpr qint64 kMaxSnapshotBytes = 1 << 20;  // ours are some 2 KiB

std::string TimeText(std::chrono::system_clock::time_point at)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toString("dd.MM.yyyy HH:mm:ss").toStdString();
}

std::string Shown(const QString& fileName)
{
    return QDir::toNativeSeparators(fileName).toStdString();
}

// A name typed without an extension gets the one of its kind.
QString WithSuffix(QString fileName, const char* suffix)
{
    if (!fileName.isEmpty() && QFileInfo(fileName).suffix().isEmpty())
        fileName += QString(".") + suffix;
    return fileName;
}

} // namespace

SetpointFiles::SetpointFiles(QWidget* window, const RelayChoice& relays,
                             std::function<const TDeviceControl*()> poller)
    : QObject(window), window_(window), relays_(relays), poller_(std::move(poller))
{
}

void SetpointFiles::SetLine(const LinkSettings& settings)
{
    const std::optional<PortAddress> network = ParsePortAddress(settings.portName);
    line_ = network && network->IsNetwork() ? Cp1251ToUtf8(settings.portName)
                                            : std::to_string(settings.speed) + " бит/с";
}

void SetpointFiles::RelayShown(uint8_t address)
{
    if (frmSettings && comparedRelay_ && *comparedRelay_ != address) {
        frmSettings->SetComparison(std::nullopt, {});
        comparedRelay_.reset();
    }
}

void SetpointFiles::ShowWindow()
{
    if (!frmSettings)
        return;
    frmSettings->show();
    frmSettings->raise();
    frmSettings->activateWindow();
}

std::optional<SetpointSnapshot> SetpointFiles::ShownSetpoints(QString* why) const
{
    const TDeviceControl& poller = *poller_();
    const PollStats stats = poller.Stats(relays_.Shown());
    if (stats.answered == 0) {
        *why = QString::fromUtf8("реле не ответило с начала опроса%1, его уставки не прочитаны.")
                   .arg(poller.IsPolling() ? "" : QString::fromUtf8(" (опрос остановлен)"));
        return std::nullopt;
    }
    SetpointSnapshot snapshot;
    const RegisterImage& image = poller.Image(relays_.Shown());
    for (int i = 0; i < kSetpointCount; ++i)
        snapshot.values[i] = image.Get(kFirstSetpointRegister + i);
    const RelayEntry& relay = relays_.ShownRelay();
    snapshot.address = std::to_string(relay.address);
    snapshot.relayName = Cp1251ToUtf8(relay.name);
    snapshot.line = line_;
    // The values' own time, not the moment of the command.
    snapshot.takenAt = TimeText(stats.lastAnswerAt);
    snapshot.program = "zaritmon " ZARIT_VERSION;
    return snapshot;
}

bool SetpointFiles::SaveTo(const QString& fileName)
{
    QString why;
    const std::optional<SetpointSnapshot> snapshot = ShownSetpoints(&why);
    if (!snapshot) {
        emit failed(QString::fromUtf8("Уставки не сохранены: %1").arg(why));
        return false;
    }
    QString error;
    if (!WriteWholeFile(fileName, SnapshotToCsv(*snapshot, DecimalSeparator()), &error)) {
        emit failed(QString::fromUtf8("Не удалось сохранить уставки в «%1»: %2").arg(fileName, error));
        return false;
    }
    emit done("Уставки сохранены в " + Shown(fileName));
    return true;
}

bool SetpointFiles::CompareWith(const QString& fileName)
{
    if (!frmSettings)
        return false;
    QString why;
    const std::optional<SetpointSnapshot> now = ShownSetpoints(&why);
    if (!now) {
        emit failed(QString::fromUtf8("Сравнивать не с чем: %1").arg(why));
        return false;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        emit failed(QString::fromUtf8("Не удалось открыть «%1»: %2").arg(fileName, file.errorString()));
        return false;
    }
    const QByteArray bytes = file.read(kMaxSnapshotBytes + 1);
    SnapshotRead read;
    if (bytes.size() > kMaxSnapshotBytes)
        read.problem = "файл больше 1 МиБ, это не снимок уставок";
    else
        read = ParseSnapshotCsv(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (!read.snapshot) {
        emit failed(QString::fromUtf8("Файл «%1» не принят: %2.").arg(fileName, QString::fromStdString(read.problem)));
        return false;
    }
    if (!OfAnotherRelay(*read.snapshot, now->address))
        return ApplyComparison(std::move(*read.snapshot), fileName);
    // Another relay's file: compared only when the operator says so, and
    // only while the relay asked about is still the one shown.
    const RelayEntry& relay = relays_.ShownRelay();
    auto* box = new QMessageBox(
        QMessageBox::Question, window_->windowTitle(),
        QString::fromUtf8("«%1» — снимок уставок реле с адресом %2, а показано реле «%3». Сравнить всё же?")
            .arg(QFileInfo(fileName).fileName(), QString::fromStdString(read.snapshot->address),
                 QString::fromStdString(RelayCaption(Cp1251ToUtf8(relay.name), relay.address))),
        QMessageBox::Yes | QMessageBox::No, window_);
    box->setObjectName("OtherRelayBox");
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    const uint8_t asked = relay.address;
    connect(box, &QMessageBox::finished, this, [this, asked, fileName, saved = std::move(*read.snapshot)](int answer) {
        if (answer == QMessageBox::Yes && poller_() && relays_.ShownAddress() == asked)
            ApplyComparison(saved, fileName);
    });
    box->open();
    return false;
}

bool SetpointFiles::ApplyComparison(SetpointSnapshot saved, const QString& fileName)
{
    QString why;
    const std::optional<SetpointSnapshot> now = ShownSetpoints(&why);
    if (!now) {
        emit failed(QString::fromUtf8("Сравнивать не с чем: %1").arg(why));
        return false;
    }
    const std::size_t differing = CompareSetpoints(saved.values, now->values).size();
    frmSettings->SetComparison(std::move(saved), QFileInfo(fileName).fileName());
    comparedRelay_ = relays_.ShownAddress();
    frmSettings->UpdateSetpoints(poller_()->Image(relays_.Shown()));
    ShowWindow();
    emit done("Сравнение с " + Shown(fileName) + ": отличаются " + std::to_string(differing));
    return true;
}

bool SetpointFiles::WriteReport(const QString& fileName)
{
    QString why;
    const std::optional<SetpointSnapshot> now = ShownSetpoints(&why);
    if (!now) {
        emit failed(QString::fromUtf8("Отчёт не составлен: %1").arg(why));
        return false;
    }
    ReportInput input;
    input.now = *now;
    const RegisterImage& image = poller_()->Image(relays_.Shown());
    for (uint16_t r = 0; r < relay::kRegisterCount; ++r)
        input.registers[r] = image.Get(r);
    if (frmSettings && frmSettings->Comparison()) {
        input.compared = &*frmSettings->Comparison();
        input.comparedFile = frmSettings->ComparisonFile().toStdString();
    }
    input.decimalSeparator = DecimalSeparator();
    QString error;
    if (!WriteReportPdf(BuildSetpointReport(input), fileName, &error)) {
        emit failed(QString::fromUtf8("Не удалось записать отчёт в «%1»: %2").arg(fileName, error));
        return false;
    }
    emit done("Отчёт об уставках в " + Shown(fileName));
    return true;
}

void SetpointFiles::AskSave()
{
    const QString fileName = QFileDialog::getSaveFileName(window_, QString::fromUtf8("Сохранить уставки"), QString(),
                                                          "CSV (*.csv)");
    if (!fileName.isEmpty())
        SaveTo(WithSuffix(fileName, "csv"));
}

void SetpointFiles::AskCompare()
{
    const QString fileName = QFileDialog::getOpenFileName(window_, QString::fromUtf8("Сравнить с файлом"), QString(),
                                                          QString::fromUtf8("CSV (*.csv);;Все файлы (*)"));
    if (!fileName.isEmpty())
        CompareWith(fileName);
}

void SetpointFiles::AskReport()
{
    const QString fileName = QFileDialog::getSaveFileName(window_, QString::fromUtf8("Отчёт об уставках"), QString(),
                                                          "PDF (*.pdf)");
    if (!fileName.isEmpty())
        WriteReport(WithSuffix(fileName, "pdf"));
}
