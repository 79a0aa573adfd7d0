#include "LinkHealth.h"

#include <cstdio>

std::string LinkHealthText(const PollStats& stats, const LocalTime& lastAnswer)
{
    if (stats.polls == 0)
        return "Связь: опроса ещё не было";
    std::string text = stats.lastAnswered ? "Связь: есть ответ" : "Связь: нет ответа";
    if (stats.echo)
        text += " · эхо линии";
    if (stats.answered > 0) {
        char time[16];
        std::snprintf(time, sizeof time, "%d:%02d:%02d", lastAnswer.hour, lastAnswer.minute, lastAnswer.second);
        text += std::string(" · последний ответ ") + time;
    } else {
        text += " · ответов не было";
    }
    text += " · опросов " + std::to_string(stats.polls) + ", ответов " + std::to_string(stats.answered)
            + ", таймаутов " + std::to_string(stats.timeouts) + ", ошибок CRC " + std::to_string(stats.rejected);
    return text;
}
