// The operator's commands against the scripted relay on a pseudo-terminal
// (a Wine COM port in the Windows build): relay pulses, the typed request,
// the settings dialog, saving and clearing the log. Offscreen.

#include "Cp1251.h"
#include "ExchangeJournal.h"
#include "EventLog.h"
#include "ExchangeLog.h"
#include "Forms.h"
#include "TCOMPort.h"
#include "TDeviceControl.h"
#include "Recording.h"
#include "TMainForm.h"
#include "TSettingsForm.h"
#include "TfrmSettings.h"
#include "RelayRegisters.h"
#include "contract/RelayLine.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLocale>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

// What only a POSIX system has: device files, groups, a TCP relay of ours.
#ifndef _WIN32
#include "support/TcpRelay.h"
#include <QProcess>
#include <QStandardPaths>
#include <cstdio>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace testing_support;
using namespace std::chrono_literals;

class CommandsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString oldDir_;
    std::unique_ptr<contract::RelayLine> line_;
    ScriptedRelay* relay_ = nullptr;

    QString IniPath() const { return dir_.filePath("ZaritMon.ini"); }
    void WriteIni(const QByteArray& text)
    {
        QFile file(IniPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    QByteArray ReadFile(const QString& path) const
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The main window on the fake relay, polling every 50 ms once started.
    void Start(const QByteArray& extraIni = {})
    {
        WriteIni("[Config]\r\nPORT=" + QByteArray::fromStdString(line_->PortName())
                 + "\r\nREFRESHINTERVAL=50\r\n" + extraIni);
        CreateForms();
    }
    std::vector<Bytes> CoilRequests() const
    {
        std::vector<Bytes> coils;
        for (const auto& r : relay_->Requests())
            if (r.size() == 8 && r[1] == 0x05)
                coils.push_back(r);
        return coils;
    }
    template <typename T>
    T* Find(QWidget* w, const char* name)
    {
        return w->findChild<T*>(name);
    }
    QStringList Errors() const
    {
        QStringList texts;
        for (auto* box : MainForm->findChildren<QMessageBox*>("ErrorBox"))
            texts << box->text();
        return texts;
    }
    void SendTyped(const QString& text, bool crc)
    {
        Find<QPlainTextEdit>(MainForm, "Memo1")->setPlainText(text);
        Find<QCheckBox>(MainForm, "cbAppendCRC")->setChecked(crc);
        Find<QPushButton>(MainForm, "Button1")->click();
    }

    // Answers the next file dialog with this path, as the operator would:
    // typed into its name box (selectFile leaves a focused box alone).
    void AnswerFileDialog(const QString& path)
    {
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [timer, path] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            auto* name = dialog ? dialog->findChild<QLineEdit*>("fileNameEdit") : nullptr;
            if (!name)
                return;
            name->setText(path);
            QMetaObject::invokeMethod(dialog, "accept");
            if (!dialog->isVisible()) {
                timer->stop();
                timer->deleteLater();
            }
        });
        timer->start(10);
    }
    QAction* MenuItem(const char* menu, const char* name)
    {
        auto* parent = MainForm->menuBar()->findChild<QMenu*>(menu);
        if (!parent)
            return nullptr;
        for (QAction* action : parent->actions())
            if (action->objectName() == name)
                return action;
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        oldDir_ = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir_.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(oldDir_); }
    void init()
    {
        line_ = contract::MakeRelayLine();
        QVERIFY2(line_->Problem().empty(), line_->Problem().c_str());
        relay_ = &line_->Relay();
    }
    void cleanup()
    {
        DestroyForms();
        relay_ = nullptr;
        line_.reset();
        QFile::remove(IniPath());
        QDir(dir_.filePath("journal")).removeRecursively();
    }

    void relayPulseWithPollingOn()
    {
        Start();
        MainForm->N5Click();
        QTRY_VERIFY(relay_->Requests().size() >= 2);
        Find<QPushButton>(MainForm, "Button3")->click();  // RL2
        QVERIFY(MainForm->Poller()->IsPolling());
        QCOMPARE(MainForm->StatusText(), QString::fromUtf8("Режим опроса - запущено"));
        const auto coils = CoilRequests();
        QCOMPARE(coils.size(), std::size_t{2});
        QCOMPARE(coils[0], ParseHex("01 05 00 02 FF 00 2D FA"));
        QCOMPARE(coils[1], ParseHex("01 05 00 02 00 00 6C 0A"));
        // The OFF write follows the ON write's echo by the 500 ms pause.
        const auto requests = relay_->Requests();
        const auto times = relay_->RequestTimes();
        std::size_t on = 0, off = 0;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            if (requests[i] == coils[0]) on = i;
            if (requests[i] == coils[1]) off = i;
        }
        QCOMPARE(off, on + 1);  // no poll in between
        QVERIFY(times[off] - times[on] >= 495ms);
        const std::size_t after = requests.size();
        QTRY_VERIFY(relay_->Requests().size() > after + 1);  // polling resumed
        // Acknowledge and a typed request while polls go on: each event
        // carries its own exchange's outcome, never the next poll's.
        MainForm->N6Click();
        SendTyped("01\n03\n00\n00\n00\n2E", true);
        QCOMPARE(CoilRequests().size(), std::size_t{3});
        QCOMPARE(line_->Overlaps(), 0);
        MainForm->N7Click();
        QStringList states;
        for (const Event& e : MainForm->Events().Events())
            if (e.kind == EventKind::Operator && !e.state.empty())
                states << QString::fromStdString(e.state);
        QCOMPARE(states, QStringList(3, QString::fromUtf8("ответ получен")));
    }

    // The "on" write's reply (none: lost), how many "off" writes go
    // unanswered, and what the pulse comes to. Only a refusal (an exception)
    // shows that the relay did not take the "on".
    void pulseOffThatIsNotAnsweredIsWrittenAgain_data()
    {
        QTest::addColumn<QByteArray>("onReply");
        QTest::addColumn<int>("silentOffs");
        QTest::addColumn<int>("offs");
        QTest::addColumn<QString>("state");
        const QByteArray on = "01 05 00 02 FF 00 2D FA";
        const QString mayStayOn = QString::fromUtf8("RL2 может остаться включённым");
        QTest::newRow("answered at the second") << on << 1 << 2 << QString::fromUtf8("ответ получен");
        QTest::newRow("never answered") << on << 3 << 3 << mayStayOn;
        QTest::newRow("on lost") << QByteArray() << 3 << 3 << mayStayOn;
        QTest::newRow("on garbled") << QByteArray("01 05 00 02 FF 00 2D FB") << 3 << 3 << mayStayOn;
        QTest::newRow("on refused") << QByteArray("01 85 04 43 53") << 1 << 1 << QString::fromUtf8("нет ответа");
    }
    void pulseOffThatIsNotAnsweredIsWrittenAgain()
    {
        QFETCH(QByteArray, onReply);
        QFETCH(int, silentOffs);
        QFETCH(int, offs);
        QFETCH(QString, state);
        Start();
        const Bytes reply = ParseHex(onReply.toStdString());
        relay_->Next([reply](const Bytes&, const Bytes&) { return reply.empty() ? Reply{} : Reply{{kCoilReplyMs, reply}}; });
        for (int i = 0; i < silentOffs; ++i)
            relay_->Next([](const Bytes&, const Bytes&) { return Reply{}; });
        MainForm->RL21Click();
        const auto coils = CoilRequests();
        QCOMPARE(coils.size(), std::size_t(1 + offs));
        for (std::size_t i = 1; i < coils.size(); ++i)
            QCOMPARE(coils[i], ParseHex("01 05 00 02 00 00 6C 0A"));
        QCOMPARE(QString::fromStdString(MainForm->Events().Events().back().state), state);
        QCOMPARE(Errors().size(), state.endsWith(QString::fromUtf8("может остаться включённым")) ? 1 : 0);
    }

    void relayCommandsWithPollingOffAndAcknowledge()
    {
        Start();
        MainForm->RL21Click();
        QVERIFY(!MainForm->Poller()->IsPolling());
        QCOMPARE(CoilRequests().size(), std::size_t{2});
        MainForm->N6Click();
        const auto coils = CoilRequests();
        QCOMPARE(coils.size(), std::size_t{3});
        QCOMPARE(coils[2], ParseHex("01 05 00 00 FF 00 8C 3A"));
        QTest::qWait(200);
        QCOMPARE(relay_->Requests().size(), std::size_t{3});  // and nothing else: polling stayed off
        QCOMPARE(MainForm->StatusText(), QString::fromUtf8("Режим опроса - остановлено"));
        // Every command is logged with its echo.
        std::size_t replies = 0;
        for (const auto& line : MainForm->Log()->Lines())
            replies += Body(line).rfind("Ответ: 01 05", 0) == 0;
        QCOMPARE(replies, std::size_t{3});
    }

    void typedRequests()
    {
        Start();
        struct Row {
            const char* text;
            bool crc;
            const char* sent;
        };
        const Row rows[] = {
            {"01\n03\n00\n00\n00\n2E", true, "01 03 00 00 00 2E C5 D6"},
            {"01\n03\n00\n00\n00\n2E\n", false, "01 03 00 00 00 2E"},
            {"ff\n0a\n7\n 1G", false, "FF 0A 07 01"},
            {"", true, "FF FF"},
        };
        for (const Row& row : rows) {
            const std::size_t before = relay_->Requests().size();
            SendTyped(row.text, row.crc);
            relay_->WaitIdle();
            QCOMPARE(relay_->Requests().size(), before + 1);
            QCOMPARE(relay_->Requests().back(), ParseHex(row.sent));
        }
        QVERIFY(Errors().isEmpty());
        // The relay answered the poll request: a good raw reply in the log.
        bool answered = false;
        for (const auto& line : MainForm->Log()->Lines())
            answered = answered || Body(line).rfind("Ответ: 01 03 5C ", 0) == 0;
        QVERIFY(answered);
    }

    void refusedRequestsSendNothingAndSayWhy()
    {
        Start();
        MainForm->N5Click();
        struct Row {
            QString text;
            const char* why;
        };
        const Row rows[] = {
            {"01\nABC", "Строка 2"},
            {"01\n\n03", "Строка 2"},
            {"G1", "Строка 1"},
            {QString("00\n").repeated(300), "300 строк"},
        };
        for (const Row& row : rows) {
            QTRY_VERIFY(relay_->Requests().size() >= 1);
            MainForm->N7Click();
            relay_->WaitIdle();
            const std::size_t before = relay_->Requests().size();
            MainForm->N5Click();
            SendTyped(row.text, true);
            QVERIFY2(MainForm->Poller()->IsPolling(), "polling left as it was");
            MainForm->N7Click();
            for (const auto& r : relay_->Requests())
                QVERIFY(r.size() == 8 && r[1] == 0x03);  // only polls reached the line
            QVERIFY(relay_->Requests().size() >= before);
            const QStringList errors = Errors();
            QVERIFY(!errors.isEmpty());
            QVERIFY2(errors.last().contains(QString::fromUtf8(row.why)), qPrintable(errors.last()));
            MainForm->N5Click();
        }
        MainForm->N7Click();
    }

    void settingsDialogShowsAndWrites()
    {
        const QByteArray portPath = QByteArray::fromStdString(line_->PortName());
        WriteIni("; hand-written\r\n[Config]\r\nPORT=" + portPath
                 + "\r\nNETADDRESS=7\r\nRESPONSETIMEOUT=abc\r\nREFRESHINTERVAL=abc\r\nSPEED=19200\r\n");
        CreateForms();
        MainForm->N4Click();
        QVERIFY(SettingsForm->isVisible());
        auto* port = Find<QComboBox>(SettingsForm, "cbPortName");
        auto* speed = Find<QComboBox>(SettingsForm, "cbSpeed");
        QCOMPARE(port->currentText(), QString::fromStdString(line_->PortName()));
        QCOMPARE(port->currentIndex(), 0);
        QCOMPARE(speed->currentText(), QString("19200"));
        QCOMPARE(Find<QLineEdit>(SettingsForm, "edTimeout")->text(), QString("abc"));
        QCOMPARE(Find<QLineEdit>(SettingsForm, "edRefreshInterval")->text(), QString("1000"));
        for (int i = 1; i < port->count(); ++i)
            QVERIFY(port->itemText(i) != port->itemText(0));  // the open port is not listed again

        // Cancel writes nothing.
        const QByteArray before = ReadFile(IniPath());
        Find<QLineEdit>(SettingsForm, "edTimeout")->setText("1500");
        Find<QPushButton>(SettingsForm, "Button2")->click();
        QVERIFY(!SettingsForm->isVisible());
        QCOMPARE(ReadFile(IniPath()), before);

        // OK while polling: the link is rebuilt with polling off.
        MainForm->N5Click();
        QTRY_VERIFY(MainForm->Log()->Count() >= 2);
        MainForm->Timer1Timer();
        auto* memo = Find<QPlainTextEdit>(MainForm, "logMemo");
        QVERIFY(!memo->toPlainText().isEmpty());
        MainForm->N4Click();
        QCOMPARE(Find<QLineEdit>(SettingsForm, "edTimeout")->text(), QString("abc"));  // shown anew
        speed->setEditText("38400");
        Find<QLineEdit>(SettingsForm, "edTimeout")->setText("800");
        Find<QLineEdit>(SettingsForm, "edRefreshInterval")->setText("250");
        Find<QPushButton>(SettingsForm, "Button1")->click();
        QVERIFY(!SettingsForm->isVisible());
        QVERIFY(!MainForm->Poller()->IsPolling());
        QCOMPARE(MainForm->StatusText(), QString::fromUtf8("Режим опроса - остановлено"));
        MainForm->Timer1Timer();
        QVERIFY(memo->toPlainText().isEmpty());
        const QByteArray written = ReadFile(IniPath());
        QCOMPARE(written, QByteArray("; hand-written\r\n[Config]\r\nPORT=" + portPath
                                     + "\r\nNETADDRESS=7\r\nRESPONSETIMEOUT=800\r\nREFRESHINTERVAL=250\r\n"
                                       "SPEED=38400\r\n"));
        QVERIFY(MainForm->Port()->IsOpen());  // the rebuilt link holds the port again
        QVERIFY(Errors().isEmpty());
    }

    void settingsWriteFailureIsReportedAndTheLinkRebuilt()
    {
        Start();
        MainForm->N4Click();
        // A folder where the file should be: every write fails.
        QFile::remove(IniPath());
        QVERIFY(QDir(dir_.path()).mkdir("ZaritMon.ini"));
        Find<QPushButton>(SettingsForm, "Button1")->click();
        QVERIFY(MainForm->Poller());
        QVERIFY(!MainForm->Poller()->IsPolling());
        QCOMPARE(Errors().size(), 1);
        QVERIFY(Errors()[0].contains("ZaritMon.ini"));
        MainForm->Timer1Timer();  // the timer finds a link
        QVERIFY(QDir(dir_.path()).rmdir("ZaritMon.ini"));
    }

    void everyMenuItemReachesItsAction()
    {
        Start();
        MainForm->show();
        auto* timer = MainForm->findChild<QTimer*>("Timer1");
        QVERIFY(timer && timer->isActive());
        QCOMPARE(timer->interval(), 500);

        struct Menu {
            const char* name;
            const char* caption;
        };
        const Menu menus[] = {{"File1", "Файл"}, {"N2", "Настройки"}, {"N3", "Управление"},
                              {"N8", "Журнал сообщений"}, {"N11", "Уставки"}, {"N12", "Измерения"}};
        for (const Menu& m : menus) {
            auto* menu = MainForm->menuBar()->findChild<QMenu*>(m.name);
            QVERIFY2(menu, m.name);
            QCOMPARE(menu->title(), QString::fromUtf8(m.caption));
        }

        const QString savedLog = dir_.filePath("menu-log.txt");
        const QString recorded = dir_.filePath("menu-record.csv");
        auto lastCoils = [&](std::size_t n) {
            const auto coils = CoilRequests();
            return coils.size() < n ? std::vector<Bytes>{} : std::vector<Bytes>(coils.end() - n, coils.end());
        };
        struct Item {
            const char* menu;
            const char* name;
            const char* caption;
            std::function<void()> before;
            std::function<bool()> done;
        };
        const Item items[] = {
            {"N2", "N5", "Начать опрос", {}, [&] {
                 return MainForm->Poller()->IsPolling() && relay_->Requests().size() >= 2
                        && MainForm->StatusText() == QString::fromUtf8("Режим опроса - запущено");
             }},
            {"N2", "N7", "Остановить опрос", {}, [&] {
                 return !MainForm->Poller()->IsPolling()
                        && MainForm->StatusText() == QString::fromUtf8("Режим опроса - остановлено");
             }},
            {"N3", "RL11", "RL1", {}, [&] {
                 return lastCoils(2) == std::vector<Bytes>{ParseHex("01 05 00 01 FF 00 DD FA"), ParseHex("01 05 00 01 00 00 9C 0A")};
             }},
            {"N3", "RL21", "RL2", {}, [&] {
                 return lastCoils(2) == std::vector<Bytes>{ParseHex("01 05 00 02 FF 00 2D FA"), ParseHex("01 05 00 02 00 00 6C 0A")};
             }},
            {"N3", "RL31", "RL3", {}, [&] {
                 return lastCoils(2) == std::vector<Bytes>{ParseHex("01 05 00 03 FF 00 7C 3A"), ParseHex("01 05 00 03 00 00 3D CA")};
             }},
            {"N3", "RL41", "RL4", {}, [&] {
                 return lastCoils(2) == std::vector<Bytes>{ParseHex("01 05 00 04 FF 00 CD FB"), ParseHex("01 05 00 04 00 00 8C 0B")};
             }},
            {"N3", "N6", "Квитирование", {}, [&] { return lastCoils(1) == std::vector<Bytes>{ParseHex("01 05 00 00 FF 00 8C 3A")}; }},
            {"N8", "N9", "Сохранить...", [&] { MainForm->Timer1Timer(); AnswerFileDialog(savedLog); }, [&] {
                 return QFile::exists(savedLog) && ReadFile(savedLog).count('\n') == qsizetype(MainForm->Log()->Count());
             }},
            {"N8", "N10", "Очистить", {}, [&] {
                 return MainForm->Log()->Count() == 0
                        && Find<QPlainTextEdit>(MainForm, "logMemo")->toPlainText().isEmpty();
             }},
            {"N2", "N4", "Параметры связи...", {}, [&] { return SettingsForm->isVisible(); }},
            {"N11", "miSettingsShow", "Показать уставки...", {}, [&] { return frmSettings->isVisible(); }},
            {"N12", "miTrendsShow", "Тренды...", {}, [&] { return MainForm->TrendsWindow()->isVisible(); }},
            {"N12", "miEventsShow", "События...", {}, [&] { return MainForm->EventsWindow()->isVisible(); }},
            {"N12", "miRecordStart", "Начать запись...", [&] { AnswerFileDialog(recorded); }, [&] {
                 return MainForm->CurrentRecording().Active() && QFile::exists(recorded);
             }},
            {"N12", "miRecordStop", "Остановить запись", {}, [&] { return !MainForm->CurrentRecording().Active(); }},
            {"File1", "N1", "Выход", {}, [&] { return !MainForm->isVisible() && !MainForm->Poller(); }},
        };
        for (const Item& item : items) {
            QAction* action = MenuItem(item.menu, item.name);
            QVERIFY2(action, item.name);
            QCOMPARE(action->text(), QString::fromUtf8(item.caption));
            if (item.before)
                item.before();
            action->trigger();
            QTRY_VERIFY2(item.done(), item.name);
        }
    }

    // A line of relays records to "run-1.csv", "run-2.csv", not to the name
    // the dialog asked about: those that exist are named, and kept unless
    // the operator agrees.
    void recordingOfALineAsksBeforeEmptyingItsFiles()
    {
        Start("[Relays]\r\n1=\r\n2=\r\n");
        // Two files there already, of any content.
        const QString first = dir_.filePath("run-1.csv"), second = dir_.filePath("run-2.csv");
        QVERIFY(QFile::copy(IniPath(), first) && QFile::copy(IniPath(), second));
        for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
            AnswerFileDialog(dir_.filePath("run.csv"));
            MenuItem("N12", "miRecordStart")->trigger();
            QMessageBox* box = MainForm->findChild<QMessageBox*>("RecordOverwriteBox");
            QVERIFY(box);
            const QString text = box->text();
            QVERIFY2(text.contains(QDir::toNativeSeparators(first)) && text.contains(QDir::toNativeSeparators(second)),
                     qPrintable(text));
            QCOMPARE(ReadFile(second), ReadFile(IniPath()));
            box->button(answer)->click();
            QTRY_VERIFY(!MainForm->findChild<QMessageBox*>("RecordOverwriteBox"));
            QCOMPARE(MainForm->CurrentRecording().Active(), answer == QMessageBox::Yes);
        }
        QVERIFY(ReadFile(second).startsWith("\xC2\xF0\xE5\xEC\xFF;"));  // "Время"
        MainForm->miRecordStopClick();
    }

    void closingWhilePollingEndsTheReadAndFreesTheLink_data()
    {
        QTest::addColumn<bool>("viaMenu");
        QTest::newRow("window's close") << false;
        QTest::newRow("Выход") << true;
    }
    void closingWhilePollingEndsTheReadAndFreesTheLink()
    {
        QFETCH(bool, viaMenu);
        Start();
        MainForm->show();
        // A slow reply, short of the 1000 ms wait, so that the close mostly
        // begins inside the read.
        relay_->Next([](const Bytes&, const Bytes& good) { return Reply{{800, good}}; });
        MainForm->N5Click();
        QTRY_VERIFY(relay_->Requests().size() == 1);
        if (viaMenu)
            MenuItem("File1", "N1")->trigger();
        else
            MainForm->close();
        QVERIFY(!MainForm->Poller());
        QVERIFY(!MainForm->Port());
        QVERIFY(!MainForm->isVisible());
        MainForm->Timer1Timer();  // a tick that still comes finds no link and does nothing
        QCOMPARE(relay_->Requests().size(), std::size_t{1});
        // The close let the read finish, and its poll was taken before the link went.
        QCOMPARE(MainForm->Events().Events().back().what, std::string("Начальное состояние"));
    }

    void settingsOkWithoutAFileWritesTheFourKeys()
    {
        CreateForms();  // no file: the defaults, COM1
        MainForm->N4Click();
        auto* timeout = Find<QLineEdit>(SettingsForm, "edTimeout");
        timeout->setText("1200");
        Find<QComboBox>(SettingsForm, "cbPortName")->setEditText("ttyUSB7");
        // Chosen again while open: brought to the front, what was typed stays.
        MainForm->N4Click();
        QCOMPARE(timeout->text(), QString("1200"));
        QCOMPARE(Find<QComboBox>(SettingsForm, "cbPortName")->currentText(), QString("ttyUSB7"));
        Find<QPushButton>(SettingsForm, "Button1")->click();
        QCOMPARE(ReadFile(IniPath()), QByteArray("[Config]\r\nPORT=ttyUSB7\r\nSPEED=9600\r\n"
                                                 "RESPONSETIMEOUT=1200\r\nREFRESHINTERVAL=1000\r\n"));
    }

    void silentRelayWithALongResponseTimeoutLogsATimeout()
    {
        // The master's own 1000 ms wait runs out before the port's 3000 ms.
        Start("RESPONSETIMEOUT=3000\r\n");
        for (int i = 0; i < 3; ++i)
            relay_->Next([](const Bytes&, const Bytes&) { return Reply{}; });
        MainForm->N5Click();
        auto timeouts = [&] {
            std::size_t n = 0;
            for (const auto& line : MainForm->Log()->Lines())
                n += line.ends_with("\tТаймаут ответа!");
            return n;
        };
        QTRY_VERIFY_WITH_TIMEOUT(timeouts() >= 1, 10000);
        MainForm->N7Click();
        for (const auto& line : MainForm->Log()->Lines())
            QVERIFY2(!line.ends_with("\tОшибка CRC: "), line.c_str());
    }

    void memoKeepsTheNewestLinesAndSaveWritesThemAll()
    {
        Start("MEMOLINES=5\r\n");
        ::ExchangeLog& log = *MainForm->Log();
        auto* memo = Find<QPlainTextEdit>(MainForm, "logMemo");
        auto memoLines = [&] {
            QStringList lines = memo->toPlainText().split('\n');
            if (!lines.isEmpty() && lines.last().isEmpty())
                lines.removeLast();
            return lines;
        };
        for (int i = 0; i < 40; ++i) {
            log.Add("строка " + std::to_string(i));
            if (i % 3 == 0) {
                MainForm->Timer1Timer();
                QVERIFY(memoLines().size() <= 5);
            }
        }
        MainForm->Timer1Timer();
        QCOMPARE(memoLines(), QString::fromUtf8("строка 35|строка 36|строка 37|строка 38|строка 39").split('|'));
        QCOMPARE(log.FirstInMemory(), std::size_t{35});  // the rest left memory
        auto* label = Find<QLabel>(MainForm, "lblLogWindow");
        QVERIFY(!label->isHidden());
        QVERIFY2(label->text().contains("(35)"), qPrintable(label->text()));

        const QString saved = dir_.filePath("whole.txt");
        QVERIFY(MainForm->SaveLogTo(saved));
        const QByteArray whole = QByteArray::fromStdString(Utf8ToCp1251(log.Text()));
        QCOMPARE(ReadFile(saved), whole);

        // An edit in the visible part is saved with the lines before it.
        QTextCursor(memo->document()).insertText("typed ");
        QVERIFY(MainForm->SaveLogTo(saved));
        QByteArray edited = whole;
        edited.insert(whole.indexOf(QByteArray::fromStdString(Utf8ToCp1251("строка 35"))), "typed ");
        QCOMPARE(ReadFile(saved), edited);
    }

    void journalKeepsLinesAcrossARebuild()
    {
        Start();
        MainForm->N6Click();
        const std::string first = Utf8ToCp1251(MainForm->Log()->Text());
        MainForm->N4Click();
        Find<QPushButton>(SettingsForm, "Button1")->click();  // the link rebuilt
        MainForm->N10Click();                                   // and cleared
        MainForm->N6Click();
        const std::string second = Utf8ToCp1251(MainForm->Log()->Text());
        QVERIFY(MainForm->Journal());
        QVERIFY(MainForm->Journal()->Flush());
        const QString file = QString::fromStdString(
            MainForm->Journal()->FileFor(ExchangeJournal::LocalToday()).string());
        QCOMPARE(QFileInfo(file).absolutePath(), QDir(dir_.filePath("journal")).absolutePath());
        QCOMPARE(ReadFile(file), QByteArray::fromStdString(first + second));
    }

    void journalThatCannotBeWrittenIsReportedOnceAndPollingGoesOn()
    {
        // A file where the journal's folder should go: it can never be made.
        QFile blocker(dir_.filePath("blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        Start("JOURNALDIR=blocked/journal\r\n");
        MainForm->N5Click();
        auto* panel = Find<QLabel>(MainForm, "JournalPanel");
        QTRY_VERIFY((MainForm->Timer1Timer(), !panel->isHidden()));
        const uint64_t answered = MainForm->Poller()->Stats().answered;
        QTRY_VERIFY(MainForm->Poller()->Stats().answered > answered + 2);
        for (int i = 0; i < 3; ++i) {
            QTest::qWait(ExchangeJournal::kFlushEvery.count());
            MainForm->Timer1Timer();
        }
        // Once for the journal, once for the event file beside it.
        auto reported = [&](const char* what) {
            return Errors().filter(QString::fromUtf8(what)).size();
        };
        QCOMPARE(reported("Журнал обмена"), 1);
        QCOMPARE(reported("событие"), 1);
        QCOMPARE(Errors().size(), 2);
        QVERIFY(Errors()[0].contains("blocked"));

        // Writable again: the panel goes and the lines held meanwhile are written.
        QVERIFY(QFile::remove(dir_.filePath("blocked")));
        QTRY_VERIFY((MainForm->Timer1Timer(), panel->isHidden()));
        MainForm->N7Click();
        QVERIFY(MainForm->Journal()->Flush());
        const QByteArray journal = ReadFile(QString::fromStdString(
            MainForm->Journal()->FileFor(ExchangeJournal::LocalToday()).string()));
        QVERIFY(journal.startsWith(QByteArray::fromStdString(Utf8ToCp1251(MainForm->Log()->Line(0)) + "\r\n")));
        QCOMPARE(Errors().size(), 2);
    }

    // Lines and events the disk never took are told at the close, and kept
    // beside the journal's folder; where that fails too, the box says so.
    void unwrittenAtCloseIsToldAndKeptBesideTheJournal()
    {
        for (const QString folder : {"blocked", "blocked/journal"}) {
            // A file where the journal's folder should go: it can never be made.
            QDir(dir_.filePath("blocked")).removeRecursively();
            QVERIFY(QFile(dir_.filePath("blocked")).open(QIODevice::WriteOnly));
            Start("JOURNALDIR=" + folder.toUtf8() + "\r\n");
            MainForm->N6Click();
            const QString counts = QString::fromUtf8("в папку «%1»:\nстрок журнала обмена: %2 (")
                                       .arg(QDir::toNativeSeparators(dir_.filePath(folder)))
                                       .arg(MainForm->Log()->Count());
            const QString events = QString::fromUtf8("\nсобытий: %1 (").arg(MainForm->Events().Added());
            QString told;
            QTimer answer;
            connect(&answer, &QTimer::timeout, this, [&] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    told = box->text();
                    box->accept();
                }
            });
            answer.start(10);
            MainForm->close();
            const bool kept = folder == "blocked";
            const QString file = QDir::toNativeSeparators(QDir::cleanPath(dir_.filePath(folder + "/../ZaritMon-unwritten.txt")));
            QVERIFY2(told.contains(counts) && told.contains(events), qPrintable(told));
            QVERIFY2(told.contains((kept ? QString::fromUtf8("Это записано и в «%1».")
                                         : QString::fromUtf8("Записать это в «%1» тоже не удалось: ")).arg(file)),
                     qPrintable(told));
            if (kept)
                QVERIFY(Cp1251ToUtf8(ReadFile(file).toStdString()).find(QString(counts).replace("\n", "\r\n").toStdString())
                        != std::string::npos);
            DestroyForms();  // before the folder can be made
            QFile::remove(dir_.filePath("blocked"));
        }
    }

#ifndef _WIN32
    // A port that cannot be used says why in the link panel, not in the
    // log; the journal has each reason once; the reason goes when the port
    // comes back or a good one is chosen.
    void portThatCannotBeUsedSaysWhy_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "missing" << QString::fromUtf8("не найден");
        QTest::newRow("regular file") << "file" << QString::fromUtf8("не последовательный порт");
        QTest::newRow("directory") << "directory" << QString::fromUtf8("не последовательный порт");
        QTest::newRow("held by another open") << "held" << QString::fromUtf8("занят другой программой");
    }
    void portThatCannotBeUsedSaysWhy()
    {
        QFETCH(QString, what);
        QFETCH(QString, reason);
        const std::string path = what == "held" ? line_->DevicePath() : dir_.filePath("port").toStdString();
        if (what != "held")
            std::filesystem::remove_all(path);
        if (what == "file")
            std::ofstream(path) << "not a port";
        if (what == "directory")
            std::filesystem::create_directory(path);
        auto holder = std::make_unique<TCOMPort>(line_->DevicePath());
        if (what == "held")
            QVERIFY(holder->Open());
        WriteIni("[Config]\r\nPORT=" + QByteArray::fromStdString(path) + "\r\nREFRESHINTERVAL=50\r\n");
        CreateForms();
        auto* panel = Find<QLabel>(MainForm, "LinkPanel");
        if (what == "missing") {
            // Another port missing as well, chosen before any poll: the
            // panel names the new one.
            const QString other = dir_.filePath("other");
            MainForm->Timer1Timer();
            QVERIFY(panel->text().contains(QString::fromStdString(path)));
            MainForm->ApplySettings({other.toStdString(), "9600", "1000", "50"});
            MainForm->Timer1Timer();
            QVERIFY2(panel->text().startsWith(QString::fromUtf8("Связь: порт %1 не открыт").arg(other)),
                     qPrintable(panel->text()));
            MainForm->ApplySettings({path, "9600", "1000", "50"});
        }
        MainForm->N5Click();
        const QString notOpen = QString::fromUtf8("Связь: порт %1 не открыт: %2").arg(QString::fromStdString(path), reason);
        QTRY_VERIFY((MainForm->Timer1Timer(), panel->text().startsWith(notOpen)));
        if (what == "missing")
            QVERIFY(panel->text().contains(QString::fromUtf8("есть порты")) || panel->text().contains(QString::fromUtf8("других портов нет")));
        QVERIFY(!panel->toolTip().isEmpty());
        const uint64_t polls = MainForm->Poller()->Stats().polls;
        QTRY_VERIFY(MainForm->Poller()->Stats().polls > polls + 3);

        // Back: the device appears where the name points, or is let go.
        if (what == "held") {
            holder->Close();
        } else if (what == "directory") {
            MainForm->ApplySettings({line_->DevicePath(), "9600", "1000", "50"});
            MainForm->N5Click();
        } else {
            std::filesystem::remove(path);
            std::filesystem::create_symlink(line_->DevicePath(), path);
        }
        const uint64_t answered = MainForm->Poller()->Stats().answered;
        QTRY_VERIFY_WITH_TIMEOUT(MainForm->Poller()->Stats().answered > answered, 5000);
        QTRY_VERIFY((MainForm->Timer1Timer(), panel->text().startsWith(QString::fromUtf8("Связь: есть ответ"))));
        QVERIFY(panel->toolTip().isEmpty());
        MainForm->N7Click();

        for (const std::string& line : MainForm->Log()->Lines())
            QVERIFY2(line.find("Порт") == std::string::npos, line.c_str());
        QVERIFY(MainForm->Journal()->Flush());
        const QString journal = QString::fromStdString(Cp1251ToUtf8(ReadFile(QString::fromStdString(
            MainForm->Journal()->FileFor(ExchangeJournal::LocalToday()).string())).toStdString()));
        const QString reasonLine = QString::fromUtf8("Порт %1 не открыт: %2").arg(QString::fromStdString(path), reason);
        QCOMPARE(journal.count(reasonLine), 1);
        if (what != "directory")  // the new link's port opened at once
            QCOMPARE(journal.count(QString::fromUtf8("Порт %1 открыт").arg(QString::fromStdString(path))), 1);
        QVERIFY(journal.indexOf(reasonLine) < journal.lastIndexOf(QString::fromUtf8("\tОтвет: ")));
        if (what != "held")
            std::filesystem::remove_all(path);
    }

    // A device the user may not open: the panel names the group to join.
    // Root opens anything, so as root the test runs a copy of itself as
    // nobody (setpriv) on a device of root's, and lets it in halfway.
    void portWithoutPermissionNamesTheGroup()
    {
        const QByteArray device = qgetenv("ZARIT_PORT_WITHOUT_PERMISSION");
        if (!device.isEmpty()) {  // the copy, as nobody
            struct stat st{};
            QCOMPARE(::stat(device.constData(), &st), 0);
            const group* owner = ::getgrgid(st.st_gid);
            QVERIFY(owner);
            WriteIni("[Config]\r\nPORT=" + device + "\r\nREFRESHINTERVAL=50\r\n");
            CreateForms();
            MainForm->N5Click();
            auto* panel = Find<QLabel>(MainForm, "LinkPanel");
            const QString expected = QString::fromUtf8("Связь: порт %1 не открыт: нет доступа · добавьте пользователя "
                                                       "в группу %2 и войдите в систему заново")
                                         .arg(QString::fromUtf8(device), QString::fromUtf8(owner->gr_name));
            QTRY_COMPARE((MainForm->Timer1Timer(), panel->text()), expected);
            QVERIFY(panel->toolTip().contains(QString::fromUtf8("sudo usermod -aG %1 ").arg(owner->gr_name)));
            std::printf("reason shown\n");
            std::fflush(stdout);
            QTRY_VERIFY_WITH_TIMEOUT(
                (MainForm->Timer1Timer(), panel->text().startsWith(QString::fromUtf8("Связь: есть ответ"))), 20000);
            MainForm->N7Click();
            return;
        }
        if (::geteuid() != 0)
            QSKIP("not root: no unprivileged copy can be started, and this user may open its own devices");
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
        const std::string path = line_->DevicePath();
        QCOMPARE(::chmod(path.c_str(), 0600), 0);
        QProcess copy;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZARIT_PORT_WITHOUT_PERMISSION", QString::fromStdString(path));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        copy.setProcessEnvironment(env);
        copy.setProcessChannelMode(QProcess::MergedChannels);
        copy.start(setpriv, {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--",
                             QCoreApplication::applicationFilePath(), "portWithoutPermissionNamesTheGroup"});
        QVERIFY(copy.waitForStarted(10000));
        QByteArray output;
        QElapsedTimer timer;
        timer.start();
        while (!output.contains("reason shown") && copy.state() != QProcess::NotRunning && timer.elapsed() < 60000) {
            copy.waitForReadyRead(200);
            output += copy.readAll();
        }
        if (!output.contains("Start testing"))
            QSKIP(qPrintable("the copy could not run as nobody: " + QString::fromLocal8Bit(output)));
        QVERIFY2(output.contains("reason shown"), output.constData());
        QCOMPARE(::chmod(path.c_str(), 0666), 0);
        QVERIFY(copy.waitForFinished(60000));
        output += copy.readAll();
        QVERIFY2(copy.exitCode() == 0 && output.contains("PASS   : CommandsTest::portWithoutPermissionNamesTheGroup()"),
                 output.constData());
    }

    void networkPortsWholeFlow_data()
    {
        QTest::addColumn<bool>("mbap");
        QTest::newRow("tcp://") << false;
        QTest::newRow("mbtcp://") << true;
    }
    void networkPortsWholeFlow()
    {
        QFETCH(bool, mbap);
        TcpRelay relay(mbap ? TcpRelay::Framing::Mbap : TcpRelay::Framing::Rtu);
        // One poll, then a long pause: the display holds still to be read.
        WriteIni("[Config]\r\nPORT=" + QByteArray::fromStdString(relay.Address()) + "\r\nREFRESHINTERVAL=100000\r\n");
        CreateForms();
        MainForm->N5Click();
        QTRY_VERIFY(MainForm->Poller()->Stats().answered == 1);
        MainForm->Timer1Timer();
        const auto served = relay.LastServed();
        const std::string separator = QLocale::system().decimalPoint().toStdString();
        QCOMPARE(Find<QLineEdit>(MainForm, "edIA")->text(),
                 QString::fromStdString(FormatMeasuredCurrent(served[0], separator)));
        QCOMPARE(Find<QLineEdit>(MainForm, "edLastKZ")->text(),
                 QString::fromStdString(FormatMeasuredCurrent(served[45], separator)));
        // Stopped in the pause after that poll, which ends it at once.
        MainForm->N7Click();
        MainForm->RL21Click();
        MainForm->N6Click();
        // RL2 on and off, then the acknowledgement, each answered: the
        // address and PDU after the MBAP header, or before the CRC.
        std::vector<Bytes> coils;
        for (const auto& r : relay.Requests()) {
            const std::size_t at = mbap ? 6 : 0;
            if (r[at + 1] == 0x05)
                coils.push_back(Bytes(r.begin() + static_cast<std::ptrdiff_t>(at),
                                      r.begin() + static_cast<std::ptrdiff_t>(at + 6)));
        }
        QCOMPARE(coils, (std::vector<Bytes>{ParseHex("01 05 00 02 FF 00"), ParseHex("01 05 00 02 00 00"),
                                            ParseHex("01 05 00 00 FF 00")}));
        std::size_t requests = 0, replies = 0;
        for (const auto& line : MainForm->Log()->Lines()) {
            requests += Body(line).rfind("Запрос: ", 0) == 0;
            replies += Body(line).rfind("Ответ: ", 0) == 0;
        }
        QCOMPARE(replies, std::size_t{4});
        QCOMPARE(replies, requests);
        QVERIFY(Errors().isEmpty());
    }

#endif

    void malformedNetworkPortsAreRefused()
    {
        // At start: said at once, and nothing is opened.
        WriteIni("[Config]\r\nPORT=tcp://192.168.1.20\r\n");
        CreateForms();
        QTRY_COMPARE(Errors().size(), 1);
        QVERIFY(Errors()[0].contains("mbtcp://"));
        QVERIFY(!MainForm->Port()->EnsureOpen());

        // In the dialog: refused before anything is written or rebuilt.
        const QByteArray before = ReadFile(IniPath());
        const Transport* port = MainForm->Port();
        MainForm->N4Click();
        auto* name = Find<QComboBox>(SettingsForm, "cbPortName");
        auto* speed = Find<QComboBox>(SettingsForm, "cbSpeed");
        name->setEditText("ttyUSB0");
        QVERIFY(speed->isEnabled());
        name->setEditText("mbtcp://gateway.local:502");
        QVERIFY(!speed->isEnabled());
        QVERIFY(!speed->toolTip().isEmpty());
        name->setEditText("mbtcp://[fe80::1:502");
        Find<QPushButton>(SettingsForm, "Button1")->click();
        QVERIFY(SettingsForm->isVisible());
        auto* box = SettingsForm->findChild<QMessageBox*>("PortNameBox");
        QVERIFY(box);
        QVERIFY(box->text().contains("tcp://"));
        QCOMPARE(ReadFile(IniPath()), before);
        QCOMPARE(MainForm->Port(), port);
    }

    void saveWritesTheMemoAsWindows1251WithCrLf()
    {
        Start();
        relay_->Next([](const Bytes&, const Bytes&) { return Reply{}; });
        MainForm->RL11Click();  // ON unanswered, OFF answered
        MainForm->Timer1Timer();
        const QString saved = dir_.filePath("log");  // no extension added
        QVERIFY(MainForm->SaveLogTo(saved));
        const QByteArray bytes = ReadFile(saved);
        const QList<QByteArray> lines = bytes.split('\n');
        QCOMPARE(lines.size(), 5);  // four lines and the empty rest after the last break
        QVERIFY(lines[4].isEmpty());
        for (int i = 0; i < 4; ++i)
            QVERIFY(lines[i].endsWith('\r'));
        const QByteArray request("\xC7\xE0\xEF\xF0\xEE\xF1: 01 05 00 01 FF 00 DD FA \r");  // "Запрос"
        const QByteArray noReply("\xD2\xE0\xE9\xEC\xE0\xF3\xF2 \xEE\xF2\xE2\xE5\xF2\xE0!\r");  // "Таймаут ответа!"
        QVERIFY(lines[0].endsWith("\t" + request));
        QVERIFY(lines[1].endsWith("\t" + noReply));
        // Saving over it replaces it; an empty memo gives an empty file.
        MainForm->N10Click();
        QVERIFY(MainForm->SaveLogTo(saved));
        QCOMPARE(ReadFile(saved), QByteArray());
    }

    void saveFailureKeepsTheLogAndTheOldFile()
    {
        Start();
        MainForm->N6Click();
        MainForm->Timer1Timer();
        auto* memo = Find<QPlainTextEdit>(MainForm, "logMemo");
        const QString text = memo->toPlainText();
        QVERIFY(!text.isEmpty());
        QVERIFY(!MainForm->SaveLogTo(dir_.filePath("no/such/folder/log.txt")));
        QCOMPARE(Errors().size(), 1);
        QCOMPARE(memo->toPlainText(), text);
        QCOMPARE(MainForm->Log()->Count(), std::size_t{2});
    }

    void clearWhilePolling()
    {
        Start();
        MainForm->N5Click();
        QTRY_VERIFY(MainForm->Log()->Count() >= 4);
        MainForm->Timer1Timer();
        MainForm->N10Click();
        QVERIFY(Find<QPlainTextEdit>(MainForm, "logMemo")->toPlainText().isEmpty());
        QTRY_VERIFY(MainForm->Log()->Count() >= 2);  // new lines from the next poll on
        MainForm->Timer1Timer();
        QVERIFY(!Find<QPlainTextEdit>(MainForm, "logMemo")->toPlainText().isEmpty());
        MainForm->N7Click();
    }
};

QTEST_MAIN(CommandsTest)
#include "commands_test.moc"
