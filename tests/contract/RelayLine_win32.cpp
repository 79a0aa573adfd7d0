#include "RelayLine.h"

#include "win32/LinePeer.h"

#include "TCOMPort.h"

namespace contract {
namespace {

class WineLine : public RelayLine {
public:
    std::string Problem() const override
    {
        return peer_.IsOpen() ? std::string() : win32_support::kPeerName + " is not linked into the Wine prefix";
    }
    std::string DevicePath() const override { return TCOMPort::DevicePath(win32_support::kPortName); }
    std::string PortName() const override { return win32_support::kPortName; }
    testing_support::ScriptedRelay& Relay() override { return relay_; }
    // This relay frames a request by the silence after it, so two requests
    // close together arrive as one: anything but one whole read or write.
    int Overlaps() const override
    {
        int merged = 0;
        for (const auto& r : relay_.Requests())
            merged += r.size() > 8 && (r[1] == 0x03 || r[1] == 0x05);
        return merged;
    }

    int RawWaitMs() const override { return 300; }

private:
    win32_support::LinePeer peer_;
    win32_support::Relay relay_{peer_};
};

} // namespace

std::unique_ptr<RelayLine> MakeRelayLine()
{
    return std::make_unique<WineLine>();
}

} // namespace contract
