// The main window and the setpoint window under the offscreen platform,
// against a libmodbus slave on a pseudo-terminal that serves known values.

#include "ExchangeLog.h"
#include "Forms.h"
#include "LedPictures.h"
#include "RelayRegisters.h"
#include "TCOMPort.h"
#include "TDeviceControl.h"
#include "TMainForm.h"
#include "CursorBlink.h"
#include "support/LedBitmaps.h"
#include "TfrmSettings.h"
#include "SetpointDecode.h"
#include "support/LibmodbusSlave.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

#include <memory>

using namespace testing_support;

namespace {

QString Sep()
{
    return QLocale::system().decimalPoint();
}

QString Current(uint16_t hundredths)
{
    return QString::fromStdString(FormatMeasuredCurrent(hundredths, Sep().toStdString()));
}

QImage Image(const QLabel* label)
{
    return label->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
}

QImage FileImage(const char* name)
{
    return QImage(name).convertToFormat(QImage::Format_RGB32);
}

std::vector<uint16_t> KnownRegisters()
{
    std::vector<uint16_t> r(46, 0);
    r[0] = 1234;   // IA 12.34
    r[1] = 5;      // IB 0.05
    r[2] = 65535;  // IC 655.35
    r[3] = 0;      // 3Io
    r[4] = 0x0005; // inputs 1 and 3
    r[5] = 0x0081; // LED 1 (healthy) and LED 2
    for (int i = 6; i <= 41; ++i)
        r[static_cast<std::size_t>(i)] = static_cast<uint16_t>(i * 37);
    r[13] = 3;     // a code inside its table
    r[43] = 17;
    r[44] = 2;     // 38400
    r[45] = 4321;
    return r;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString oldDir_;

    void WriteIni(const QString& text)
    {
        QFile file(dir_.filePath("ZaritMon.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
    }
    QLineEdit* Edit(QWidget* w, const char* name) { return w->findChild<QLineEdit*>(name); }
    QLabel* Picture(const char* name) { return MainForm->findChild<QLabel*>(name); }

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
        QFile::remove(dir_.filePath("ZaritMon.ini"));
    }

    void startsWithTheDefaultsAndCreatesNoFile()
    {
        CreateForms();
        QCOMPARE(MainForm->windowTitle(), QString::fromUtf8("Zarit монитор"));
        QCOMPARE(QString::fromStdString(MainForm->Port()->PortName()),
                 QString::fromStdString(TCOMPort::DevicePath("COM1")));
        QCOMPARE(MainForm->StatusText(), QString::fromUtf8("Режим опроса - остановлено"));
        QVERIFY(!MainForm->Poller()->IsPolling());
        QVERIFY(!frmSettings->isVisible());
        MainForm->Timer1Timer();
        QVERIFY(Edit(MainForm, "edIA")->text().isEmpty());
        QVERIFY(Image(Picture("imgLED1")).isNull());
        QVERIFY(!QFile::exists(dir_.filePath("ZaritMon.ini")));
    }

    void silentLineShowsZerosAndLogsEveryFailure()
    {
        WriteIni("[Config]\r\nPORT=/nonexistent/tty\r\nREFRESHINTERVAL=0\r\n");
        CreateForms();
        MainForm->N5Click();
        QCOMPARE(MainForm->StatusText(), QString::fromUtf8("Режим опроса - запущено"));
        QTRY_VERIFY(MainForm->Log()->Count() >= 4);
        MainForm->Timer1Timer();
        QCOMPARE(Edit(MainForm, "edIA")->text(), Current(0));
        QCOMPARE(Edit(MainForm, "edLastKZ")->text(), Current(0));
        QCOMPARE(Edit(MainForm, "edNetAddress")->text(), QString("0"));
        QCOMPARE(Edit(MainForm, "edSpeed")->text(), QString("9600"));
        QCOMPARE(Image(Picture("imgLED1")), FileImage("GreenLedOff.bmp"));
        QCOMPARE(Image(Picture("imgDInput4")), FileImage("RedLedOff.bmp"));
        MainForm->N7Click();
        QCOMPARE(MainForm->StatusText(), QString::fromUtf8("Режим опроса - остановлено"));
        const auto lines = MainForm->Log()->Lines();
        QVERIFY(lines[0].ends_with("\tЗапрос: 01 03 00 00 00 2E C5 D6 "));
        QVERIFY(lines[1].ends_with("\tОшибка CRC: "));
    }

    void showsTheRelaysValuesAndTheSetpointsWhileVisible()
    {
        PtyPair pty;
        LibmodbusSlave slave(pty);
        std::vector<uint16_t> regs = KnownRegisters();
        slave.SetRegisters(regs);
        WriteIni(QString("[Config]\r\nPORT=%1\r\nREFRESHINTERVAL=20\r\n").arg(pty.DevicePath().c_str()));
        CreateForms();
        MainForm->N5Click();
        MainForm->N5Click();  // twice is once
        QTRY_VERIFY(slave.Served() >= 1);
        QTRY_COMPARE_WITH_TIMEOUT((MainForm->Timer1Timer(), Edit(MainForm, "edIA")->text()), Current(1234), 3000);
        QCOMPARE(Edit(MainForm, "edIB")->text(), Current(5));
        QCOMPARE(Edit(MainForm, "edIC")->text(), Current(65535));
        QCOMPARE(Edit(MainForm, "ed3I0")->text(), Current(0));
        QCOMPARE(Edit(MainForm, "edLastKZ")->text(), Current(4321));
        QCOMPARE(Edit(MainForm, "edNetAddress")->text(), QString("17"));
        QCOMPARE(Edit(MainForm, "edSpeed")->text(), QString("38400"));
        QCOMPARE(Image(Picture("imgLED1")), FileImage("GreenLedOn.bmp"));
        for (const char* name : {"imgLED2", "imgDInput1", "imgDInput3"})
            QCOMPARE(Image(Picture(name)), FileImage("RedLedOn.bmp"));
        for (const char* name : {"imgLED3", "imgLED8", "imgDInput2", "imgDInput4"})
            QCOMPARE(Image(Picture(name)), FileImage("RedLedOff.bmp"));

        // Hidden, the setpoint window is left alone.
        QVERIFY(Edit(frmSettings, "edMTZ_I")->text().isEmpty());
        MainForm->miSettingsShowClick();
        QVERIFY(frmSettings->isVisible());
        MainForm->Timer1Timer();
        for (const auto& field : kSetpointFields) {
            const QString expected = QString::fromStdString(
                DecodeSetpoint(field, regs[field.reg], Sep().toStdString()));
            QCOMPARE(Edit(frmSettings, field.control)->text(), expected);
        }
        QCOMPARE(Edit(frmSettings, "edMTZ_CharType")->text(), QString::fromUtf8("Чрезв. инв."));
        const QString shownMtz = Edit(frmSettings, "edMTZ_I")->text();

        // Hidden again, it keeps its texts while the main window moves on.
        frmSettings->Button1Click();
        QVERIFY(!frmSettings->isVisible());
        regs[0] = 777;
        regs[7] = 9960;
        slave.SetRegisters(regs);
        QTRY_COMPARE_WITH_TIMEOUT((MainForm->Timer1Timer(), Edit(MainForm, "edIA")->text()), Current(777), 3000);
        QCOMPARE(Edit(frmSettings, "edMTZ_I")->text(), shownMtz);
        MainForm->miSettingsShowClick();
        MainForm->Timer1Timer();
        QCOMPARE(Edit(frmSettings, "edMTZ_I")->text(), QString("1E2"));

        // Stopped, the display keeps the last values.
        MainForm->N7Click();
        QVERIFY(!MainForm->Poller()->IsPolling());
        regs[0] = 1;
        slave.SetRegisters(regs);
        QTest::qWait(100);
        MainForm->Timer1Timer();
        QCOMPARE(Edit(MainForm, "edIA")->text(), Current(777));
    }

    void aTickThatChangesNothingRepaintsNothing()
    {
        struct PaintCounter : QObject {
            QStringList painted;
            bool eventFilter(QObject* o, QEvent* e) override
            {
                if (e->type() == QEvent::Paint)
                    painted << o->objectName();
                return false;
            }
        } counter;
        // A blinking text cursor would repaint its edit: not the tick's doing.
        const int flashTime = QApplication::cursorFlashTime();
        QApplication::setCursorFlashTime(0);
        PtyPair pty;
        LibmodbusSlave slave(pty);
        slave.SetRegisters(KnownRegisters());
        WriteIni(QString("[Config]\r\nPORT=%1\r\nREFRESHINTERVAL=20\r\n").arg(pty.DevicePath().c_str()));
        CreateForms();
        MainForm->show();
        MainForm->miSettingsShowClick();
        MainForm->N5Click();
        QVERIFY(QTest::qWaitForWindowActive(frmSettings));
        QTRY_COMPARE_WITH_TIMEOUT((MainForm->Timer1Timer(), Edit(MainForm, "edIA")->text()), Current(1234), 3000);
        // A tick may have caught the first poll's registers half stored;
        // once it is counted they are all in, and every later poll the same.
        QTRY_VERIFY(MainForm->Poller()->Stats().answered >= 1);
        MainForm->Timer1Timer();
        qApp->installEventFilter(&counter);
        // What showing and activating the windows still has to paint (the
        // main window's focused edit losing its cursor, say) is not the
        // tick's: painted before counting, however late a loaded machine
        // delivers it.
        for (int pass = 0, quiet = 0; quiet < 3 && pass < 100; ++pass) {
            counter.painted.clear();
            QApplication::processEvents();
            quiet = counter.painted.isEmpty() ? quiet + 1 : 0;
        }
        auto ticks = [&] {
            counter.painted.clear();
            for (int i = 0; i < 3; ++i) {
                MainForm->Timer1Timer();
                QApplication::processEvents();
            }
            return counter.painted;
        };
        // While polling only the health panel's counts and the log move.
        QStringList polling = ticks().filter(QRegularExpression("^(ed|img)"));
        MainForm->N7Click();
        ticks();
        const QStringList idle = ticks();
        qApp->removeEventFilter(&counter);
        DestroyForms();
        QApplication::setCursorFlashTime(flashTime);
        QVERIFY2(polling.isEmpty(), qPrintable(polling.join(' ')));
        QVERIFY2(idle.isEmpty(), qPrintable(idle.join(' ')));
    }

    void cursorStopsBlinkingWithoutInput()
    {
        const int platform = QApplication::cursorFlashTime();
        QVERIFY(platform > 0);
        {
            CursorBlinkLimit limit(nullptr, 50);
            QTRY_COMPARE(QApplication::cursorFlashTime(), 0);
            QLineEdit edit;
            edit.show();
            QTest::keyClick(&edit, Qt::Key_A);
            QCOMPARE(QApplication::cursorFlashTime(), platform);
            QTRY_COMPARE(QApplication::cursorFlashTime(), 0);
        }
        QCOMPARE(QApplication::cursorFlashTime(), platform);
    }

    void logMemoMirrorsTheLog()
    {
        WriteIni("[Config]\r\nPORT=/nonexistent/tty\r\nREFRESHINTERVAL=0\r\n");
        CreateForms();
        auto* memo = MainForm->findChild<QPlainTextEdit*>("logMemo");
        QVERIFY(memo);
        ExchangeLog& log = *MainForm->Log();
        auto memoLines = [&] {
            QStringList lines = memo->toPlainText().split('\n');
            if (!lines.isEmpty() && lines.last().isEmpty())
                lines.removeLast();
            return lines;
        };
        auto logLines = [&] {
            QStringList lines;
            for (const auto& line : log.Lines())
                lines << QString::fromStdString(line);
            return lines;
        };

        log.Add("first");
        MainForm->Timer1Timer();
        QCOMPARE(memoLines(), logLines());
        MainForm->N5Click();
        QTRY_VERIFY(log.Count() >= 7);
        MainForm->N7Click();
        MainForm->Timer1Timer();
        QCOMPARE(memoLines(), logLines());
        QCOMPARE(memo->verticalScrollBar()->value(), memo->verticalScrollBar()->maximum());

        // An edit that keeps the line count stays until the log grows...
        QTextCursor cursor(memo->document());
        cursor.insertText("typed ");
        MainForm->Timer1Timer();
        QVERIFY(memo->toPlainText().startsWith("typed first"));
        log.Add("more");
        MainForm->Timer1Timer();
        QCOMPARE(memoLines(), logLines());
        // ...and one that changes it is replaced at the next tick.
        memo->appendPlainText("an extra line");
        MainForm->Timer1Timer();
        QCOMPARE(memoLines(), logLines());
        // A cleared log empties the memo.
        log.Clear();
        MainForm->Timer1Timer();
        QVERIFY(memo->toPlainText().isEmpty());
        log.Add("after clear");
        MainForm->Timer1Timer();
        QCOMPARE(memoLines(), QStringList{"after clear"});

        // A log cleared, or replaced by a rebuild, that has grown past the
        // memo's line count before the tick is copied whole, not appended.
        log.Add("second");
        MainForm->Timer1Timer();
        log.Clear();
        for (const char* line : {"a", "b", "c"})
            log.Add(line);
        MainForm->Timer1Timer();
        QCOMPARE(memoLines(), (QStringList{"a", "b", "c"}));
        MainForm->FreeLink();
        MainForm->CreateLink();
        for (const char* line : {"new 1", "new 2", "new 3", "new 4"})
            MainForm->Log()->Add(line);
        MainForm->Timer1Timer();
        QCOMPARE(memoLines(), (QStringList{"new 1", "new 2", "new 3", "new 4"}));
        // As many lines as before the rebuild: still the new log's own.
        MainForm->FreeLink();
        MainForm->CreateLink();
        for (const char* line : {"w", "x", "y", "z"})
            MainForm->Log()->Add(line);
        MainForm->Timer1Timer();
        QCOMPARE(memoLines(), (QStringList{"w", "x", "y", "z"}));
    }

    void logMemoTextsStartInOneColumn()
    {
        WriteIni("[Config]\r\nPORT=/nonexistent/tty\r\n");
        CreateForms();
        auto* memo = MainForm->findChild<QPlainTextEdit*>("logMemo");
        MainForm->Log()->Add("19:07:43:8\tЗапрос: 01 03 00 00 00 2E C5 D6 ");
        MainForm->Log()->Add("23:59:59:999\tОтвет: 01 03 5C ");
        MainForm->Timer1Timer();
        auto textX = [&](int line) {
            QTextCursor cursor(memo->document()->findBlockByNumber(line));
            cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::MoveAnchor,
                                static_cast<int>(cursor.block().text().indexOf('\t')) + 1);
            return memo->cursorRect(cursor).x();
        };
        QCOMPARE(textX(0), textX(1));
    }

    void replacedBitmapShowsAtTheNextRefresh()
    {
        WriteIni("[Config]\r\nPORT=/nonexistent/tty\r\n");
        CreateForms();
        MainForm->N5Click();
        MainForm->Timer1Timer();
        QCOMPARE(Image(Picture("imgLED2")), FileImage("RedLedOff.bmp"));
        // The same size and the same time, as `cp -p RedLedOn.bmp RedLedOff.bmp` leaves it.
        QVERIFY(QFile::rename("RedLedOff.bmp", "RedLedOff.bmp.kept"));
        QVERIFY(QFile::copy("RedLedOn.bmp", "RedLedOff.bmp"));
        QFile replaced("RedLedOff.bmp");
        QVERIFY(replaced.open(QIODevice::ReadWrite));
        QFile kept("RedLedOff.bmp.kept");
        QCOMPARE(replaced.size(), kept.size());
        QVERIFY(replaced.setFileTime(kept.fileTime(QFileDevice::FileModificationTime),
                                     QFileDevice::FileModificationTime));
        replaced.close();
        MainForm->Timer1Timer();
        const QImage shown = Image(Picture("imgLED2"));
        QVERIFY(QFile::remove("RedLedOff.bmp"));
        QVERIFY(QFile::rename("RedLedOff.bmp.kept", "RedLedOff.bmp"));
        QCOMPARE(shown, FileImage("RedLedOn.bmp"));
        MainForm->N7Click();
    }

    void missingBitmapIsDrawnAndReportedOnce()
    {
        QVERIFY(QFile::rename("RedLedOn.bmp", "RedLedOn.bmp.away"));
        WriteIni("[Config]\r\nPORT=/nonexistent/tty\r\n");
        CreateForms();
        MainForm->N5Click();
        for (int i = 0; i < 3; ++i)
            MainForm->Timer1Timer();
        const auto boxes = MainForm->findChildren<QMessageBox*>("MissingBitmapBox");
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0]->text().contains("RedLedOn.bmp"));
        // Nothing is lit on a silent line, so the files still there are used.
        QCOMPARE(Image(Picture("imgLED2")), FileImage("RedLedOff.bmp"));
        QCOMPARE(LedPictures::Drawn(false, true).isNull(), false);
        QVERIFY(QFile::rename("RedLedOn.bmp.away", "RedLedOn.bmp"));
        MainForm->N7Click();
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
