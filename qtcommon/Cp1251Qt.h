#pragma once

// Windows-1251 for Qt strings: the configuration file, saved logs and
// recordings are single-byte text in that code page.

#include "Cp1251.h"

#include <QByteArray>
#include <QString>

#include <string>

inline QByteArray ToCp1251(const QString& text)
{
    return QByteArray::fromStdString(Utf8ToCp1251(text.toStdString()));
}

inline QString FromCp1251(const std::string& bytes)
{
    return QString::fromStdString(Cp1251ToUtf8(bytes));
}
