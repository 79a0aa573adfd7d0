// The whole program against the relay simulator, the way an engineer sees
// it: polling shows the relay's values, a pulse lights its input, a fault
// trips the relay and an acknowledgement clears it. Offscreen.

#include "ExchangeLog.h"
#include "Forms.h"
#include "StatusFormat.h"
#include "TDeviceControl.h"
#include "TMainForm.h"
#include "TfrmSettings.h"
#include "SimProcess.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
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
    std::unique_ptr<SimProcess> sim_;

    QString Text(const char* name) { return MainForm->findChild<QLineEdit*>(name)->text(); }
    QImage Picture(const char* name)
    {
        return MainForm->findChild<QLabel*>(name)->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    }
    void StartWith(std::vector<std::string> options)
    {
        sim_ = std::make_unique<SimProcess>(std::move(options));
        QVERIFY(sim_->WaitForLink());
        QFile ini(dir_.filePath("ZaritMon.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write("[Config]\r\nPORT=" + QByteArray::fromStdString(sim_->Link()) + "\r\nREFRESHINTERVAL=0\r\n");
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

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        for (const char* name : {"GreenLedOn.bmp", "GreenLedOff.bmp", "RedLedOn.bmp", "RedLedOff.bmp"})
            QVERIFY(QFile::copy(QString(ZARIT_BITMAPS_DIR) + "/" + name, dir_.filePath(name)));
        oldDir_ = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir_.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(oldDir_); }
    void cleanup()
    {
        DestroyForms();
        if (sim_)
            sim_->Stop(SIGTERM);
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
        StartWith({"--speed", "38400", "--noise", "0"});
        QVERIFY(ShowsWithin("edIA", Current(250)));
        MainForm->findChild<QPushButton*>("Button4")->click();  // RL3
        QVERIFY(MainForm->Poller()->IsPolling());
        QTRY_COMPARE_WITH_TIMEOUT((MainForm->Timer1Timer(), Picture("imgDInput3")), FileImage("RedLedOn.bmp"), 3000);
        QCOMPARE(Picture("imgDInput1"), FileImage("RedLedOff.bmp"));
        MainForm->N7Click();
    }

    void faultTripsAndAcknowledgeClears()
    {
        StartWith({"--speed", "38400", "--noise", "0", "--fault-at", "0.3", "--fault-current", "12.34"});
        QVERIFY(ShowsWithin("edLastKZ", Current(1234), 8000));
        QCOMPARE(Picture("imgLED2"), FileImage("RedLedOn.bmp"));
        MainForm->N6Click();
        QTRY_COMPARE_WITH_TIMEOUT((MainForm->Timer1Timer(), Picture("imgLED2")), FileImage("RedLedOff.bmp"), 3000);
        QVERIFY(MainForm->Poller()->IsPolling());
        MainForm->N7Click();
    }
};

QTEST_MAIN(SimulatorWindowTest)
#include "simulator_window_test.moc"
