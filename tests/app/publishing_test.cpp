// The window publishing its relay to Debian's mosquitto, as the station does:
// the state and the events reach a subscriber, and the status bar says the
// connection is there. Offscreen; Linux only (the Windows build has no MQTT).

#include "Forms.h"
#include "MosquittoBroker.h"
#include "SimProcess.h"
#include "TMainForm.h"
#include "support/LedBitmaps.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class PublishingTest : public QObject {
    Q_OBJECT

private slots:
    void stateAndEventsReachTheBroker()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid() && CopyLedBitmaps(dir.path()));
        const QString old = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        SimProcess sim({"--units", "3", "--speed", "38400", "--noise", "0"});
        QVERIFY(sim.WaitForLink());
        MosquittoBroker broker(sim.Directory());
        QVERIFY2(broker.Start(), broker.Output().c_str());
        SimProcess subscriber(SimProcess::Program{
            "/usr/bin/mosquitto_sub", {"-h", "127.0.0.1", "-p", broker.Port(), "-t", "window/#", "-v"}});
        QFile ini(dir.filePath("ZaritMon.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Config]\r\nPORT=" + QByteArray::fromStdString(sim.Link())
                  + "\r\nSPEED=38400\r\nNETADDRESS=3\r\nREFRESHINTERVAL=200\r\n[MQTT]\r\nHOST=127.0.0.1\r\nPORT="
                  + QByteArray::fromStdString(broker.Port()) + "\r\nTOPIC=window\r\n");
        ini.close();
        CreateForms();
        MainForm->N5Click();
        QTRY_VERIFY_WITH_TIMEOUT((MainForm->Timer1Timer(),
                                  subscriber.Output().find("window/3/event {") != std::string::npos
                                      && subscriber.Output().find("window/3/state {") != std::string::npos),
                                 15000);
        QVERIFY2(subscriber.Output().find("\"Ia\":2.50,") != std::string::npos, subscriber.Output().c_str());
        QVERIFY2(subscriber.Output().find("\"what\":\"Начальное состояние\"") != std::string::npos,
                 subscriber.Output().c_str());
        QCOMPARE(MainForm->MqttState(), QString::fromUtf8("MQTT: соединение с брокером есть"));
        DestroyForms();
        QVERIFY(subscriber.WaitForOutput("window/status offline"));
        QDir::setCurrent(old);
    }
};

QTEST_MAIN(PublishingTest)
#include "publishing_test.moc"
