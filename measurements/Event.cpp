#include "Event.h"

#include "LocalTime.h"
#include "RelayRegisters.h"

#include <cstdio>

const char* EventKindText(EventKind kind)
{
    switch (kind) {
    case EventKind::Trip: return "Срабатывания";
    case EventKind::Input: return "Входы";
    case EventKind::Link: return "Связь";
    case EventKind::Operator: return "Оператор";
    }
    return "";
}

std::string EventCsvHeader()
{
    return "Время;Вид;Событие;Состояние;Ia, А;Ib, А;Ic, А;3Io, А;Iкз, А;Реле";
}

std::string EventCsvLine(const Event& event, const std::string& decimalSeparator)
{
    // A separator inside a caption or a typed request would split its field.
    auto field = [](std::string text) {
        for (char& c : text)
            if (c == ';' || c == '\r' || c == '\n')
                c = ',';
        return text;
    };
    std::string line = FormatStamp(ToLocal(event.at)) + ";" + EventKindText(event.kind) + ";" + field(event.what) + ";"
                       + field(event.state);
    for (std::size_t i = 0; i < 5; ++i)
        line += ";" + (event.currents ? FormatMeasuredCurrent((*event.currents)[i], decimalSeparator) : std::string());
    return line + ";" + field(event.relay);
}
