// On a Russian Windows (Wine with LC_ALL=ru_RU.UTF-8) the system's words as UTF-8.

#include "TCOMPort.h"
#include "TcpSocket.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>

namespace {

// ANSI bytes are no UTF-8, and text put through the ANSI page has lost its Cyrillic.
bool IsRussianUtf8(const std::string& text)
{
    wchar_t wide[512] = {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                      wide, 511);
    return std::any_of(wide, wide + std::max(n, 0), [](wchar_t c) { return c >= 0x0400 && c <= 0x04FF; });
}

TEST(RussianWindows, TheSystemsWordsAreUtf8)
{
    TCOMPort port("\\\\.\\COM200");
    ASSERT_FALSE(port.Open());
    EXPECT_TRUE(IsRussianUtf8(port.Problem().system)) << port.Problem().system;
    TcpSocket socket;
    const std::atomic<bool> never{false};
    ASSERT_FALSE(socket.Connect("127.0.0.1", 1, 5000, never)) << "nothing listens on port 1";
    EXPECT_TRUE(IsRussianUtf8(socket.Failure().system)) << socket.Failure().system;
}

} // namespace
