#include "SimRelay.h"

#include "SimProcess.h"

#include <csignal>

struct SimRelay::Impl {
    SimProcess process;
};

SimRelay::SimRelay(std::vector<std::string> options, std::string port)
    : p_(new Impl{SimProcess(std::move(options), false, std::move(port))})
{
}

SimRelay::~SimRelay() = default;

bool SimRelay::WaitForPort()
{
    return p_->process.WaitForLink();
}

const std::string& SimRelay::Port() const
{
    return p_->process.Link();
}

void SimRelay::Stop()
{
    p_->process.Stop(SIGTERM);
}
