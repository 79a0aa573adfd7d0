#pragma once

#include <QImage>
#include <QPixmap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

// The four LED bitmaps, read at every refresh so that a replaced file shows
// at once. Read past Qt's pixmap cache, which keys on the file's time in
// whole seconds and its size and so would keep showing a same-size picture
// replaced within the second or copied with its time kept. A picture that
// did not change keeps its pixmap, so the labels showing it are not
// repainted. Each picture comes from the first folder that has it readable:
// the working folder, so that a picture there overrides, then the installed
// data folder, so that a copy started from the desktop menu has its own. One
// that neither has is replaced by a drawn LED of the same colour and state,
// and reported once per run instead of at every refresh.
class LedPictures {
public:
    using Report = std::function<void(const QString& fileName)>;
    explicit LedPictures(Report report) : LedPictures(std::move(report), SearchFolders()) {}
    LedPictures(Report report, QStringList folders) : report_(std::move(report)), folders_(std::move(folders)) {}

    // Loads all four files afresh.
    void Reload();
    const QPixmap& Picture(bool green, bool lit) const { return pictures_[Index(green, lit)]; }

    static QString FileName(bool green, bool lit);
    static QPixmap Drawn(bool green, bool lit);

    // The working folder (".", so that it follows a change of folder), then
    // InstalledFolder() of this executable.
    static QStringList SearchFolders();
    // Where an install puts the pictures, relative to the executable's
    // folder (<prefix>/bin/../share/zaritmon), so that a moved install or a
    // package finds them as well.
    static QString InstalledFolder(const QString& executableFolder);

    struct Found {
        QImage image;  // null when no folder has it readable
        QString path;  // the file it came from
    };
    static Found Find(const QString& fileName, const QStringList& folders);

private:
    static int Index(bool green, bool lit) { return (green ? 2 : 0) + (lit ? 1 : 0); }

    Report report_;
    QStringList folders_;
    QImage images_[4];
    QPixmap pictures_[4];
    QSet<QString> reported_;
};
