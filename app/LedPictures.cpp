#include "LedPictures.h"

#include <QCoreApplication>
#include <QDir>
#include <QPainter>
#include <QRadialGradient>

// Set by cmake/Install.cmake from the install layout.
#ifndef ZARIT_DATA_FROM_BIN
#define ZARIT_DATA_FROM_BIN "../share/zaritmon"
#endif

QString LedPictures::FileName(bool green, bool lit)
{
    return QString(green ? "Green" : "Red") + "Led" + (lit ? "On" : "Off") + ".bmp";
}

QPixmap LedPictures::Drawn(bool green, bool lit)
{
    const QColor on = green ? QColor(40, 220, 40) : QColor(235, 30, 30);
    const QColor off = green ? QColor(20, 70, 20) : QColor(80, 20, 20);
    QPixmap pixmap(17, 17);
    pixmap.fill(QColor(212, 208, 200));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QRadialGradient glow(QPointF(6.5, 6.5), 9);
    glow.setColorAt(0, lit ? on.lighter(170) : off.lighter(130));
    glow.setColorAt(1, lit ? on : off);
    painter.setBrush(glow);
    painter.setPen(QColor(60, 60, 60));
    painter.drawEllipse(QRectF(1.5, 1.5, 14, 14));
    return pixmap;
}

QStringList LedPictures::SearchFolders()
{
    return {".", InstalledFolder(QCoreApplication::applicationDirPath())};
}

QString LedPictures::InstalledFolder(const QString& executableFolder)
{
    return QDir::cleanPath(executableFolder + "/" + ZARIT_DATA_FROM_BIN);
}

LedPictures::Found LedPictures::Find(const QString& fileName, const QStringList& folders)
{
    for (const QString& folder : folders) {
        const QString path = folder + "/" + fileName;
        QImage image(path, "BMP");
        if (!image.isNull())
            return {image, path};
    }
    return {};
}

void LedPictures::Reload()
{
    for (bool green : {false, true}) {
        for (bool lit : {false, true}) {
            const QString name = FileName(green, lit);
            const int i = Index(green, lit);
            QImage image = Find(name, folders_).image;
            if (image.isNull()) {
                if (!reported_.contains(name)) {
                    reported_.insert(name);
                    report_(name);
                }
                image = Drawn(green, lit).toImage();
            }
            if (pictures_[i].isNull() || image != images_[i]) {
                images_[i] = image;
                pictures_[i] = QPixmap::fromImage(image);
            }
        }
    }
}
