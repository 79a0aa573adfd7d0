// The window on a laptop away from the line, through the station's gateway
// (PORT=mbtcp://station): it shows the relay NETADDRESS names, and its
// acknowledgement reaches that relay alone when the laptop is among the
// WRITERS, or comes back refused with the relay's exception. Offscreen.

#include "Forms.h"
#include "EventLog.h"
#include "ExchangeLog.h"
#include "SimProcess.h"
#include "TMainForm.h"
#include "support/LedBitmaps.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class GatewayWindowTest : public QObject {
    Q_OBJECT

private slots:
    void acknowledgeThroughTheStation_data()
    {
        QTest::addColumn<QByteArray>("writers");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("a writer") << QByteArray("127.0.0.1") << QString::fromUtf8("ответ получен");
        QTest::newRow("not a writer") << QByteArray("192.0.2.1") << QString::fromUtf8("ответ отвергнут");
    }
    void acknowledgeThroughTheStation()
    {
        QFETCH(QByteArray, writers);
        QFETCH(QString, outcome);
        QTemporaryDir dir;
        QVERIFY(dir.isValid() && CopyLedBitmaps(dir.path()));
        const QString old = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        SimProcess sim({"--units", "1,2,3", "--speed", "38400", "--noise", "0", "--fault-at", "2:0.1"}, true);
        QVERIFY(sim.WaitForLink());
        QFile stationIni(QString::fromStdString(sim.Directory()) + "/ZaritMon.ini");
        QVERIFY(stationIni.open(QIODevice::WriteOnly));
        stationIni.write("[Config]\r\nPORT=" + QByteArray::fromStdString(sim.Link())
                         + "\r\nSPEED=38400\r\nREFRESHINTERVAL=0\r\n[Relays]\r\n1=\r\n2=\r\n3=\r\n"
                           "[Gateway]\r\nLISTEN=127.0.0.1:0\r\nWRITERS="
                         + writers + "\r\n");
        stationIni.close();
        SimProcess station(SimProcess::Program{STATION_PATH, {"--config", sim.Directory()}});
        const std::string said = "шлюз Modbus TCP слушает 127.0.0.1:";
        QVERIFY2(station.WaitForOutput(said, std::chrono::seconds(10)), station.Output().c_str());
        const std::string out = station.Output();
        const std::size_t at = out.find(said) + said.size();
        const QByteArray port = QByteArray::fromStdString(out.substr(at, out.find(';', at) - at));

        QFile ini(dir.filePath("ZaritMon.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Config]\r\nPORT=mbtcp://127.0.0.1:" + port + "\r\nNETADDRESS=2\r\nREFRESHINTERVAL=100\r\n");
        ini.close();
        CreateForms();
        MainForm->N5Click();
        const auto text = [](const char* name) { return MainForm->findChild<QLineEdit*>(name)->text(); };
        // Relay 2 carries 4/5 of the load, and trips on phase A.
        QTRY_COMPARE_WITH_TIMEOUT((MainForm->Timer1Timer(), text("edIB")),
                                  QString("2") + QLocale::system().decimalPoint() + "00", 10000);
        QCOMPARE(text("edNetAddress"), QString("2"));
        MainForm->N6Click();
        MainForm->Timer1Timer();
        QString state;
        for (const Event& e : MainForm->Events().Events())
            if (e.what == "Квитирование")
                state = QString::fromStdString(e.state);
        QCOMPARE(state, outcome);
        if (outcome == QString::fromUtf8("ответ получен")) {
            QVERIFY(sim.WaitForOutput("address 2: acknowledged"));
        } else {
            bool refused = false;
            for (const std::string& line : MainForm->Log()->Lines())
                refused = refused || line.ends_with(" 02 85 01 ");
            QVERIFY(refused);
        }
        DestroyForms();
        QCOMPARE(station.Stop(SIGTERM, std::chrono::seconds(10)).status, 0);
        QVERIFY2(sim.Output().find("address 1: acknowledged") == std::string::npos, sim.Output().c_str());
        QVERIFY2(sim.Output().find("address 3: acknowledged") == std::string::npos, sim.Output().c_str());
        if (outcome != QString::fromUtf8("ответ получен"))
            QVERIFY2(sim.Output().find("acknowledged") == std::string::npos, sim.Output().c_str());
        QDir::setCurrent(old);
    }
};

QTEST_MAIN(GatewayWindowTest)
#include "gateway_window_test.moc"
