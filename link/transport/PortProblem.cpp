#include "PortProblem.h"

std::string PortProblemWords(const PortProblem& problem)
{
    switch (problem.kind) {
    case PortProblem::Kind::None: return {};
    case PortProblem::Kind::NotFound: return "не найден";
    case PortProblem::Kind::InUse: return "занят другой программой";
    case PortProblem::Kind::NoPermission: return "нет доступа";
    case PortProblem::Kind::NotSerial: return "не последовательный порт";
    case PortProblem::Kind::NameNotFound: return "имя не найдено";
    case PortProblem::Kind::Refused: return "соединение отклонено";
    case PortProblem::Kind::NoAnswer: return "нет ответа";
    case PortProblem::Kind::ClosedByServer: return "соединение закрыто сервером";
    case PortProblem::Kind::Other: break;
    }
    return problem.system.empty() ? "ошибка " + std::to_string(problem.code) : problem.system;
}
