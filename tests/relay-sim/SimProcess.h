#pragma once

// The relay simulator as a child process, on a link path of its own or on a
// TCP port of the loopback, for the tests that run a master against it.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

class SimProcess {
public:
    struct Exit {
        bool exited = false;  // false: had to be killed, or died by a signal
        int status = -1;
        int signal = 0;  // the one it died of (SIGKILL when it had to be killed)
        rusage usage{};
    };

    // Starts relay-sim with these options and a --link: linkPath, or a path
    // in a fresh directory. With keys, its stdin is a pipe fed by SendKeys;
    // otherwise /dev/null.
    explicit SimProcess(std::vector<std::string> options, bool keys = false,
                        std::string linkPath = {});

    // Starts relay-sim with these options and --tcp HOST:PORT instead of a link.
    struct OverTcp {
        std::string host = "127.0.0.1";  // as --tcp takes it: [::1] in brackets
        uint16_t port = 0;               // 0: a free one
    };
    SimProcess(OverTcp tcp, std::vector<std::string> options);

    // Another program of ours, watched the same way: its output, its stop.
    struct Program {
        std::string path;
        std::vector<std::string> arguments;
    };
    explicit SimProcess(const Program& program);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& Link() const { return link_; }  // empty over TCP
    const std::string& Directory() const { return dir_; }
    std::chrono::steady_clock::time_point Started() const { return started_; }

    // True once the link points at a device, within the bound.
    bool WaitForLink(std::chrono::milliseconds bound = std::chrono::seconds(5)) const;
    // What it printed after PORT= for a TCP port (tcp://127.0.0.1:N), once
    // printed within the bound; empty otherwise.
    std::string WaitForAddress(std::chrono::milliseconds bound = std::chrono::seconds(5)) const;
    // True once its output holds the text, within the bound.
    bool WaitForOutput(std::string_view text,
                       std::chrono::milliseconds bound = std::chrono::seconds(5)) const;
    void SendKeys(const std::string& keys);
    void SendSignal(int signal);
    pid_t Pid() const { return pid_; }
    // Sends the signal and reaps the child, killing it after the bound.
    Exit Stop(int signal, std::chrono::milliseconds bound = std::chrono::seconds(5));
    // Waits for an exit of its own, killing it after the bound.
    Exit Wait(std::chrono::milliseconds bound = std::chrono::seconds(5));
    std::string Output() const;  // stdout and stderr so far

    // Runs relay-sim to completion (no link option added) and returns its
    // exit code and output; for options that end it at once.
    static std::pair<int, std::string> RunToEnd(const std::vector<std::string>& options);

private:
    void Launch(const std::vector<std::string>& options, bool keys, const std::string& program);

    std::string dir_;
    std::string link_;
    pid_t pid_ = -1;
    int keysFd_ = -1;
    std::chrono::steady_clock::time_point started_;
};

// A TCP port of 127.0.0.1 free a moment ago, for a server of a test's own.
uint16_t FreeLoopbackPort();
