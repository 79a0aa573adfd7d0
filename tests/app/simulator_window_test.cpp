// The whole program against the relay simulator, the way an engineer sees
// it: polling shows the relay's values, a pulse lights its input, a fault
// trips the relay and an acknowledgement clears it. Offscreen.

#include "ExchangeLog.h"
#include "Forms.h"
#include "RelayRegisters.h"
#include "TDeviceControl.h"
#include "EventLog.h"
#include "Recording.h"
#include "TMainForm.h"
#include "TrendHistory.h"
#include "support/LedBitmaps.h"
#include "TfrmSettings.h"
#include "TfrmTrends.h"
#include "TfrmEvents.h"
#include "TfrmRelays.h"
#include "Cp1251Qt.h"
#include "SimRelay.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <algorithm>
#include <memory>

namespace {

QString Current(uint16_t hundredths)
{
    return QString::fromStdString(
        FormatMeasuredCurrent(hundredths, QLocale::system().decimalPoint().toStdString()));
}

QImage FileImage(const char* name)
{
    return QImage(name).convertToFormat(QImage::Format_RGB32);
}

} // namespace

class SimulatorWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString oldDir_;
    std::unique_ptr<SimRelay> sim_;

    QString Text(const char* name) { return MainForm->findChild<QLineEdit*>(name)->text(); }
    QImage Picture(const char* name)
    {
        return MainForm->findChild<QLabel*>(name)->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    }
    void StartWith(std::vector<std::string> options, const QByteArray& moreConfig = {})
    {
        sim_ = std::make_unique<SimRelay>(std::move(options));
        QVERIFY(sim_->WaitForPort());
        QFile ini(dir_.filePath("ZaritMon.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write("[Config]\r\nPORT=" + QByteArray::fromStdString(sim_->Port()) + "\r\nREFRESHINTERVAL=0\r\n" + moreConfig);
        ini.close();
        CreateForms();
        MainForm->N5Click();
    }
    // Ticks the window until the field shows the text, or the bound passes.
    bool ShowsWithin(const char* field, const QString& text, int ms = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            MainForm->Timer1Timer();
            if (Text(field) == text)
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    // The events so far with this caption, as "state" each.
    QStringList EventsOf(const std::string& what)
    {
        MainForm->Timer1Timer();  // the polls up to now into the events
        QStringList states;
        for (const Event& e : MainForm->Events().Events())
            if (e.what == what)
                states << QString::fromStdString(e.state);
        return states;
    }
    const Event* LastEvent(const std::string& what)
    {
        const Event* found = nullptr;
        for (const Event& e : MainForm->Events().Events())
            if (e.what == what)
                found = &e;
        return found;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        QVERIFY(CopyLedBitmaps(dir_.path()));
        oldDir_ = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir_.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(oldDir_); }
    void cleanup()
    {
        DestroyForms();
        if (sim_)
            sim_->Stop();
        sim_.reset();
    }

    void showsTheRelayAndItsSetpoints()
    {
        StartWith({"--speed", "38400", "--noise", "0", "--address", "1"});
        QVERIFY(ShowsWithin("edIA", Current(250)));
        QCOMPARE(Text("edIB"), Current(250));
        QCOMPARE(Text("edIC"), Current(250));
        QCOMPARE(Text("edNetAddress"), QString("1"));
        QCOMPARE(Text("edSpeed"), QString("38400"));
        QCOMPARE(Picture("imgLED1"), FileImage("GreenLedOn.bmp"));
        QCOMPARE(Picture("imgLED2"), FileImage("RedLedOff.bmp"));
        MainForm->miSettingsShowClick();
        MainForm->Timer1Timer();
        // Every setpoint field gets a text the decoding gives for a live value.
        for (auto* edit : frmSettings->findChildren<QLineEdit*>())
            QVERIFY2(!edit->text().isEmpty(), qPrintable(edit->objectName()));
        MainForm->N7Click();
    }

    void pulseLightsItsInput()
    {
        StartWith({"--speed", "38400", "--noise", "0", "--input-hold", "300"});
        QVERIFY(ShowsWithin("edIA", Current(250)));
        MainForm->findChild<QPushButton*>("Button3")->click();  // RL2
        QVERIFY(MainForm->Poller()->IsPolling());
        QTRY_COMPARE_WITH_TIMEOUT((MainForm->Timer1Timer(), Picture("imgDInput2")), FileImage("RedLedOn.bmp"), 3000);
        QCOMPARE(Picture("imgDInput1"), FileImage("RedLedOff.bmp"));
        // The operator's pulse, then the input on, and off after its hold.
        QCOMPARE(EventsOf("Импульс RL2"), QStringList{QString::fromUtf8("ответ получен")});
        QTRY_COMPARE_WITH_TIMEOUT(EventsOf("Дискретный вход 2"), (QStringList{"вкл", "откл"}), 5000);
        QVERIFY(EventsOf("Дискретный вход 1").isEmpty());
        MainForm->N7Click();
    }

    void faultTripsAndAcknowledgeClears()
    {
        StartWith({"--speed", "38400", "--noise", "0", "--fault-at", "0.3", "--fault-current", "12.34"});
        QVERIFY(ShowsWithin("edLastKZ", Current(1234), 8000));
        QCOMPARE(Picture("imgLED2"), FileImage("RedLedOn.bmp"));
        // One trip event, with the fault current as the last trip current.
        QCOMPARE(EventsOf("Сработало I> (МТЗ)"), QStringList{QString::fromUtf8("вкл")});
        const Event* trip = LastEvent("Сработало I> (МТЗ)");
        QVERIFY(trip && trip->currents);
        QCOMPARE((*trip->currents)[4], uint16_t{1234});
        QCOMPARE(EventsOf("Начальное состояние"), QStringList{QString::fromUtf8("Исправно")});
        MainForm->miEventsShowClick();
        auto* window = static_cast<TfrmEvents*>(MainForm->EventsWindow());
        MainForm->N6Click();
        QTRY_COMPARE_WITH_TIMEOUT((MainForm->Timer1Timer(), Picture("imgLED2")), FileImage("RedLedOff.bmp"), 3000);
        QVERIFY(MainForm->Poller()->IsPolling());
        QCOMPARE(EventsOf("Квитирование"), QStringList{QString::fromUtf8("ответ получен")});
        QCOMPARE(EventsOf("Сработало I> (МТЗ)"), (QStringList{"вкл", "откл"}));
        MainForm->N7Click();
        MainForm->Timer1Timer();

        // The open window took the events that came after it opened; with
        // the operator's unticked it shows, and saves, only the others.
        const QAbstractItemModel* table = window->findChild<QTableView*>("tvEvents")->model();
        QCOMPARE(table->rowCount(), static_cast<int>(MainForm->Events().Events().size()));
        window->findChild<QCheckBox*>("cbOperator")->setChecked(false);
        std::string expected = Utf8ToCp1251(EventCsvHeader()) + "\r\n";
        for (const Event& e : MainForm->Events().Events())
            if (e.kind != EventKind::Operator)
                expected += Utf8ToCp1251(EventCsvLine(e, QLocale::system().decimalPoint().toStdString())) + "\r\n";
        QCOMPARE(table->rowCount(), static_cast<int>(std::count(expected.begin(), expected.end(), '\n')) - 1);
        QCOMPARE(table->data(table->index(table->rowCount() - 1, 2)).toString(), QString::fromUtf8("откл"));
        const QString csv = dir_.filePath("events.csv");
        QVERIFY(window->SaveTo(csv, nullptr));
        QFile saved(csv);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll().toStdString(), expected);
    }

    // Three relays on one line: each its own row in the overview, a trip of
    // relay 2 in its row and as its event, and an acknowledgement from the
    // window showing relay 2 to address 2 alone.
    void aLineOfRelays()
    {
        StartWith({"--speed", "38400", "--noise", "0", "--units", "1,2,3", "--fault-at", "2:0.3"},
                  "NETADDRESS=1\r\n[Relays]\r\n1=" + ToCp1251(QString::fromUtf8("Ввод 1")) + "\r\n2="
                      + ToCp1251(QString::fromUtf8("Фидер 2")) + "\r\n3=\r\n");
        QCOMPARE(MainForm->windowTitle(), QString::fromUtf8("Zarit монитор — Ввод 1 (адрес 1)"));
        MainForm->miRelaysShowClick();
        auto* overview = static_cast<TfrmRelays*>(MainForm->RelaysWindow());
        const QTableWidget* table = overview->Table();
        auto cell = [&](std::size_t unit, int column) {
            const int row = overview->RowOf(unit);
            return row < 0 ? QString() : table->item(row, column)->text();
        };
        QTRY_VERIFY_WITH_TIMEOUT((MainForm->Timer1Timer(), table->rowCount() == 3
                                  && !table->item(overview->RowOf(1), TfrmRelays::kAlarm)->toolTip().isEmpty()
                                  && cell(2, TfrmRelays::kLink) == QString::fromUtf8("есть ответ")),
                                 10000);
        QCOMPARE(cell(0, TfrmRelays::kName), QString::fromUtf8("Ввод 1"));
        QCOMPARE(cell(2, TfrmRelays::kAddress), QString("3"));
        QCOMPARE(QSet<QString>({cell(0, TfrmRelays::kIa), cell(1, TfrmRelays::kIa), cell(2, TfrmRelays::kIa)}).size(), 3);
        QVERIFY(table->item(overview->RowOf(0), TfrmRelays::kAlarm)->toolTip().isEmpty());
        MainForm->Timer1Timer();
        QStringList trips;
        for (const Event& e : MainForm->Events().Events())
            if (e.kind == EventKind::Trip && e.what != "Начальное состояние")
                trips << QString::fromStdString(e.relay);
        trips.removeDuplicates();
        QCOMPARE(trips, QStringList{QString::fromUtf8("Фидер 2 (адрес 2)")});

        // A double click shows relay 2 in the main window.
        emit overview->Table()->cellDoubleClicked(overview->RowOf(1), TfrmRelays::kLink);
        QCOMPARE(MainForm->windowTitle(), QString::fromUtf8("Zarit монитор — Фидер 2 (адрес 2)"));
        QVERIFY(ShowsWithin("edNetAddress", "2"));
        QCOMPARE(Picture("imgLED2"), FileImage("RedLedOn.bmp"));
        MainForm->N6Click();
        QTRY_VERIFY_WITH_TIMEOUT((MainForm->Timer1Timer(),
                                  table->item(overview->RowOf(1), TfrmRelays::kAlarm)->toolTip().isEmpty()),
                                 5000);
        const Event* ack = LastEvent("Квитирование");
        QVERIFY(ack);
        QCOMPARE(QString::fromStdString(ack->relay), QString::fromUtf8("Фидер 2 (адрес 2)"));
        int writes = 0;
        for (const std::string& line : MainForm->Log()->Lines())
            if (line.find("Запрос: ") != std::string::npos && line.find(" 05 00 00 FF 00 ") != std::string::npos) {
                ++writes;
                QVERIFY2(line.find("Запрос: 02 05") != std::string::npos, line.c_str());
            }
        QCOMPARE(writes, 1);

        // A recording file per relay, each with that relay's polls.
        QVERIFY(MainForm->StartRecording(dir_.filePath("run.csv")));
        auto lines = [&](const char* name) {
            QFile file(dir_.filePath(name));
            return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT((MainForm->Timer1Timer(),
                                  lines("run-1.csv") > 2 && lines("run-2.csv") > 2 && lines("run-3.csv") > 2),
                                 5000);
        QVERIFY(!QFile::exists(dir_.filePath("run.csv")));
        MainForm->miRecordStopClick();

        // A snapshot is its relay's: relay 2's compared with relay 1 only
        // once the operator agrees, and showing another relay ends it.
        const QString second = dir_.filePath("relay2.csv");
        QVERIFY(MainForm->SaveSetpointsTo(second));
        MainForm->ShowRelay(0);
        for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
            QVERIFY(!MainForm->CompareSetpointsWith(second));
            QMessageBox* box = MainForm->findChild<QMessageBox*>("OtherRelayBox");
            QVERIFY(box && box->text().contains(QString::fromUtf8("адресом 2")) && !frmSettings->Comparison());
            box->button(answer)->click();
            QTRY_VERIFY(!MainForm->findChild<QMessageBox*>("OtherRelayBox"));
            QCOMPARE(frmSettings->Comparison().has_value(), answer == QMessageBox::Yes);
        }
        MainForm->ShowRelay(1);
        QVERIFY(!frmSettings->Comparison());
        QVERIFY(MainForm->CompareSetpointsWith(second));
        MainForm->N7Click();
    }

    // Saved, changed at the relay, compared: that setpoint alone marked, with
    // both values, until the relay holds the saved one again. The report has
    // it all as text; a file that is not a snapshot changes nothing.
    void setpointsSavedComparedAndReported()
    {
        const std::vector<std::string> relay = {"--speed", "38400", "--noise", "0"};
        StartWith(relay);
        QVERIFY(ShowsWithin("edIA", Current(250)));
        MainForm->miSettingsShowClick();
        MainForm->Timer1Timer();
        auto field = [](const char* name) { return frmSettings->findChild<QLineEdit*>(name)->text(); };
        const QString before = field("edMTZ_I");
        const QString saved = dir_.filePath("setpoints.csv");
        QVERIFY(MainForm->SaveSetpointsTo(saved));

        // The same relay, its pickup set to 6 A at its front panel. The first
        // run keeps its folder, which holds the link, to the end.
        std::vector<std::unique_ptr<SimRelay>> stopped;
        auto restart = [&](std::vector<std::string> more) {
            stopped.push_back(std::move(sim_));
            stopped.back()->Stop();
            more.insert(more.begin(), relay.begin(), relay.end());
            sim_ = std::make_unique<SimRelay>(more, stopped.front()->Port());
            return sim_->WaitForPort();
        };
        QVERIFY(restart({"--set", "7=600"}));
        QTRY_VERIFY_WITH_TIMEOUT((MainForm->Timer1Timer(), MainForm->Poller()->Image().Get(7) == 600), 10000);
        QVERIFY(MainForm->CompareSetpointsWith(saved));
        const QString six = "6" + QLocale::system().decimalPoint() + "0";
        auto marked = [] {
            QStringList marks;
            for (const QLabel* label : frmSettings->findChildren<QLabel*>(QRegularExpression("_file$")))
                if (!label->text().isEmpty())
                    marks << label->objectName() + ": " + label->text();
            return marks;
        };
        QCOMPARE(field("edMTZ_I"), six);
        QCOMPARE(marked(), QStringList{QString::fromUtf8("edMTZ_I_file: файл: %1 А").arg(before)});
        QVERIFY(frmSettings->findChild<QLabel*>("lblComparison")->text().endsWith(
            QString::fromUtf8("совпадают 35 из 36, отличаются 1")));
        QCOMPARE(frmSettings->findChild<QListWidget*>("lstDifferences")->count(), 1);
        for (const char* prefix : {"Уставки сохранены в ", "Сравнение с "})
            QVERIFY2(std::any_of(MainForm->Events().Events().begin(), MainForm->Events().Events().end(),
                                 [&](const Event& e) { return e.what.rfind(prefix, 0) == 0; }),
                     prefix);

        const QString pdf = dir_.filePath("report.pdf");
        QVERIFY(MainForm->WriteSetpointReport(pdf));
#ifdef Q_OS_WIN
        QFile file(pdf);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.read(5), QByteArray("%PDF-"));
#else
        QProcess pdftotext;
        pdftotext.start("pdftotext", {"-layout", pdf, "-"});
        QVERIFY2(pdftotext.waitForFinished(30000), "pdftotext (poppler-utils)");
        const QStringList report = QString::fromUtf8(pdftotext.readAllStandardOutput()).split('\n');
        auto has = [&](const QStringList& parts) {
            return std::any_of(report.begin(), report.end(), [&](const QString& line) {
                return std::all_of(parts.begin(), parts.end(), [&](const QString& p) { return line.contains(p); });
            });
        };
        QVERIFY(has({QString::fromUtf8("Реле: адрес 1")}));
        for (const SetpointField& f : kSetpointFields)
            QVERIFY2(has({QString::fromUtf8(f.label), field(f.control)}), f.control);
        QVERIFY(has({QString::fromUtf8("МТЗ I>, А"), six + QString::fromUtf8(" А"), before + QString::fromUtf8(" А")}));
        QVERIFY(has({QString::fromUtf8("отличаются 1")}));
#endif

        QFile bad(dir_.filePath("bad.csv"));
        QFile good(saved);
        QVERIFY(good.open(QIODevice::ReadOnly) && bad.open(QIODevice::WriteOnly));
        bad.write(good.readAll().replace("\r\n8;", "\r\n99;"));
        bad.close();
        QVERIFY(!MainForm->CompareSetpointsWith(bad.fileName()));
        QTRY_VERIFY(MainForm->findChild<QMessageBox*>("ErrorBox"));
        QVERIFY(MainForm->findChild<QMessageBox*>("ErrorBox")->text().contains(QString::fromUtf8("строка 10: регистр «99»")));
        QCOMPARE(frmSettings->ComparisonFile(), QString("setpoints.csv"));

        // The relay set back: the mark goes with the next poll.
        QVERIFY(restart({}));
        QTRY_VERIFY_WITH_TIMEOUT((MainForm->Timer1Timer(), marked().isEmpty()), 10000);
        QVERIFY(frmSettings->findChild<QLabel*>("lblComparison")->text().endsWith(QString::fromUtf8("отличаются 0")));
        MainForm->N7Click();
    }

    // A relay silent for a while, then answering: one event each way, not
    // one a poll.
    void silenceAndAnswerAreOneEventEach()
    {
        StartWith({"--speed", "38400", "--noise", "0", "--drop", "1/1"});
        QTRY_VERIFY_WITH_TIMEOUT(MainForm->Poller()->Stats().timeouts >= 3, 15000);
        // The silent one keeps its folder, which holds the link, to the end.
        const auto silent = std::move(sim_);
        silent->Stop();
        sim_ = std::make_unique<SimRelay>(std::vector<std::string>{"--speed", "38400", "--noise", "0"},
                                          silent->Port());
        QVERIFY(sim_->WaitForPort());
        QTRY_VERIFY_WITH_TIMEOUT(MainForm->Poller()->Stats().answered >= 3, 15000);
        MainForm->N7Click();
        QCOMPARE(EventsOf("Связь"), (QStringList{QString::fromUtf8("нет ответа"), QString::fromUtf8("есть ответ")}));
        QCOMPARE(EventsOf("Начальное состояние").size(), 1);
    }

    // A line that echoes each request: polled as any other unless ECHO says
    // off, and the health panel says while the echo is being taken off.
    void echoingLineAsTheConfigurationSays_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<bool>("answered");
        QTest::newRow("no ECHO") << QByteArray() << true;
        QTest::newRow("ECHO=auto") << QByteArray("ECHO=auto\r\n") << true;
        QTest::newRow("ECHO=Off") << QByteArray("ECHO=Off\r\n") << false;
    }
    void echoingLineAsTheConfigurationSays()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, answered);
        StartWith({"--speed", "38400", "--noise", "0", "--echo"}, config);
        QTRY_VERIFY_WITH_TIMEOUT(MainForm->Poller()->Stats().polls >= 3, 10000);
        MainForm->N7Click();
        MainForm->Timer1Timer();
        const PollStats stats = MainForm->Poller()->Stats();
        QCOMPARE(stats.answered, answered ? stats.polls : 0);
        QCOMPARE(MainForm->LinkHealth().contains(QString::fromUtf8("эхо линии")), answered);
    }

    void linkHealthCountsWhatTheLogShows()
    {
        StartWith({"--speed", "38400", "--noise", "0", "--drop", "1/3"});
        // Three of the nine polls wait out the 1000 ms timeout: some 3.5 s.
        QTRY_VERIFY_WITH_TIMEOUT(MainForm->Poller()->Stats().polls >= 9, 20000);
        MainForm->N7Click();
        MainForm->Timer1Timer();
        const PollStats stats = MainForm->Poller()->Stats();
        std::size_t timeouts = 0, answers = 0;
        for (const auto& line : MainForm->Log()->Lines()) {
            timeouts += line.ends_with("\tТаймаут ответа!");
            answers += line.find("\tОтвет: ") != std::string::npos;
        }
        QCOMPARE(stats.timeouts, timeouts);
        QCOMPARE(stats.answered, answers);
        QCOMPARE(stats.polls, stats.answered + stats.timeouts + stats.rejected + stats.exceptions);
        const QString health = MainForm->LinkHealth();
        QVERIFY2(health.contains(QString::fromUtf8("опросов %1, ответов %2, таймаутов %3")
                                     .arg(stats.polls).arg(stats.answered).arg(stats.timeouts)),
                 qPrintable(health));
        QVERIFY(health.contains(QString::fromUtf8("последний ответ")));
        // A new start counts afresh: no more polls than it has sent requests
        // since, whatever number of them the poll thread has got through.
        const std::size_t logged = MainForm->Log()->Count();
        MainForm->N5Click();
        const uint64_t polls = MainForm->Poller()->Stats().polls;
        std::size_t requests = 0;
        for (std::size_t i = logged; i < MainForm->Log()->Count(); ++i)
            requests += MainForm->Log()->Line(i).find("\tЗапрос: ") != std::string::npos;
        QVERIFY2(polls <= requests, qPrintable(QString("%1 polls, %2 requests").arg(polls).arg(requests)));
        MainForm->N7Click();
    }

    void trendsAndRecordingFollowTheAcceptedPolls()
    {
        // Every other reply spoilt: neither the trends, nor the recording,
        // nor the events see anything of those.
        StartWith({"--speed", "38400", "--noise", "0", "--bad-crc", "1/2"});
        const QString csv = dir_.filePath("measurements.csv");
        QVERIFY(MainForm->StartRecording(csv));
        QTRY_VERIFY_WITH_TIMEOUT(MainForm->Poller()->Stats().answered >= 6, 10000);
        MainForm->N7Click();
        MainForm->Timer1Timer();
        const PollStats stats = MainForm->Poller()->Stats();
        QVERIFY(stats.rejected >= 5);  // every other reply had a bad CRC
        // Nothing but the start, the baseline and the stop.
        QStringList events;
        for (const Event& e : MainForm->Events().Events())
            events << QString::fromStdString(e.what);
        QCOMPARE(events, QString::fromUtf8("Начать опрос|Начальное состояние|Остановить опрос").split('|'));

        const auto points = MainForm->Trends().Since(0);
        QVERIFY(!points.empty());
        QVERIFY(points.size() <= stats.answered);
        for (const auto& p : points) {
            QCOMPARE(p.min[kIA], uint16_t{250});
            QCOMPARE(p.max[kIA], uint16_t{250});
        }

        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size() - 2, static_cast<qsizetype>(stats.answered));  // header, and the rest after the last break
        QVERIFY(lines[0].startsWith("\xC2\xF0\xE5\xEC\xFF;"));  // "Время" in Windows-1251
        const QByteArray amps = Current(250).toLatin1();
        QVERIFY2(lines[1].contains(";" + amps + ";" + amps + ";" + amps + ";"), lines[1].constData());
        QVERIFY(lines[1].endsWith(";10000000;0000\r"));
        QVERIFY(MainForm->LinkHealth().contains(QString::fromUtf8("идёт запись")));
        MainForm->miRecordStopClick();
        QVERIFY(!MainForm->CurrentRecording().Active());

        MainForm->miTrendsShowClick();
        QVERIFY(MainForm->TrendsWindow()->isVisible());
    }

    void plotDrawsEachSeriesAcrossItsSpan()
    {
        TrendHistory history;
        const int64_t start = 1'700'000'000'000;
        for (int64_t ms = 0; ms <= 60000; ms += 500) {
            std::vector<uint16_t> r(46, 0);
            r[2] = static_cast<uint16_t>(500 + ms / 600);  // Ic rising from 5 A
            history.Add(start + ms, r);
        }
        TfrmTrends window(history);
        window.Plot()->SetNowMs(start + 60000);
        window.findChild<QComboBox*>("cbSpan")->setCurrentIndex(0);  // 1 minute
        QCOMPARE(window.Plot()->SpanMinutes(), 1);
        window.show();
        const QImage image = window.Plot()->grab().toImage();
        // Ic is red: count the columns it reaches below the legend.
        int columns = 0;
        for (int x = 0; x < image.width(); ++x) {
            bool red = false;
            for (int y = 30; y < image.height() && !red; ++y) {
                const QColor c = image.pixelColor(x, y);
                red = c.red() > 150 && c.green() < 80 && c.blue() < 80;
            }
            columns += red;
        }
        QVERIFY2(columns > image.width() / 2, qPrintable(QString::number(columns)));
    }

    // A trip zoomed into with the wheel: the cursor reads the fault current,
    // the trip's mark sits at its time, and the exports hold what is shown.
    void trendZoomedToATrip()
    {
        StartWith({"--speed", "38400", "--noise", "0", "--fault-at", "0.5", "--fault-current", "8.47"});
        QVERIFY(ShowsWithin("edLastKZ", Current(847), 8000));
        MainForm->miTrendsShowClick();
        MainForm->Timer1Timer();
        auto* window = static_cast<TfrmTrends*>(MainForm->TrendsWindow());
        TrendPlot* plot = window->Plot();
        window->findChild<QComboBox*>("cbSpan")->setCurrentIndex(0);  // the last minute
        const Event* trip = LastEvent("Сработало I> (МТЗ)");
        QVERIFY(trip);
        const int64_t tripMs = std::chrono::duration_cast<std::chrono::milliseconds>(trip->at.time_since_epoch()).count();
        // The first 100 ms wholly in the fault (the one before holds the load too).
        int64_t faultMs = 0;
        for (const TrendPoint& p : MainForm->Trends().Since(0))
            if (p.min[kIA] == 847 && !faultMs)
                faultMs = p.ms;
        QVERIFY(faultMs > 0 && faultMs < tripMs);

        const PlotRect area = plot->Area();
        const auto xOf = [&](int64_t ms) { return QPointF(plot->View().XOf(ms, area), area.top + 20); };
        plot->SetView({tripMs + 20000, 60000, false});
        QWheelEvent wheel(xOf(faultMs), plot->mapToGlobal(xOf(faultMs)), {}, {0, 120 * 10}, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(plot, &wheel);
        QCOMPARE(plot->View().spanMs, TrendView::kMinSpanMs);
        QVERIFY(plot->View().StartMs() <= faultMs && tripMs <= plot->View().endMs);
        QTest::mouseMove(plot, xOf(faultMs + 50).toPoint());
        plot->grab();
        QVERIFY2(plot->CursorText().contains("Ia " + Current(847)), qPrintable(plot->CursorText().join(" | ")));
        const auto& marks = plot->Marks();
        QVERIFY(std::any_of(marks.begin(), marks.end(), [&](const TrendMark& m) {
            return m.ms == tripMs && m.caption == "Сработало I> (МТЗ): вкл";
        }));
        const QImage shown = plot->grab().toImage();
        QCOMPARE(shown.pixelColor(qRound(xOf(tripMs).x()), qRound(area.Bottom()) + 4), QColor(150, 0, 150));

        QString error;
        QVERIFY(window->SavePicture(dir_.filePath("trend.png"), &error));
        QCOMPARE(QImage(dir_.filePath("trend.png")).convertToFormat(QImage::Format_RGB32),
                 shown.convertToFormat(QImage::Format_RGB32));
        QVERIFY(window->SaveData(dir_.filePath("trend.csv"), &error));
        QFile csv(dir_.filePath("trend.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromLatin1(csv.readAll()).split("\r\n", Qt::SkipEmptyParts);
        QCOMPARE(rows.size() - 1, static_cast<qsizetype>(plot->Shown().size()));
        for (const QString& row : {rows[1], rows.back()}) {
            const int64_t at = QDateTime::fromString(row.section(';', 0, 0), "dd.MM.yyyy HH:mm:ss.zzz").toMSecsSinceEpoch();
            QVERIFY2(plot->View().StartMs() <= at && at <= plot->View().endMs, qPrintable(row));
        }
        QVERIFY(rows.filter(";" + Current(847) + ";").size() >= 1);

        QTest::mouseDClick(plot, Qt::LeftButton, {}, xOf(faultMs).toPoint());
        QVERIFY(plot->View().follow);
        MainForm->N7Click();
    }

    void recordingThatCannotBeWrittenSaysSo()
    {
        StartWith({"--speed", "38400", "--noise", "0"});
        QVERIFY(!MainForm->StartRecording(dir_.filePath("no/such/folder/m.csv")));
        QVERIFY(!MainForm->CurrentRecording().Active());
        const auto boxes = MainForm->findChildren<QMessageBox*>("ErrorBox");
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0]->text().contains("m.csv"));
        MainForm->N7Click();
    }
};

QTEST_MAIN(SimulatorWindowTest)
#include "simulator_window_test.moc"
