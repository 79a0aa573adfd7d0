// Win32 backend of TCOMPort: one overlapped handle, the driver's COMMTIMEOUTS
// ending reads, and every wait a WaitForSingleObject on one manual-reset event.

#include "TCOMPort_win32_p.h"

#include "SystemText_win32.h"

#include <climits>
#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kWriteLimitMs = 5000;
constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr std::size_t kDevicePrefixLength = sizeof kDevicePrefix - 1;
constexpr DWORD kNameLength = 255;
constexpr DWORD kValueNameLength = 16383;  // the registry's own limit

// How a failed ReadFile, WriteFile or GetOverlappedResult ends the operation.
enum class Failure {
    PortTimeout,  // the driver's own timeout: the transfer is simply over
    LineGone,     // the device is unusable from now on
};

Failure Classify(DWORD error)
{
    // Windows ends a read on its total timeout with success and the bytes so
    // far; Wine reports ERROR_TIMEOUT instead when no byte came.
    if (error == ERROR_TIMEOUT)
        return Failure::PortTimeout;
    // Anything else is an adapter pulled out (ERROR_ACCESS_DENIED,
    // ERROR_BAD_COMMAND, ERROR_DEVICE_REMOVED, ERROR_GEN_FAILURE), a line hung
    // up (ERROR_BROKEN_PIPE, ERROR_NOT_READY under Wine) or an abort we did
    // not ask for (ERROR_OPERATION_ABORTED: our own cancels never get here).
    // Each would fail again at once, so retrying would only spin.
    return Failure::LineGone;
}

bool SameLine(const DCB& a, const DCB& b)
{
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity
        && a.StopBits == b.StopBits;
}

HANDLE OpenDevice(const std::string& path)
{
    return ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
}

// The reason in GetLastError() after `step` failed.
PortProblem SystemProblem(const char* step)
{
    const DWORD error = ::GetLastError();
    PortProblem p{PortProblem::Kind::Other, step, static_cast<int>(error), SystemText(error), {}};
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        p.kind = PortProblem::Kind::NotFound;
        break;
    // A serial driver admits one opener: a port held by another program
    // refuses access.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        p.kind = PortProblem::Kind::InUse;
        break;
    default:
        break;
    }
    return p;
}

} // namespace

bool TCOMPort::Platform::Open(const std::string& devicePath, PortProblem& why)
{
    // Share mode 0 is all Windows needs: a serial driver admits one opener.
    handle = OpenDevice(devicePath);
    if (handle == INVALID_HANDLE_VALUE) {
        why = SystemProblem("open");
        return false;
    }
    done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!done) {
        why = SystemProblem("open");
        Release();
        return false;
    }

    // Raw 8-bit line without flow control, as the POSIX side opens it; the
    // rate and stop bits stay as the driver has them. A line error must not
    // abort every later read until someone clears it.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb)) {  // fails on what is not a port
        why = SystemProblem("line settings");
        why.kind = PortProblem::Kind::NotSerial;
        Release();
        return false;
    }
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.Parity = NOPARITY;
    dcb.ByteSize = 8;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    // No timeout at all until the setters ask for one: only the caller's
    // wait ends a read, whatever the previous user of the port left.
    COMMTIMEOUTS none{};
    if (!::SetCommState(handle, &dcb) || !::SetCommTimeouts(handle, &none)) {
        why = SystemProblem("line settings");
        Release();
        return false;
    }
    manualRts = {};
    return true;
}

void TCOMPort::Platform::Release()
{
    if (handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(handle);
    if (done)
        ::CloseHandle(done);
    handle = INVALID_HANDLE_VALUE;
    done = nullptr;
}

// `change` returns false for a value it cannot express. A driver that
// refuses the value, or quietly keeps another one (Wine turns a rate it
// cannot produce into 38400), leaves the previous DCB in force.
template <typename Change>
void TCOMPort::Platform::ModifyLine(Change change)
{
    if (!IsOpen())
        return;
    DCB before{};
    before.DCBlength = sizeof before;
    if (!::GetCommState(handle, &before))
        return;
    DCB wanted = before;
    if (!change(wanted))
        return;
    DCB stored{};
    stored.DCBlength = sizeof stored;
    if (!::SetCommState(handle, &wanted) || !::GetCommState(handle, &stored)
        || !SameLine(stored, wanted))
        ::SetCommState(handle, &before);
}

namespace {

// True when the driver holds `wanted` afterwards. An unchanged setting is
// not set again: even the same DCB set anew may reprogram the UART.
bool HoldRtsControl(HANDLE handle, DWORD wanted)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb))
        return false;
    if (dcb.fRtsControl == wanted)
        return true;
    dcb.fRtsControl = wanted;
    return ::SetCommState(handle, &dcb) && ::GetCommState(handle, &dcb) && dcb.fRtsControl == wanted;
}

} // namespace

// The toggle is the driver's own timing, but it knows neither a delay nor
// the inverted level, and not every driver has it: otherwise the program
// drives RTS, and the DCB holds the receiving level, which every later
// SetCommState puts back. Off leaves the ENABLE of the open as it was.
bool TCOMPort::Platform::DriverRs485(Rs485Mode mode, int32_t beforeMs, int32_t afterMs)
{
    if (mode == Rs485Mode::Rts && beforeMs == 0 && afterMs == 0 && HoldRtsControl(handle, RTS_CONTROL_TOGGLE))
        return true;
    HoldRtsControl(handle, mode == Rs485Mode::Rts ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE);
    return false;
}

void TCOMPort::Platform::SetRts(bool asserted)
{
    ::EscapeCommFunction(handle, asserted ? SETRTS : CLRRTS);
}

void TCOMPort::Platform::Pause(int32_t ms)
{
    if (ms > 0)
        ::Sleep(static_cast<DWORD>(ms));
}

void TCOMPort::Platform::Drain()
{
    ::FlushFileBuffers(handle);
}

template <typename Change>
void TCOMPort::Platform::ModifyTimeouts(Change change)
{
    if (!IsOpen())
        return;
    COMMTIMEOUTS t{};
    if (!::GetCommTimeouts(handle, &t))
        return;
    change(t);
    ::SetCommTimeouts(handle, &t);
}

OVERLAPPED TCOMPort::Platform::Record()
{
    ::ResetEvent(done);
    OVERLAPPED o{};
    o.hEvent = done;
    return o;
}

// PurgeComm's abort flags alone may return before the driver lets go (and
// under Wine they do not cancel at all), so the buffer could still be
// written after the caller has freed it.
void TCOMPort::Platform::CancelAndCollect(OVERLAPPED& o)
{
    ::CancelIoEx(handle, &o);
    DWORD ignored = 0;
    ::GetOverlappedResult(handle, &o, &ignored, TRUE);
}

int TCOMPort::Platform::Collect(OVERLAPPED& o)
{
    DWORD transferred = 0;
    if (::GetOverlappedResult(handle, &o, &transferred, FALSE))
        return static_cast<int>(transferred);
    return Failed(::GetLastError(), transferred);
}

bool TCOMPort::Platform::DriverEndsFirst(DWORD waitMs) const
{
    COMMTIMEOUTS t{};
    return ::GetCommTimeouts(handle, &t) && t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant < waitMs;
}

int TCOMPort::Platform::Failed(DWORD error, DWORD transferred)
{
    if (Classify(error) == Failure::LineGone)
        Release();
    return static_cast<int>(transferred);
}

void TCOMPort::SetBaudRate(int32_t bitsPerSecond)
{
    if (bitsPerSecond <= 0)
        return;
    p_->ModifyLine([bitsPerSecond](DCB& d) {
        d.BaudRate = static_cast<DWORD>(bitsPerSecond);
        return true;
    });
}

void TCOMPort::SetParity(uint8_t code)
{
    // The codes are Windows' own: NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY.
    p_->ModifyLine([code](DCB& d) {
        if (code > SPACEPARITY)
            return false;
        d.fParity = code != NOPARITY;
        d.Parity = code;
        return true;
    });
}

void TCOMPort::SetByteSize(uint8_t bits)
{
    p_->ModifyLine([bits](DCB& d) {
        if (bits < 5 || bits > 8)
            return false;
        d.ByteSize = bits;
        return true;
    });
}

void TCOMPort::SetStopBits(uint8_t code)
{
    // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS.
    p_->ModifyLine([code](DCB& d) {
        if (code > TWOSTOPBITS)
            return false;
        d.StopBits = code;
        return true;
    });
}

void TCOMPort::SetReadIntervalTimeout(int32_t ms)
{
    p_->ModifyTimeouts([ms](COMMTIMEOUTS& t) { t.ReadIntervalTimeout = static_cast<DWORD>(ms > 0 ? ms : 0); });
}

void TCOMPort::SetReadTotalTimeout(int32_t ms)
{
    p_->ModifyTimeouts([ms](COMMTIMEOUTS& t) { t.ReadTotalTimeoutConstant = static_cast<DWORD>(ms > 0 ? ms : 0); });
}

int TCOMPort::Read(uint8_t* buffer, int n, int waitMs)
{
    if (!p_->IsOpen() || n <= 0)
        return 0;
    OVERLAPPED o = p_->Record();
    if (!::ReadFile(p_->handle, buffer, static_cast<DWORD>(n), nullptr, &o)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING)
            return p_->Failed(error, 0);
    }
    const DWORD wait = static_cast<DWORD>(waitMs > 0 ? waitMs : 0);
    if (::WaitForSingleObject(p_->done, wait) == WAIT_OBJECT_0) {
        const int got = p_->Collect(o);
        // The driver's total timeout ends a read quietly only when it is
        // shorter than the caller's wait; on a tie the wait decides, as on
        // POSIX. Its clock starts first, so it wins the race it should lose
        // and a silent relay would pass for an empty reply.
        if (got > 0 || !p_->IsOpen() || p_->DriverEndsFirst(wait))
            return got;
    } else {
        // The read must be over before the buffer goes back to the caller;
        // what it took in is dropped with whatever else has arrived. A read
        // that completed just as the wait ran out is dropped too.
        p_->CancelAndCollect(o);
    }
    ::PurgeComm(p_->handle, PURGE_RXABORT | PURGE_RXCLEAR);
    throw ETimeout();
}

int TCOMPort::Platform::Send(const uint8_t* buffer, int n)
{
    OVERLAPPED o = Record();
    if (!::WriteFile(handle, buffer, static_cast<DWORD>(n), nullptr, &o)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING)
            return Failed(error, 0);
    }
    if (::WaitForSingleObject(done, kWriteLimitMs) == WAIT_OBJECT_0)
        return Collect(o);
    CancelAndCollect(o);
    ::PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    return 0;
}

int TCOMPort::Purge()
{
    // Nothing of ours is ever pending here: each operation completes or is
    // cancelled before it returns. (Wine's abort flags also empty the buffers.)
    if (p_->IsOpen())
        ::PurgeComm(p_->handle, PURGE_TXABORT | PURGE_RXABORT);
    return 0;
}

int TCOMPort::ClearErrors()
{
    if (!p_->IsOpen())
        return 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(p_->handle, &errors, &status))
        return 0;
    return status.cbInQue > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(status.cbInQue);
}

void TCOMPort::DiscardInput()
{
    if (p_->IsOpen())
        ::PurgeComm(p_->handle, PURGE_RXCLEAR);
}

std::string TCOMPort::DevicePath(const std::string& portName)
{
    // "\\.\" reaches COM10 and above too; a path that already is one is kept.
    if (portName.empty() || portName.compare(0, 2, "\\\\") == 0)
        return portName;
    return kDevicePrefix + portName;
}

std::string TCOMPort::PortNameFromDevicePath(const std::string& devicePath)
{
    if (devicePath.size() > kDevicePrefixLength
        && devicePath.compare(0, kDevicePrefixLength, kDevicePrefix) == 0)
        return devicePath.substr(kDevicePrefixLength);
    return devicePath;
}

std::vector<std::string> TCOMPort::Platform::PortNames()
{
    // The ports the drivers have announced, never opened: an open switches
    // DTR and RTS on whatever is attached, can take seconds on a Bluetooth
    // link, and fails for a port another program holds, which is still there.
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key)
        != ERROR_SUCCESS)
        return {};
    std::vector<std::string> names;
    std::vector<wchar_t> device(kValueNameLength + 1);  // the value's name, \Device\Serial0: unused, read whole
    for (DWORD i = 0;; ++i) {
        DWORD deviceLength = static_cast<DWORD>(device.size());
        wchar_t port[kNameLength + 1] = {};
        DWORD portBytes = sizeof port - sizeof port[0];
        DWORD type = 0;
        const LONG rc = ::RegEnumValueW(key, i, device.data(), &deviceLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(port), &portBytes);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        // Too long for a port name (ERROR_MORE_DATA), or not a name at all.
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;
        // The names are ASCII ("COM3"); a value with more than that would
        // not reach the device through the narrow name the port opens by.
        std::string name;
        for (const wchar_t* c = port; *c && *c < 0x80; ++c)
            name += static_cast<char>(*c);
        if (!name.empty() && name.size() == std::wcslen(port))
            names.push_back(name);
    }
    ::RegCloseKey(key);
    return names;
}
