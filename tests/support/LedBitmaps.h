#pragma once

#include "LedPictures.h"

#include <QFile>
#include <QString>

// Fills a working folder with the repository's four LED bitmaps, under the
// names the program looks for.
inline bool CopyLedBitmaps(const QString& folder)
{
    for (bool green : {false, true}) {
        for (bool lit : {false, true}) {
            const QString name = LedPictures::FileName(green, lit);
            if (!QFile::copy(QString(ZARIT_BITMAPS_DIR) + "/" + name, folder + "/" + name))
                return false;
        }
    }
    return true;
}
