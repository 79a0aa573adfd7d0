#include "PtyPair.h"

#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace testing_support {

PtyPair::PtyPair()
{
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    char name[256] = {};
    if (openpty(&peer_, &device_, name, &raw, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    path_ = name;
}

PtyPair::~PtyPair()
{
    HangUp();
    if (device_ >= 0)
        ::close(device_);
}

termios PtyPair::Settings() const
{
    termios t{};
    tcgetattr(device_, &t);
    return t;
}

void PtyPair::HangUp()
{
    if (peer_ >= 0)
        ::close(peer_);
    peer_ = -1;
}

} // namespace testing_support
