#pragma once

// The configuration file and saved logs are single-byte Windows-1251 text.

#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>

#include <string>

inline QByteArray ToCp1251(const QString& text)
{
    QStringEncoder encoder("windows-1251");
    return encoder.isValid() ? QByteArray(encoder.encode(text)) : text.toLatin1();
}

inline QString FromCp1251(const std::string& bytes)
{
    QStringDecoder decoder("windows-1251");
    const QByteArray raw(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return decoder.isValid() ? QString(decoder.decode(raw)) : QString::fromLatin1(raw);
}
