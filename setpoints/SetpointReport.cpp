#include "SetpointReport.h"

namespace {

ReportBlock Block(ReportBlock::Kind kind, std::string text)
{
    ReportBlock block;
    block.kind = kind;
    block.text = std::move(text);
    return block;
}

ReportBlock Table(std::vector<int> widths, std::vector<std::string> header)
{
    ReportBlock block;
    block.kind = ReportBlock::Kind::Table;
    block.widths = std::move(widths);
    block.rows.push_back(std::move(header));
    return block;
}

} // namespace

std::vector<ReportBlock> BuildSetpointReport(const ReportInput& in)
{
    using Kind = ReportBlock::Kind;
    const SetpointSnapshot& r = in.now;
    std::vector<ReportBlock> report;
    report.push_back(Block(Kind::Title, "Протокол проверки уставок реле"));
    report.push_back(Block(Kind::Text, "Реле: адрес " + r.address + (r.relayName.empty() ? "" : ", " + r.relayName)
                                           + "; линия " + r.line));
    report.push_back(Block(Kind::Text, "Дата и время: " + r.takenAt + "; программа " + r.program));
    for (const char* blank : {"Подстанция", "Присоединение", "Проверил (должность, Ф. И. О.)", "Подпись"})
        report.push_back(Block(Kind::Blank, blank));

    report.push_back(Block(Kind::Heading, "Уставки"));
    ReportBlock setpoints = Table({2, 5, 3, 2, 3}, {"Регистр", "Уставка", "Значение", "Код", "Группа"});
    for (std::size_t i = 0; i < kSetpointCount; ++i) {
        const SetpointField& field = kSetpointFields[i];
        setpoints.rows.push_back({std::to_string(field.reg), field.label, DecodeSetpointWithUnit(field, r.values[i], in.decimalSeparator),
                                  std::to_string(r.values[i]), field.group});
    }
    report.push_back(std::move(setpoints));

    if (in.compared && OfAnotherRelay(*in.compared, r.address)) {
        // A commissioning record of this relay never measures it against another's settings.
        report.push_back(Block(Kind::Heading, "Сравнение с файлом " + in.comparedFile));
        report.push_back(Block(Kind::Text, "Не включено: это снимок реле с адресом " + in.compared->address
                                               + ", отчёт — о реле с адресом " + r.address + "."));
    } else if (in.compared) {
        const std::vector<SetpointDifference> differences = CompareSetpoints(in.compared->values, r.values);
        report.push_back(Block(Kind::Heading, "Сравнение с файлом " + in.comparedFile));
        report.push_back(Block(Kind::Text, "Снимок: адрес " + in.compared->address + ", " + in.compared->takenAt + "; "
                                               + ComparisonSummary(differences.size())));
        if (!differences.empty()) {
            ReportBlock table = Table({1, 3, 2, 2}, {"Регистр", "Уставка", "В реле", "В файле"});
            for (const SetpointDifference& d : differences) {
                const SetpointField& field = kSetpointFields[d.reg - kFirstSetpointRegister];
                table.rows.push_back({std::to_string(d.reg), field.label,
                                      ComparedText(field, d.now, d.saved, in.decimalSeparator),
                                      ComparedText(field, d.saved, d.now, in.decimalSeparator)});
            }
            report.push_back(std::move(table));
        }
    }

    report.push_back(Block(Kind::Heading, "Токи и индикация в момент отчёта"));
    ReportBlock currents = Table({1, 1, 1, 1, 1}, {"Ia, А", "Ib, А", "Ic, А", "3Io, А", "Iкз, А"});
    std::vector<std::string> values;
    for (const int reg : relay::kKeptCurrents)
        values.push_back(FormatMeasuredCurrent(in.registers[static_cast<std::size_t>(reg)], in.decimalSeparator));
    currents.rows.push_back(std::move(values));
    report.push_back(std::move(currents));
    ReportBlock indicators = Table({3, 1}, {"Светодиод, вход", "Состояние"});
    for (const Indicator& ind : kIndicators) {
        const bool lit = ind.Lit(in.registers[relay::kInputs], in.registers[relay::kLeds]);
        indicators.rows.push_back({ind.caption, ind.IsLed() ? (lit ? "горит" : "не горит") : (lit ? "есть" : "нет")});
    }
    report.push_back(std::move(indicators));
    return report;
}
