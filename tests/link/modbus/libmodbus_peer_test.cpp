// Our master against a slave we did not write: libmodbus on the far end of
// a pseudo-terminal.

#include "ExchangeLog.h"
#include "TCOMPort.h"
#include "TModBusDevice.h"
#include "support/Bytes.h"
#include "support/LibmodbusSlave.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;

class LibmodbusPeerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(port_.Open());
        port_.Apply(LineSettings{});
        master_.SetPort(&port_);
        master_.SetAddress(1);
        master_.SetLog(&log_);
    }

    std::string LastBody() const { return Body(log_.Line(log_.Count() - 1)); }

    PtyPair pty_;
    LibmodbusSlave slave_{pty_};
    TCOMPort port_{pty_.DevicePath()};
    ExchangeLog log_;
    TModBusDevice master_;
};

TEST_F(LibmodbusPeerTest, ReadsThePeersRegisters)
{
    std::vector<uint16_t> values(46);
    for (uint16_t i = 0; i < 46; ++i)
        values[i] = static_cast<uint16_t>(0x8000 + 1021 * i);  // high bits too
    slave_.SetRegisters(values);
    std::vector<uint16_t> dest(46);
    ASSERT_TRUE(master_.ReadHoldingRegisters(dest.data(), 0, 46)) << LastBody();
    EXPECT_EQ(dest, values);
    EXPECT_EQ(log_.Count(), 2u);
    EXPECT_EQ(LastBody().rfind("Ответ: 01 03 5C ", 0), 0u) << LastBody();
}

TEST_F(LibmodbusPeerTest, CoilWritesChangeThePeersCoils)
{
    master_.WriteCoil(3, true);
    EXPECT_EQ(LastBody(), "Ответ: 01 05 00 03 FF 00 7C 3A ");
    EXPECT_TRUE(slave_.Coil(3));
    master_.WriteCoil(3, false);
    EXPECT_EQ(LastBody(), "Ответ: 01 05 00 03 00 00 3D CA ");
    EXPECT_FALSE(slave_.Coil(3));
}

TEST_F(LibmodbusPeerTest, RawRequestsGetAcceptedReplies)
{
    slave_.SetRegisters({0x1234, 0xABCD});
    master_.SendRaw(ParseHex("01 03 00 00 00 02"), true, 300);
    EXPECT_EQ(LastBody(), "Ответ: " + HexText(WithCrc(ParseHex("01 03 04 12 34 AB CD"))));
    // An address out of its map gets libmodbus's exception reply, which the
    // raw exchange accepts for its good CRC.
    master_.SendRaw(ParseHex("01 03 00 64 00 01"), true, 300);
    EXPECT_EQ(LastBody().rfind("Ответ: 01 83 02 ", 0), 0u) << LastBody();
}

TEST_F(LibmodbusPeerTest, AnotherSlaveAddressGetsNoReply)
{
    master_.SetAddress(2);
    uint16_t dest[46] = {};
    EXPECT_FALSE(master_.ReadHoldingRegisters(dest, 0, 46));
    EXPECT_EQ(LastBody(), "Таймаут ответа!");
    EXPECT_EQ(slave_.Served(), 0);
}

} // namespace
