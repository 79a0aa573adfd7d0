// The main window's status bar: the link's health (or why its port is not
// open), the journal's state, and where the log's earlier lines are; what
// the journal and the event files never took, told at the close.

#include "TMainForm.h"

#include "DeviceLink.h"
#include "ExchangeJournal.h"
#include "LinkHealth.h"
#include "LogMirror.h"
#include "Measurements.h"
#include "StatusFormat.h"
#include "TCOMPort.h"
#include "UnwrittenAtClose.h"

#include <QDir>
#include <QLabel>
#include <QMessageBox>

QString TMainForm::LinkHealth() const
{
    return linkPanel_->text();
}

void TMainForm::ShowLinkHealth()
{
    const PollStats stats = link_->Poller().Stats(relayChoice_->Shown());
    const bool recording = measurements_->CurrentRecording().Active();
    PortProblem problem = link_->Port().Problem();
    // Formatting the text reads the clock's zone; an idle tick skips it.
    const auto shown = std::make_tuple(stats.polls, stats.answered, stats.timeouts, stats.rejected, stats.exceptions,
                                       stats.lastAnswered, stats.echo, recording);
    if (shownHealth_ == shown && shownProblem_ == problem)
        return;
    shownHealth_ = shown;
    QString text = QString::fromStdString(LinkHealthText(stats, ToLocal(stats.lastAnswerAt)));
    if (recording)
        text += QString::fromUtf8(" · идёт запись");
    if (problem.kind == PortProblem::Kind::None) {
        linkPanel_->setText(text);
        linkPanel_->setToolTip({});
    } else {
        // Read once for each new reason, not each tick.
        if (problem != shownProblem_)
            portsNow_ = problem.kind == PortProblem::Kind::NotFound ? TCOMPort::AvailablePorts()
                                                                    : std::vector<std::string>{};
        linkPanel_->setText(QString::fromStdString(PortNotOpenText(link_->Port().PortName(), problem, portsNow_)));
        linkPanel_->setToolTip(
            QString::fromStdString(PortNotOpenDetail(problem, qEnvironmentVariable("USER").toStdString())) + "\n"
            + text);
    }
    shownProblem_ = std::move(problem);
}

void TMainForm::ShowJournalHealth()
{
    if (!journal_) {
        journalPanel_->hide();
        return;
    }
    const ExchangeJournal::Health health = journal_->State();
    // Lines lost for good stay named after the journal is written again.
    const std::string text = JournalPanelText(health.failing, health.droppedLines);
    if (text.empty()) {
        journalPanel_->hide();
        return;
    }
    const QString folder = QString::fromStdU16String(journal_->Folder().u16string());
    journalPanel_->setText(QString::fromStdString(text));
    journalPanel_->setToolTip(QString::fromUtf8("«%1»: %2").arg(folder, QString::fromStdString(health.error)));
    journalPanel_->show();
    // Once for each time it starts failing, not at every tick.
    if (health.failures > reportedJournalFailures_) {
        reportedJournalFailures_ = health.failures;
        ShowError(QString::fromUtf8("Журнал обмена не удаётся записать в папку «%1»: %2. Опрос продолжается; "
                                    "запись будет повторяться, строки пока хранятся в памяти.")
                      .arg(folder, QString::fromStdString(health.error)));
    }
}

void TMainForm::ShowLogWindow()
{
    const std::size_t earlier = mirror_->EarlierLines();
    if (earlier == 0) {
        lblLogWindow->hide();
        return;
    }
    QString where = QString::fromUtf8("хранятся во временном файле");
    if (journal_)
        where = QString::fromUtf8("есть в журнале обмена в папке «%1» и во временном файле")
                    .arg(QString::fromStdU16String(journal_->Folder().u16string()));
    lblLogWindow->setText(QString::fromUtf8("Показаны последние %1 строк. Более ранние (%2) %3; "
                                            "«Сохранить...» записывает все строки.")
                              .arg(mirror_->MemoLineCount())
                              .arg(earlier)
                              .arg(where));
    lblLogWindow->show();
}

void TMainForm::ReportUnwritten()
{
    if (!journal_)
        return;  // no JOURNALDIR: neither lines nor events go to disk
    UnwrittenAtClose unwritten;
    std::error_code ignored;
    unwritten.folder = std::filesystem::absolute(journal_->Folder(), ignored).lexically_normal();
    unwritten.journalLines = journal_->Close();
    unwritten.journalError = journal_->State().error;
    unwritten.events = measurements_->WriteLastEvents();
    unwritten.eventsError = measurements_->Events().Error();
    journal_.reset();
    if (!unwritten.Any())
        return;
    const std::string text = UnwrittenText(unwritten, LocalNow());
    const std::filesystem::path file = UnwrittenFile(unwritten.folder);
    const QString shown = QDir::toNativeSeparators(QString::fromStdU16String(file.u16string()));
    std::string error;
    const QString kept = AppendUnwrittenFile(file, text, &error)
                             ? QString::fromUtf8("Это записано и в «%1».").arg(shown)
                             : QString::fromUtf8("Записать это в «%1» тоже не удалось: %2.")
                                   .arg(shown, QString::fromStdString(error));
    // The program ends with this window: the box waits for the operator.
    QMessageBox box(QMessageBox::Warning, windowTitle(),
                    QString::fromUtf8("Не всё удалось записать на диск.\n\n%1\n%2")
                        .arg(QString::fromStdString(text), kept),
                    QMessageBox::Ok, this);
    box.setObjectName("UnwrittenBox");
    box.exec();
}
