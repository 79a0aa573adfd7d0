#pragma once

#include "Faults.h"
#include "ModbusSlave.h"
#include "Options.h"
#include "RelayModel.h"
#include "Line.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace relaysim {

// The event loop: requests from the line (and clients knocking on a TCP
// line), keys from the terminal, the relay's own timers, and a stop request,
// all through one poll().
class Simulator {
public:
    // models: one per relay of options.units, in that order, as the slave's
    // tables are. stopFd becomes readable when the simulator should end (a
    // signalfd).
    Simulator(const Options& options, std::vector<RelayModel>& models, Line& line,
              ModbusSlave& slave, int stopFd, std::FILE* out);

    // Returns once stopped: by stopFd, by the q key, or on a dead line (false).
    bool Run();

private:
    enum class Next { Go, Stop, Fail };

    struct Unit {
        const UnitOptions& options;
        RelayModel& model;
        std::size_t index;  // in the slave's tables
        FaultPicker faults;
        Registers served{};
        bool outputs[ModbusSlave::kCoilCount] = {};
    };

    Next ServeRequest();   // Stop: the stop came while the reply was held back
    Next FarEndGone();     // Fail: the line cannot go on
    void TakeClient();
    bool HandleKeys();    // false: quit
    void HandleKey(Unit& unit, char key, TimePoint now);
    std::vector<uint8_t> Answer(Unit& unit, const std::vector<uint8_t>& request,
                                TimePoint received, const FaultDecision& fault);
    void ApplyWrites(Unit& unit, TimePoint now);
    bool WaitUntil(TimePoint due);
    void ReportEvents(Unit& unit);
    Unit* UnitAt(uint8_t address);
    void Say(const std::string& text);
    void Say(const Unit& unit, const std::string& text);

    const Options& options_;
    std::vector<Unit> units_;
    Line& line_;
    ModbusSlave& slave_;
    int stopFd_;
    std::FILE* out_;
    int keysFd_ = 0;  // stdin; -1 once it has ended
    std::string keyAddress_;  // digits typed before a key
    // After the s key, up to Enter: "REG=VALUE" for this relay, as set at
    // its front panel.
    struct Setting {
        uint8_t address;
        std::string text;
    };
    std::optional<Setting> setting_;
    void ApplySetting(TimePoint now);
};

} // namespace relaysim
