#pragma once

#include <QImage>
#include <QPixmap>
#include <QSet>
#include <QString>

#include <functional>

// The four LED bitmaps, read from the working directory at every refresh so
// that a replaced file shows at once. Read past Qt's pixmap cache, which
// keys on the file's time in whole seconds and its size and so would keep
// showing a same-size picture replaced within the second or copied with its
// time kept. A picture that did not change keeps its pixmap, so the labels
// showing it are not repainted. A file that is missing or unreadable
// is replaced by a drawn LED of the same colour and state, and reported once
// per run instead of at every refresh.
class LedPictures {
public:
    using Report = std::function<void(const QString& fileName)>;
    explicit LedPictures(Report report) : report_(std::move(report)) {}

    // Loads all four files afresh.
    void Reload();
    const QPixmap& Picture(bool green, bool lit) const { return pictures_[Index(green, lit)]; }

    static QString FileName(bool green, bool lit);
    static QPixmap Drawn(bool green, bool lit);

private:
    static int Index(bool green, bool lit) { return (green ? 2 : 0) + (lit ? 1 : 0); }

    Report report_;
    QImage images_[4];
    QPixmap pictures_[4];
    QSet<QString> reported_;
};
