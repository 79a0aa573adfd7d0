#pragma once

// Files the windows save at the operator's request: written whole, or the
// old one left as it was.

#include <QSaveFile>
#include <QString>

#include <string>

// False, with the reason in *error (when given), if the file cannot be written.
inline bool WriteWholeFile(const QString& fileName, const std::string& bytes, QString* error)
{
    QSaveFile file(fileName);
    const auto size = static_cast<qint64>(bytes.size());
    if (file.open(QIODevice::WriteOnly) && file.write(bytes.data(), size) == size && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}
