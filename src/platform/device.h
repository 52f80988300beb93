// The device layer: the one narrow interface through which the serial layer
// reaches a serial line, and the mapping of errno values to the system error
// numbers the serial layer reports.
//
// How it works
// - One sign for every call: a count or 0 on success, a negative result code
//   (platform/error_codes.h) on failure: a system error number below negated
//   (-kSysInUse, ...) or a code of the serial layer (ecBadArgument,
//   ecLineLost, ...). The dispatcher passes them on as they are.
// - A `Device` is opened by path, exclusively: a second opener gets
//   -kSysInUse ("in use"). `close()` restores whatever the line had before.
// - Line settings travel as one `LineSettings` record (rate, framing, DTR/RTS
//   control, CTS/DSR output flow, XON/XOFF in both directions with limits and
//   characters). A device refuses what it cannot do with ecBadArgument.
// - `read()` and `write()` never block; they move what is waiting or what fits.
//   A reader thread sleeps in `waitInput()`, a writer thread in `waitOutput()`;
//   `wakeInput()` / `wakeOutput()` end such a wait early from any thread, and
//   `close()` ends both for good.
// - `status()` reports and clears the line errors seen since the last call and
//   tells the queue counts and what holds our output back. Modem lines come from
//   `modemLines()`; a device without modem lines (a pty) reports none and no
//   errors, never a failure.
// - Every call is safe from any thread; `close()` waits until no call is inside
//   the device before it lets the descriptor go.
//
// Implementations: `PosixTty` (termios, posix_tty.h), `SimulatedDevice`
// (in memory, simulated_device.h), and the ports of a serial device server on
// the network: `TcpDevice` (raw TCP, tcp_device.h) and `Rfc2217Device` (telnet
// serial port control, rfc2217_device.h). `MakeDevice()` picks one by path.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vorl::platform {

// System error numbers of the device layer (a device call returns them
// negated). Other errno values pass through SystemErrorFromErrno unchanged.
constexpr int kSysNoSuchDevice = 2;      // ENOENT, ENODEV, ENXIO, EIO at open
constexpr int kSysPathNotFound = 3;      // ENOTDIR
constexpr int kSysInUse = 5;             // EBUSY, exclusive lock held elsewhere
constexpr int kSysPermissionDenied = 13; // EACCES, EPERM

// Maps an errno from opening or using a device to the number above.
int SystemErrorFromErrno(int err);

// True when an errno from a device that is open means the line is gone: the
// device failed or hung up (an unplugged adapter, a closed far end). At open
// the same values mean that there is no such device.
bool IsLineLostErrno(int err);

// Readable text for a system error of the device layer, naming the path, e.g.
// "Device in use by another program on /dev/ttyS0"; permission denied names
// the group that owns the device (platform/port_access.h). Empty `path` leaves
// the path out.
std::string DeviceErrorText(int sysError, const std::string& path);

// Control of the DTR and RTS lines by the line settings.
enum class LineControl : uint8_t {
    Off = 0,
    On = 1,
    Handshake = 2, // driven by input flow control
    Toggle = 3,    // RTS only: raised while sending
};

// Stop-bit codes of `LineSettings::stopBits`.
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kOne5StopBits = 1;
constexpr uint8_t kTwoStopBits = 2;

struct LineSettings {
    uint32_t baud = 9600;
    uint8_t byteSize = 8;           // 5 to 8
    uint8_t parity = 0;             // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = kOneStopBit; // a stop-bit code above
    bool binary = true;
    bool parityCheck = false;
    bool ctsOutFlow = false; // output waits while CTS is low
    bool dsrOutFlow = false; // output waits while DSR is low
    LineControl dtrControl = LineControl::On;
    bool dsrSensitivity = false;
    bool txContinueOnXoff = true;
    bool xonXoffOut = false; // a received XOFF holds our output until XON
    bool xonXoffIn = false;  // we send XOFF/XON as our input fills/drains
    bool nullStrip = false;
    LineControl rtsControl = LineControl::On;
    uint16_t xonLimit = 0;  // send XON when the input queue falls to this
    uint16_t xoffLimit = 0; // send XOFF when free input room falls to this
    uint8_t xonChar = 17;
    uint8_t xoffChar = 19;
};

// The time one character takes on a line with these settings (start bit,
// data, parity, stop bits at its rate).
std::chrono::nanoseconds CharacterTime(const LineSettings& s);

// Modem line bits as `modemLines()` reports them (the upper nibble of the
// dispatcher's modem status byte).
constexpr uint8_t kLineCTS = 0x10;
constexpr uint8_t kLineDSR = 0x20;
constexpr uint8_t kLineRI = 0x40;
constexpr uint8_t kLineDCD = 0x80;

// Line error bits of `DeviceStatus::errors`.
constexpr uint8_t kErrRxOverflow = 1; // input lost: our receive queue overflowed
constexpr uint8_t kErrOverrun = 2;
constexpr uint8_t kErrParity = 4;
constexpr uint8_t kErrFraming = 8;
constexpr uint8_t kErrBreak = 16;

// Hold bits of `DeviceStatus::holds`.
constexpr uint8_t kHoldCTS = 1;
constexpr uint8_t kHoldDSR = 2;
constexpr uint8_t kHoldDCD = 4;
constexpr uint8_t kHoldXoff = 8;      // the peer's XOFF holds our output
constexpr uint8_t kHoldXoffSent = 16; // we sent XOFF and have not yet sent XON

struct DeviceStatus {
    uint8_t errors = 0; // line errors since the last call (cleared by it)
    uint8_t holds = 0;
    uint32_t inQueue = 0;  // bytes received and not yet read
    uint32_t outQueue = 0; // bytes written and not yet on the line
};

enum class WaitResult {
    Ready, // input: bytes or a line event waiting; output: room to write
    Woken, // ended by wake...() (or close)
    Timeout,
    Failed, // the device is closed or broken
};

enum PurgeWhich : unsigned {
    PurgeRx = 1,
    PurgeTx = 2,
};

class Device {
public:
    virtual ~Device() = default;

    // Opens `path` exclusively; 0 or a negated system error number (above).
    virtual int open(const std::string& path) = 0;
    // Restores the line's original settings and closes; ends every wait.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Queue sizes asked for at open (advisory: the kernel's queues are fixed).
    // Remembered for the input flow thresholds. 0 or a failure.
    virtual int setQueueSizes(uint32_t inQueue, uint32_t outQueue) = 0;

    // 0, or a failure: for settings the device cannot do ecBadArgument,
    // ecBaudRate or ecByteSize. Every call on an open device whose line is
    // gone fails with ecLineLost.
    virtual int getLineSettings(LineSettings& out) = 0;
    virtual int setLineSettings(const LineSettings& in) = 0;

    // Bytes read (0 when none wait) or a failure (ecLineLost once the line
    // is gone, ecNotOpen while closed). Never blocks.
    virtual long read(uint8_t* buf, size_t count) = 0;
    // Bytes taken (0 when the device is full or held) or a failure.
    virtual long write(const uint8_t* buf, size_t count) = 0;

    // Sleeps until input waits (only when `wantData`), a line event, a wake-up
    // or `timeoutMs` (-1: no limit).
    virtual WaitResult waitInput(bool wantData, int timeoutMs) = 0;
    // Sleeps until the device takes more output, a wake-up or the time-out.
    virtual WaitResult waitOutput(int timeoutMs) = 0;
    virtual void wakeInput() = 0;
    virtual void wakeOutput() = 0;

    // kLine... bits present now; 0 when the device has no modem lines.
    virtual uint8_t modemLines() = 0;
    // False when the device has no modem lines at all (a pty).
    virtual bool hasModemLines() = 0;
    // 0, or ecBadArgument when the device refuses (e.g. a line driven by flow).
    virtual int setDtr(bool on) = 0;
    virtual int setRts(bool on) = 0;
    virtual int setBreak(bool on) = 0;
    // RS-485: the driver raises RTS while sending and lowers it after. 0, or
    // ecNotSupported from a device whose driver cannot; off puts back what
    // the device had at open (never fails for lack of support).
    virtual int setRs485(bool on) = 0;
    // Discards what waits in either direction; 0 or a failure.
    virtual int purge(unsigned which) = 0;
    virtual DeviceStatus status() = 0;
    // Bytes written and not yet on the line; the cheap part of status().
    virtual uint32_t outputQueued() = 0;
    // Waits until what was written has left for the line: a tty's queue and
    // transmitter are empty; a network port's server has every byte and has
    // had the time its line needs to send them. It waits as long as the line
    // needs for what is queued, at its rate, plus `graceMs`. 0 when it has
    // drained, ecTimeout when the time ran out, or a failure. Nothing is
    // discarded either way. By default: the output queue is empty.
    virtual int drain(int graceMs);

    // Why the last open or line setting failed, in words naming the device,
    // where the number alone says too little (a network server that does not
    // answer, refuses, or sets another speed than asked); empty otherwise.
    virtual std::string errorText() const { return {}; }
};

// True for the address of a port on a serial device server ("tcp://..." or
// "rfc2217://..."): such a device is reached by connecting, not by a path.
bool IsNetworkPath(const std::string& path);

// A device for `path`: "sim:<name>" gives the simulated line registered under
// that name (simulated_device.h), "tcp://host:port" a raw TCP port and
// "rfc2217://host:port" a telnet serial port control port of a serial device
// server, anything else a POSIX tty. Not yet open.
std::unique_ptr<Device> MakeDevice(const std::string& path);

} // namespace vorl::platform
