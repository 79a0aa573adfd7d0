#pragma once

#include "Faults.h"
#include "ModbusSlave.h"
#include "Options.h"
#include "RelayModel.h"
#include "Line.h"

#include <cstdio>
#include <string>

namespace relaysim {

// The event loop: requests from the line (and clients knocking on a TCP
// line), keys from the terminal, the relay's own timers, and a stop request,
// all through one poll().
class Simulator {
public:
    // stopFd becomes readable when the simulator should end (a signalfd).
    Simulator(const Options& options, RelayModel& model, Line& line, ModbusSlave& slave,
              int stopFd, std::FILE* out);

    // Returns once stopped: by stopFd, by the q key, or on a dead line (false).
    bool Run();

private:
    enum class Next { Go, Stop, Fail };

    Next ServeRequest();   // Stop: the stop came while the reply was held back
    Next FarEndGone();     // Fail: the line cannot go on
    void TakeClient();
    bool HandleKeys();    // false: quit
    void ApplyWrites(TimePoint now);
    bool WaitUntil(TimePoint due);
    void ReportEvents();
    void Say(const std::string& text);

    const Options& options_;
    RelayModel& model_;
    Line& line_;
    ModbusSlave& slave_;
    int stopFd_;
    std::FILE* out_;
    FaultPicker faults_;
    int keysFd_ = 0;  // stdin; -1 once it has ended
    Registers served_{};
    bool outputs_[ModbusSlave::kCoilCount] = {};
};

} // namespace relaysim
