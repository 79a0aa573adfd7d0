#pragma once

#include "Faults.h"
#include "ModbusSlave.h"
#include "Options.h"
#include "RelayModel.h"
#include "VirtualLine.h"

#include <cstdio>
#include <string>

namespace relaysim {

// The event loop: requests from the line, keys from the terminal, the relay's
// own timers, and a stop request, all through one poll().
class Simulator {
public:
    // stopFd becomes readable when the simulator should end (a signalfd).
    Simulator(const Options& options, RelayModel& model, VirtualLine& line, ModbusSlave& slave,
              int stopFd, std::FILE* out);

    // Returns once stopped: by stopFd, by the q key, or on a dead line (false).
    bool Run();

private:
    bool ServeRequest();  // false: stop came while the reply was held back
    bool HandleKeys();    // false: quit
    void ApplyWrites(TimePoint now);
    bool WaitUntil(TimePoint due);
    void ReportEvents();
    void Say(const std::string& text);

    const Options& options_;
    RelayModel& model_;
    VirtualLine& line_;
    ModbusSlave& slave_;
    int stopFd_;
    std::FILE* out_;
    FaultPicker faults_;
    int keysFd_ = 0;  // stdin; -1 once it has ended
    Registers served_{};
    bool outputs_[ModbusSlave::kCoilCount] = {};
};

} // namespace relaysim
