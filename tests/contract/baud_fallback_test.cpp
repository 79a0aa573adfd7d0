// The rate file that Unix systems other than Linux build with
// (link/serial/TCOMPort_posix_baud.cpp), built and run here too so that it cannot
// rot unseen: what TCOMPort_baud.h promises, on a pseudo-terminal.

#include "TCOMPort_baud.h"
#include "support/PtyPair.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using testing_support::PtyPair;

// The port's own descriptor of the line, as TCOMPort holds it.
class BaudFallbackTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(fd_, 0); }
    void TearDown() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    PtyPair pty_;
    int fd_ = ::open(pty_.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
};

TEST_F(BaudFallbackTest, StandardRatesAreSetExactly)
{
    const struct {
        uint32_t rate;
        speed_t code;
    } rows[] = {
        {50, B50}, {1200, B1200}, {9600, B9600}, {19200, B19200},
        {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(port_baud::SetRate(fd_, row.rate)) << row.rate;
        termios t = pty_.Settings();
        EXPECT_EQ(cfgetospeed(&t), row.code) << row.rate;
        EXPECT_EQ(cfgetispeed(&t), row.code) << row.rate;
    }
}

TEST_F(BaudFallbackTest, RatesWithoutAPosixConstantAreRefusedAndTheLineIsLeftAlone)
{
    ASSERT_TRUE(port_baud::SetRate(fd_, 19200));
    const termios before = pty_.Settings();
    // 460800 has a constant on Linux, not in POSIX.
    for (const uint32_t rate : {250000u, 460800u, 12345u, 0u}) {
        EXPECT_FALSE(port_baud::SetRate(fd_, rate)) << rate;
        const termios after = pty_.Settings();
        EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0) << rate;
    }
}

TEST_F(BaudFallbackTest, ADescriptorThatIsNoLineIsRefused)
{
    EXPECT_FALSE(port_baud::SetRate(-1, 9600));
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null, 0);
    EXPECT_FALSE(port_baud::SetRate(null, 9600));
    ::close(null);
}

} // namespace
