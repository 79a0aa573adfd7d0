#include "Simulator.h"

#include "LocalTime.h"

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

Simulator::Simulator(const Options& options, RelayModel& model, Line& line,
                     ModbusSlave& slave, int stopFd, std::FILE* out)
    : options_(options), model_(model), line_(line), slave_(slave), stopFd_(stopFd), out_(out),
      faults_(options.faults)
{
}

void Simulator::Say(const std::string& text)
{
    const LocalTime now = LocalNow();
    std::fprintf(out_, "%02d:%02d:%02d.%03d %s\n", now.hour, now.minute, now.second, now.millisecond, text.c_str());
    std::fflush(out_);
}

void Simulator::ReportEvents()
{
    for (const auto& e : model_.TakeEvents()) {
        if (e.kind == RelayEvent::Kind::FaultStarted)
            Say("fault: phase A at " + Amps(options_.faultCentiamps));
        else
            Say("trip: " + StageNames(e.leds) + ", " + Amps(e.current)
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
void Simulator::ApplyWrites(TimePoint now)
{
    for (uint16_t coil = 1; coil < ModbusSlave::kCoilCount; ++coil) {
        const bool on = slave_.Coil(coil);
        if (on == outputs_[coil])
            continue;
        outputs_[coil] = on;
        model_.SetOutput(coil, on, now);
        Say("RL" + std::to_string(coil) + (on ? " on" : " off"));
    }
    if (slave_.Coil(0)) {
        slave_.SetCoil(0, false);
        model_.Acknowledge(now);
        Say("acknowledged");
    }
    for (uint16_t r = reg::kFirstSetpoint; r <= reg::kLastSetpoint; ++r) {
        const uint16_t value = slave_.Register(r);
        if (value == served_[r])
            continue;
        model_.SetSetpoint(r, value, now);
        Say("register " + std::to_string(r) + " set to " + std::to_string(value));
    }
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

    model_.Advance(received);
    served_ = model_.Read();
    slave_.LoadRegisters(served_);
    const bool broadcast = request->front() == 0;
    const FaultDecision fault = broadcast ? FaultDecision{} : faults_.Next();
    const auto reply = fault.exception
                           ? slave_.ReplyException(*request, options_.faults.exceptionCode)
                           : slave_.Reply(*request);
    if (!fault.exception)
        ApplyWrites(received);
    ReportEvents();

    const auto wire = ShapeReply(reply, fault);
    if (wire.empty()) {
        if (options_.verbose && !reply.empty())
            Say("reply dropped");
        return Next::Go;
    }
    auto due = received + ReplyDelay(heard, wire.size(), options_.speed);
    if (fault.late)
        due += std::chrono::milliseconds(options_.faults.lateMs);
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
        switch (keys[i]) {
        case 'f':
            if (model_.FaultPresent())
                Say("fault already present");
            else
                model_.ScheduleFault(now, now);
            break;
        case 'c':
            model_.ClearFault(now);
            Say("fault cleared");
            break;
        case 'a':
            model_.Acknowledge(now);
            Say("acknowledged");
            break;
        case 'q':
            return false;
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            break;
        default:
            Say("keys: f fault, c clear fault, a acknowledge, q quit (each with Enter)");
            break;
        }
    }
    ReportEvents();
    return true;
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
        const auto event = model_.NextEvent();
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
        model_.Advance(Clock::now());
        ReportEvents();
    }
}

} // namespace relaysim
