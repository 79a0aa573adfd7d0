#pragma once

#include "SimProcess.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

// Debian's mosquitto on a free port of 127.0.0.1, keeping its sessions in a
// folder of its own so that a restart finds them again.
class MosquittoBroker {
public:
    // more: lines of its configuration after the listener's.
    explicit MosquittoBroker(const std::string& folder, const std::string& more = "allow_anonymous true\n") : folder_(folder)
    {
        port_ = FreeLoopbackPort();
        // Run as root it would become the user "mosquitto", who cannot read our folders.
        std::ofstream(folder_ + "/mosquitto.conf") << "user root\nlistener " << port_ << " 127.0.0.1\n" << more
                                                   << "persistence true\npersistence_location " << folder_
                                                   << "/\nautosave_interval 1\n";
    }
    // False, with its output in Output(), when it does not start.
    bool Start()
    {
        process_ = std::make_unique<SimProcess>(
            SimProcess::Program{"/usr/sbin/mosquitto", {"-c", folder_ + "/mosquitto.conf"}});
        return process_->WaitForOutput(" running", std::chrono::seconds(10));
    }
    std::string Output() const { return process_ ? process_->Output() : std::string(); }
    bool WaitForOutput(const std::string& text) const
    {
        return process_->WaitForOutput(text, std::chrono::seconds(15));
    }
    void Stop() { process_->Stop(SIGTERM, std::chrono::seconds(10)); }
    std::string Port() const { return std::to_string(port_); }

private:
    std::string folder_;
    uint16_t port_ = 0;
    std::unique_ptr<SimProcess> process_;
};

