#pragma once

// The commissioning report's content, page layout aside: the relay, blanks
// to fill in by hand, the setpoints, the differences from a snapshot, and
// the currents and indicators of the moment. Plain C++; the window draws it.

#include "RelayRegisters.h"
#include "SetpointSnapshot.h"

#include <array>
#include <string>
#include <vector>

struct ReportBlock {
    enum class Kind {
        Title,
        Heading,
        Text,
        Blank,  // a caption with a line to write on
        Table,
    };
    Kind kind = Kind::Text;
    std::string text;
    // Table: a header row first; the columns' shares of the width.
    std::vector<std::vector<std::string>> rows;
    std::vector<int> widths;
};

struct ReportInput {
    SetpointSnapshot now;  // the relay now: its setpoints, address, line, time
    std::array<uint16_t, relay::kRegisterCount> registers{};
    // The snapshot compared with, and its file's name; none when none. One
    // whose "Адрес" is another relay's is named, its differences left out.
    const SetpointSnapshot* compared = nullptr;
    std::string comparedFile;
    std::string decimalSeparator = ",";
};

std::vector<ReportBlock> BuildSetpointReport(const ReportInput& input);
