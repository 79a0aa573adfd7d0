#include "RelayLine.h"

#include "support/FakeRelay.h"

namespace contract {
namespace {

class PtyLine : public RelayLine {
public:
    std::string Problem() const override { return {}; }
    std::string DevicePath() const override { return pty_.DevicePath(); }
    std::string PortName() const override { return pty_.DevicePath(); }
    testing_support::ScriptedRelay& Relay() override { return relay_; }
    int Overlaps() const override { return relay_.Overlaps(); }

    int RawWaitMs() const override { return 200; }

private:
    testing_support::PtyPair pty_;
    testing_support::FakeRelay relay_{pty_};
};

} // namespace

std::unique_ptr<RelayLine> MakeRelayLine()
{
    return std::make_unique<PtyLine>();
}

} // namespace contract
