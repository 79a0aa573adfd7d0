#include "LedPictures.h"

#include <QColor>
#include <QTemporaryDir>
#include <QTest>

// The lookup the main window refreshes its LEDs through: the working folder
// first, then the installed pictures, and a report only when neither has one.
class LedLookupTest : public QObject {
    Q_OBJECT

    static QImage Plain(QColor colour)
    {
        QImage image(5, 5, QImage::Format_RGB32);
        image.fill(colour);
        return image;
    }

private slots:
    void installedPicturesFillInAndTheWorkingFolderOverrides()
    {
        QTemporaryDir work;
        QTemporaryDir installed;
        for (bool green : {false, true}) {
            for (bool lit : {false, true})
                QVERIFY(Plain(Qt::blue).save(installed.filePath(LedPictures::FileName(green, lit)), "BMP"));
        }
        QStringList reports;
        LedPictures leds([&](const QString& name) { reports << name; }, {work.path(), installed.path()});

        leds.Reload();
        QCOMPARE(reports, QStringList());
        QCOMPARE(leds.Picture(true, true).toImage().pixelColor(2, 2), QColor(Qt::blue));

        QVERIFY(Plain(Qt::yellow).save(work.filePath(LedPictures::FileName(true, true)), "BMP"));
        leds.Reload();
        QCOMPARE(leds.Picture(true, true).toImage().pixelColor(2, 2), QColor(Qt::yellow));
        QCOMPARE(leds.Picture(true, false).toImage().pixelColor(2, 2), QColor(Qt::blue));

        QVERIFY(QFile::remove(installed.filePath(LedPictures::FileName(false, true))));
        leds.Reload();
        leds.Reload();
        QCOMPARE(reports, QStringList{LedPictures::FileName(false, true)});
    }
};

QTEST_MAIN(LedLookupTest)
#include "led_lookup_test.moc"
