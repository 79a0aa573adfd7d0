#include "Simulator.h"

#include "LocalTime.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <utility>
#include <poll.h>
#include <unistd.h>

namespace relaysim {
namespace {

int MsUntil(TimePoint due, TimePoint now)
{
    if (due <= now)
        return 0;
    // Rounded up, so a wake-up never comes before the deadline and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

std::string Amps(uint16_t centiamps)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.2f A", centiamps / 100.0);
    return text;
}

std::string StageNames(uint16_t leds)
{
    static constexpr std::pair<uint16_t, const char*> kNames[] = {
        {led::kMtz, "МТЗ (LED 2)"},
        {led::kTo1, "ТО1 (LED 3)"},
        {led::kTo2, "ТО2 (LED 4)"},
        {led::kZnz, "ЗНЗ (LED 5)"},
    };
    std::string names;
    for (const auto& [bit, name] : kNames) {
        if (!(leds & bit))
            continue;
        if (!names.empty())
            names += ", ";
        names += name;
    }
    return names;
}

std::string HexBytes(const std::vector<uint8_t>& bytes)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        if (!text.empty())
            text += ' ';
        text += kHex[b >> 4];
        text += kHex[b & 0x0F];
    }
    return text;
}

} // namespace

Simulator::Simulator(const Options& options, std::vector<RelayModel>& models, Line& line,
                     ModbusSlave& slave, int stopFd, std::FILE* out)
    : options_(options), line_(line), slave_(slave), stopFd_(stopFd), out_(out)
{
    units_.reserve(options.units.size());
    for (std::size_t i = 0; i < options.units.size(); ++i)
        units_.push_back({options.units[i], models.at(i), i, FaultPicker(options.units[i].faults)});
}

void Simulator::Say(const std::string& text)
{
    const LocalTime now = LocalNow();
    std::fprintf(out_, "%02d:%02d:%02d.%03d %s\n", now.hour, now.minute, now.second, now.millisecond, text.c_str());
    std::fflush(out_);
}

// Without --units the one relay's lines stay as they always were.
void Simulator::Say(const Unit& unit, const std::string& text)
{
    if (options_.unitAddresses.empty())
        Say(text);
    else
        Say("address " + std::to_string(unit.options.address) + ": " + text);
}

Simulator::Unit* Simulator::UnitAt(uint8_t address)
{
    for (Unit& unit : units_)
        if (unit.options.address == address)
            return &unit;
    return nullptr;
}

void Simulator::ReportEvents(Unit& unit)
{
    for (const auto& e : unit.model.TakeEvents()) {
        if (e.kind == RelayEvent::Kind::FaultStarted)
            Say(unit, "fault: phase A at " + Amps(options_.faultCentiamps));
        else
            Say(unit, "trip: " + StageNames(e.leds) + ", " + Amps(e.current)
                          + " in register 45; breaker open until acknowledged");
    }
}

bool Simulator::WaitUntil(TimePoint due)
{
    for (;;) {
        const auto now = Clock::now();
        if (now >= due)
            return true;
        pollfd pfd{stopFd_, POLLIN, 0};
        if (::poll(&pfd, 1, MsUntil(due, now)) > 0)
            return false;
    }
}

// The master's writes land in libmodbus's tables; the relay takes them from
// there. Coil 0 acts as a push button and springs back at once.
void Simulator::ApplyWrites(Unit& unit, TimePoint now)
{
    for (uint16_t coil = 1; coil < ModbusSlave::kCoilCount; ++coil) {
        const bool on = slave_.Coil(unit.index, coil);
        if (on == unit.outputs[coil])
            continue;
        unit.outputs[coil] = on;
        unit.model.SetOutput(coil, on, now);
        Say(unit, "RL" + std::to_string(coil) + (on ? " on" : " off"));
    }
    if (slave_.Coil(unit.index, 0)) {
        slave_.SetCoil(unit.index, 0, false);
        unit.model.Acknowledge(now);
        Say(unit, "acknowledged");
    }
    for (uint16_t r = reg::kFirstSetpoint; r <= reg::kLastSetpoint; ++r) {
        const uint16_t value = slave_.Register(unit.index, r);
        if (value == unit.served[r])
            continue;
        unit.model.SetSetpoint(r, value, now);
        Say(unit, "register " + std::to_string(r) + " set to " + std::to_string(value));
    }
}

// The relay serves the request from its model as it stands when the request
// arrived, and takes in what it wrote.
std::vector<uint8_t> Simulator::Answer(Unit& unit, const std::vector<uint8_t>& request,
                                       TimePoint received, const FaultDecision& fault)
{
    unit.model.Advance(received);
    unit.served = unit.model.Read();
    slave_.LoadRegisters(unit.index, unit.served);
    const auto reply = fault.exception
                           ? slave_.ReplyException(request, unit.options.faults.exceptionCode)
                           : slave_.Reply(unit.index, request);
    if (!fault.exception)
        ApplyWrites(unit, received);
    ReportEvents(unit);
    return reply;
}

Simulator::Next Simulator::ServeRequest()
{
    const auto request = slave_.Receive();
    const TimePoint received = Clock::now();
    if (!request) {
        // The rest of a broken frame; or the end of a TCP client's stream,
        // which libmodbus reports as a failed read like any other.
        return line_.Drain() ? Next::Go : FarEndGone();
    }
    if (options_.verbose)
        Say("request: " + HexBytes(*request));
    // The echo is the adapter's, not the relay's: it comes whatever the
    // relay does, once the request has been on the wire, and takes the
    // line for as long again before the reply can start.
    const std::size_t heard = options_.echo ? 2 * request->size() : request->size();
    if (options_.echo) {
        if (!WaitUntil(received + WireTime(static_cast<double>(heard), options_.speed)))
            return Next::Stop;
        line_.Write(*request);
    }

    Unit* unit = UnitAt(request->front());
    if (!unit) {
        // A broadcast: obeyed by every relay, answered by none.
        for (Unit& each : units_)
            Answer(each, *request, received, {});
        return Next::Go;
    }
    const FaultDecision fault = unit->faults.Next();
    const auto reply = Answer(*unit, *request, received, fault);

    const auto wire = ShapeReply(reply, fault);
    if (wire.empty()) {
        if (options_.verbose && !reply.empty())
            Say("reply dropped");
        return Next::Go;
    }
    auto due = received + ReplyDelay(heard, wire.size(), options_.speed);
    if (fault.late)
        due += std::chrono::milliseconds(unit->options.faults.lateMs);
    if (!WaitUntil(due))
        return Next::Stop;
    line_.Write(wire);
    if (options_.verbose)
        Say("reply: " + HexBytes(wire));
    return Next::Go;
}

Simulator::Next Simulator::FarEndGone()
{
    const auto said = line_.Release();
    if (!said) {
        Say("the line has gone");
        return Next::Fail;
    }
    Say(*said);
    return Next::Go;
}

void Simulator::TakeClient()
{
    const int before = line_.Fd();
    const std::string said = line_.Accept();
    if (!said.empty())
        Say(said);
    if (line_.Fd() != before)
        slave_.Attach(line_.Fd());
}

bool Simulator::HandleKeys()
{
    char keys[256];
    const ssize_t n = ::read(keysFd_, keys, sizeof keys);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0) {
        // End of input, or EIO from a terminal we are in the background of:
        // stop listening, keep serving.
        keysFd_ = -1;
        return true;
    }
    const TimePoint now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) {
        const char key = keys[i];
        if (setting_) {
            if (key == '\r' || key == '\n')
                ApplySetting(now);
            else if (setting_->text.size() < 16)
                setting_->text += key;
            continue;
        }
        if (key == 'q')
            return false;
        if (key >= '0' && key <= '9') {
            if (keyAddress_.size() < 3)
                keyAddress_ += key;
            continue;
        }
        if (key == ' ' || key == '\t' || key == '\r' || key == '\n') {
            keyAddress_.clear();
            continue;
        }
        Unit* unit = keyAddress_.empty() ? &units_.front() : UnitAt(static_cast<uint8_t>(
                                               std::min(std::stoi(keyAddress_), 255)));
        if (!unit)
            Say("no relay at address " + keyAddress_);
        else if (key == 's')
            setting_ = Setting{unit->options.address, {}};
        else
            HandleKey(*unit, key, now);
        keyAddress_.clear();
    }
    for (Unit& unit : units_)
        ReportEvents(unit);
    return true;
}

void Simulator::ApplySetting(TimePoint now)
{
    const Setting setting = *setting_;
    setting_.reset();
    Unit* unit = UnitAt(setting.address);
    const auto assignment = ParseSetpointAssignment(setting.text);
    if (!assignment) {
        Say("s takes REG=VALUE, REG 6..42, VALUE 0..65535, not \"" + setting.text + "\"");
        return;
    }
    unit->model.SetSetpoint(assignment->first, assignment->second, now);
    Say(*unit, "setpoint " + std::to_string(assignment->first) + " = " + std::to_string(assignment->second));
}

void Simulator::HandleKey(Unit& unit, char key, TimePoint now)
{
    switch (key) {
    case 'f':
        if (unit.model.FaultPresent())
            Say(unit, "fault already present");
        else
            unit.model.ScheduleFault(now, now);
        break;
    case 'c':
        unit.model.ClearFault(now);
        Say(unit, "fault cleared");
        break;
    case 'a':
        unit.model.Acknowledge(now);
        Say(unit, "acknowledged");
        break;
    default:
        Say(options_.unitAddresses.empty()
                ? "keys: f fault, c clear fault, a acknowledge, sREG=VALUE setpoint, q quit (each with Enter)"
                : "keys: [ADDRESS]f fault, [ADDRESS]c clear fault, [ADDRESS]a acknowledge,"
                  " [ADDRESS]sREG=VALUE setpoint, q quit (each with Enter)");
        break;
    }
}

bool Simulator::Run()
{
    for (;;) {
        // A negative fd (no TCP client, no listener, stdin ended) is
        // skipped by poll.
        pollfd fds[4] = {
            {stopFd_, POLLIN, 0},
            {line_.Fd(), POLLIN, 0},
            {keysFd_, POLLIN, 0},
            {line_.ListenFd(), POLLIN, 0},
        };
        std::optional<TimePoint> event;
        for (const Unit& unit : units_) {
            const auto next = unit.model.NextEvent();
            if (next && (!event || *next < *event))
                event = next;
        }
        const int timeout = event ? MsUntil(*event, Clock::now()) : -1;
        if (::poll(fds, 4, timeout) < 0 && errno != EINTR) {
            Say(std::string("poll failed: ") + std::strerror(errno));
            return false;
        }
        if (fds[0].revents)
            return true;
        // A knocking client is taken only once the current one is quiet: one
        // that has just left is let go first, so the next is not refused.
        Next next = Next::Go;
        if (fds[1].revents & POLLIN)
            next = ServeRequest();
        else if (fds[1].revents)
            next = FarEndGone();
        else if (fds[3].revents)
            TakeClient();
        if (next != Next::Go)
            return next == Next::Stop;
        if (fds[2].revents && !HandleKeys())
            return true;
        const TimePoint now = Clock::now();
        for (Unit& unit : units_) {
            unit.model.Advance(now);
            ReportEvents(unit);
        }
    }
}

} // namespace relaysim
