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
    if (stats.exceptions > 0)
        text += ", исключений " + std::to_string(stats.exceptions);
    return text;
}

std::string PortNotOpenText(const std::string& port, const PortProblem& problem,
                            const std::vector<std::string>& portsNow)
{
    std::string text = "Связь: порт " + port + " не открыт: " + PortProblemWords(problem);
    if (problem.kind == PortProblem::Kind::NoPermission && !problem.group.empty()) {
        text += " · добавьте пользователя в группу " + problem.group + " и войдите в систему заново";
    } else if (problem.kind == PortProblem::Kind::NotFound) {
        if (portsNow.empty()) {
            text += " · других портов нет";
        } else {
            text += " · есть порты: ";
            for (std::size_t i = 0; i < portsNow.size(); ++i)
                text += (i ? ", " : "") + portsNow[i];
        }
    }
    return text;
}

std::string PortNotOpenDetail(const PortProblem& problem, const std::string& user)
{
    std::string text = problem.step + ": " + problem.system + " (" + std::to_string(problem.code) + ")";
    if (problem.kind == PortProblem::Kind::NoPermission && !problem.group.empty())
        text += "\nsudo usermod -aG " + problem.group + " " + (user.empty() ? "$USER" : user);
    return text;
}
