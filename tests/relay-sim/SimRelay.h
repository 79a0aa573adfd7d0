#pragma once

// The relay simulator for the window tests, on a port the program takes as
// PORT. On Linux a child process on a pseudo-terminal (SimRelay_posix.cpp).
// Under Wine, where a Windows program cannot start the Linux simulator, one
// that scripts/test-windows' sim-launcher starts on request
// (SimRelay_wine.cpp): on a COM port of the Wine prefix, or on a TCP port of
// the loopback when ZARIT_SIM_OVER=tcp.

#include <memory>
#include <string>
#include <vector>

class SimRelay {
public:
    // Starts it with these relay-sim options. port: the Port() of a stopped
    // one, for a fresh relay in its place.
    explicit SimRelay(std::vector<std::string> options, std::string port = {});
    ~SimRelay();
    SimRelay(const SimRelay&) = delete;
    SimRelay& operator=(const SimRelay&) = delete;

    // True once the program can open Port(), within a few seconds.
    bool WaitForPort();
    const std::string& Port() const;
    // Ends it, as SIGTERM does.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> p_;
};
