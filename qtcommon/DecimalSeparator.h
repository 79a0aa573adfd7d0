#pragma once

#include <QLocale>

#include <string>

// The system's decimal separator, as every number the windows show uses it.
inline std::string DecimalSeparator()
{
    return QLocale::system().decimalPoint().toStdString();
}
