#pragma once

#include <string>
#include <termios.h>

namespace testing_support {

// A pseudo-terminal: the test plays the far end of the line on PeerFd(), the
// code under test opens DevicePath() like a serial device. The pair keeps its
// own descriptor of the device side, so the far end never sees EIO just
// because the port under test closed.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int PeerFd() const { return peer_; }
    const std::string& DevicePath() const { return path_; }
    // Closing the far end is what an unplugged adapter looks like.
    void HangUp();
    // The line settings as the device side has them now.
    termios Settings() const;

private:
    int peer_ = -1;
    int device_ = -1;
    std::string path_;
};

} // namespace testing_support
