#include "platform/serial/serial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <utility>

#include "platform/registry/registry.h"
#include "platform/serial/baud_linux.h"
#include "platform/serial/line_termios.h"

namespace plat::serial {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::string_view kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Lower(s[i]) != Lower(prefix[i])) return false;
    return true;
}

long OpenError(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
        case EIO:  // a device node without hardware behind it
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_SHARING_VIOLATION;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        default:
            return ERROR_GEN_FAILURE;
    }
}

long IoError(int err) {
    switch (err) {
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:  // EIO, ENXIO, ENODEV, hang-ups: the device is gone
            return ERROR_GEN_FAILURE;
    }
}

std::optional<speed_t> StandardSpeed(uint32_t baud) {
    static constexpr std::pair<uint32_t, speed_t> kRates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& [rate, code] : kRates)
        if (rate == baud) return code;
    return std::nullopt;
}

// Milliseconds for poll() until `deadline`, rounded up so a wait never ends early.
int PollWait(SteadyClock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0) return 0;
    return static_cast<int>(std::min<int64_t>(left.count(), INT_MAX));
}

// Waits for `events`; false when the line hung up or failed (errno then says how).
bool WaitFd(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r < 0) return errno == EINTR;
    if (r == 0) return true;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return false;
    }
    // A hang-up with input still pending lets the read fetch it first.
    if ((p.revents & (POLLHUP | POLLERR)) && !(p.revents & events)) {
        errno = EIO;
        return false;
    }
    return true;
}

Rs485Settings FromKernel(const serial_rs485& rs) {
    return {rs.flags, rs.delay_rts_before_send, rs.delay_rts_after_send};
}

// Into the driver's own record, keeping the fields this layer does not know.
void ToKernel(const Rs485Settings& from, serial_rs485& rs) {
    rs.flags = from.flags;
    rs.delay_rts_before_send = from.delay_before_send;
    rs.delay_rts_after_send = from.delay_after_send;
}

}  // namespace

int ComNumber(std::string_view name) {
    if (name.starts_with("\\\\.\\")) name.remove_prefix(4);
    if (!StartsWithNoCase(name, "com")) return 0;
    name.remove_prefix(3);
    if (name.empty() || name.size() > 3 || name[0] == '0') return 0;
    int n = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n <= 256 ? n : 0;
}

std::string ResolvePortName(std::string_view name) {
    if (!name.empty() && name[0] == '/') return std::string(name);
    int n = ComNumber(name);
    if (n == 0) return {};
    std::string path;
    if (reg::ReadString(reg::Hive::LocalMachine, kSerialCommKey, "COM" + std::to_string(n), path) ==
            ERROR_SUCCESS &&
        !path.empty())
        return path;
    return "/dev/ttyS" + std::to_string(n - 1);
}

long ProbePort(std::string_view name) {
    const std::string path = ResolvePortName(name);
    if (path.empty()) return ERROR_FILE_NOT_FOUND;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return OpenError(errno);
    ::close(fd);
    return ERROR_SUCCESS;
}

const char* OpenErrorCause(long rc) {
    switch (rc) {
        case ERROR_FILE_NOT_FOUND:
            return "not found";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_SHARING_VIOLATION:
            return "in use";
        case ERROR_INVALID_FUNCTION:
            return "not a serial port";
        default:
            return "failed";
    }
}

SerialPort::SerialPort(SerialPort&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      settings_(other.settings_),
      timeouts_(other.timeouts_),
      notes_(other.notes_),
      last_icount_(other.last_icount_),
      rs485_(std::exchange(other.rs485_, {})) {
    other.path_.clear();
}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        other.path_.clear();
        settings_ = other.settings_;
        timeouts_ = other.timeouts_;
        notes_ = other.notes_;
        last_icount_ = other.last_icount_;
        rs485_ = std::exchange(other.rs485_, {});
    }
    return *this;
}

long SerialPort::Open(std::string_view name) {
    Close();
    std::string path = ResolvePortName(name);
    if (path.empty()) return ERROR_FILE_NOT_FOUND;

    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return OpenError(errno);
    auto fail = [fd](long code) {
        ::close(fd);
        return code;
    };
    // flock is per open file description: it refuses a second open in this process as well as
    // in others. File systems without flock are let through.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return fail(ERROR_SHARING_VIOLATION);
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return fail(OpenError(errno));
    detail::MakeRaw(t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail(OpenError(errno));
    ::ioctl(fd, TIOCEXCL);  // refuses later opens by non-root processes; best effort

    fd_ = fd;
    path_ = std::move(path);
    settings_ = LineSettings{};
    timeouts_ = Timeouts{};
    notes_ = ConfigureNotes{};
    last_icount_ = Icount{};
    ReadIcount(last_icount_);
    return ERROR_SUCCESS;
}

void SerialPort::Close() {
    if (fd_ >= 0) {
        RestoreRs485();
        // The exclusive flag belongs to the terminal, not to this descriptor: it would outlive
        // the close while anything else holds the device open.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    fd_ = -1;
    path_.clear();
    rs485_ = detail::Rs485Keeper{};
}

void SerialPort::RestoreRs485() {
    const auto found = rs485_.Close();
    serial_rs485 rs{};
    if (!found || ::ioctl(fd_, TIOCGRS485, &rs) != 0) return;
    ToKernel(*found, rs);
    ::ioctl(fd_, TIOCSRS485, &rs);  // best effort, as when it was changed
}

long SerialPort::Configure(const LineSettings& s) {
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    if (s.baud == 0 || s.data_bits < 5 || s.data_bits > 8 ||
        (s.stop_bits == StopBits::OnePointFive && s.data_bits != 5) ||
        static_cast<uint8_t>(s.parity) > 4 || static_cast<uint8_t>(s.stop_bits) > 2 ||
        static_cast<uint8_t>(s.rts) > 2)
        return ERROR_INVALID_PARAMETER;

    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return IoError(errno);
    detail::ApplyLineSettings(t, s);

    std::optional<speed_t> speed = StandardSpeed(s.baud);
    // A non-standard rate is set through termios2 right after; B38400 is only its stand-in.
    ::cfsetispeed(&t, speed.value_or(B38400));
    ::cfsetospeed(&t, speed.value_or(B38400));
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return IoError(errno);
    if (!speed) {
        if (int err = detail::SetCustomBaud(fd_, s.baud)) return IoError(err);
    }

    ConfigureNotes notes;
    int dtr = TIOCM_DTR;
    bool modem = ::ioctl(fd_, s.dtr ? TIOCMBIS : TIOCMBIC, &dtr) == 0;
    serial_rs485 rs{};
    if (::ioctl(fd_, TIOCGRS485, &rs) == 0) {
        // decisions PLAT-SER-3
        bool mode = (rs.flags & SER_RS485_ENABLED) != 0;
        if (const auto want = rs485_.Configure(s.rts, FromKernel(rs))) {
            ToKernel(*want, rs);
            if (::ioctl(fd_, TIOCSRS485, &rs) == 0) mode = (want->flags & SER_RS485_ENABLED) != 0;
        }
        notes.rs485 = mode;
    }
    if (!notes.rs485) {
        // In RS-485 mode the driver owns RTS. Toggle without driver help starts low; Write raises
        // it around each block.
        int rts = TIOCM_RTS;
        bool rts_ok = ::ioctl(fd_, s.rts == RtsMode::On ? TIOCMBIS : TIOCMBIC, &rts) == 0;
        modem = modem && rts_ok;
        notes.soft_toggle = s.rts == RtsMode::Toggle && rts_ok;
    }
    notes.modem_lines = modem;
    notes_ = notes;
    settings_ = s;
    return ERROR_SUCCESS;
}

long SerialPort::DeviceBaud(uint32_t& baud) const {
    baud = 0;
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    if (int err = detail::GetBaud(fd_, baud)) return IoError(err);
    return ERROR_SUCCESS;
}

long SerialPort::SetTimeouts(const Timeouts& t) {
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    timeouts_ = t;
    return ERROR_SUCCESS;
}

long SerialPort::Read(void* buf, uint32_t size, uint32_t& got) {
    got = 0;
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    if (size > 0 && buf == nullptr) return ERROR_INVALID_PARAMETER;
    if (ErrorPending()) return ERROR_OPERATION_ABORTED;
    if (size == 0) return ERROR_SUCCESS;

    const Timeouts t = timeouts_;
    const bool immediate =
        t.read_interval == MAXDWORD && t.read_total_multiplier == 0 && t.read_total_constant == 0;
    const bool any_byte = t.read_interval == MAXDWORD && t.read_total_multiplier == MAXDWORD &&
                          t.read_total_constant > 0 && t.read_total_constant < MAXDWORD;
    std::optional<SteadyClock::time_point> total;
    std::optional<std::chrono::milliseconds> interval;
    const auto start = SteadyClock::now();
    if (any_byte) {
        total = start + std::chrono::milliseconds(t.read_total_constant);
    } else if (!immediate) {
        uint64_t ms = uint64_t{t.read_total_multiplier} * size + t.read_total_constant;
        if (ms > 0) total = start + std::chrono::milliseconds(ms);
        if (t.read_interval != 0 && t.read_interval != MAXDWORD)
            interval = std::chrono::milliseconds(t.read_interval);
    }

    auto* out = static_cast<uint8_t*>(buf);
    SteadyClock::time_point last_byte;
    for (;;) {
        ssize_t n = ::read(fd_, out + got, size - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            if (got == size || any_byte) return ERROR_SUCCESS;
            last_byte = SteadyClock::now();
            continue;
        }
        if (n == 0) return ERROR_GEN_FAILURE;  // hang-up: with VMIN 1 an empty line is EAGAIN
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return IoError(errno);
        if (immediate) return ERROR_SUCCESS;

        std::optional<SteadyClock::time_point> deadline = total;
        if (interval && got > 0) {
            auto gap_end = last_byte + *interval;
            deadline = deadline ? std::min(*deadline, gap_end) : gap_end;
        }
        int wait = -1;
        if (deadline) {
            wait = PollWait(*deadline);
            if (wait == 0) return ERROR_SUCCESS;
        }
        if (!WaitFd(fd_, POLLIN, wait)) return IoError(errno);
    }
}

long SerialPort::Write(const void* buf, uint32_t size, uint32_t& written) {
    written = 0;
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    if (size > 0 && buf == nullptr) return ERROR_INVALID_PARAMETER;
    if (ErrorPending()) return ERROR_OPERATION_ABORTED;
    if (size == 0) return ERROR_SUCCESS;

    const Timeouts t = timeouts_;
    std::optional<SteadyClock::time_point> deadline;
    uint64_t ms = uint64_t{t.write_total_multiplier} * size + t.write_total_constant;
    if (ms > 0) deadline = SteadyClock::now() + std::chrono::milliseconds(ms);

    const bool toggle = notes_.soft_toggle;
    if (toggle) SetRts(true);
    const auto* in = static_cast<const uint8_t*>(buf);
    long rc = ERROR_SUCCESS;
    while (written < size) {
        ssize_t n = ::write(fd_, in + written, size - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            rc = IoError(errno);
            break;
        }
        int wait = -1;
        if (deadline) {
            wait = PollWait(*deadline);
            if (wait == 0) break;  // time-out: success with a short count
        }
        if (!WaitFd(fd_, POLLOUT, wait)) {
            rc = IoError(errno);
            break;
        }
    }
    if (toggle) {
        while (::tcdrain(fd_) != 0 && errno == EINTR) {
        }
        SetRts(false);
    }
    return rc;
}

void SerialPort::SetRts(bool on) {
    int rts = TIOCM_RTS;
    ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &rts);
}

long SerialPort::Purge(bool rx, bool tx) {
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    if (!rx && !tx) return ERROR_SUCCESS;
    int which = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
    if (::tcflush(fd_, which) != 0) return IoError(errno);
    return ERROR_SUCCESS;
}

long SerialPort::Drain() {
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    while (::tcdrain(fd_) != 0) {
        if (errno != EINTR) return IoError(errno);
    }
    return ERROR_SUCCESS;
}

uint32_t SerialPort::OutputQueued() const {
    int n = 0;
    if (fd_ < 0 || ::ioctl(fd_, TIOCOUTQ, &n) != 0 || n < 0) return 0;
    return static_cast<uint32_t>(n);
}

uint32_t SerialPort::InputQueued() const {
    int n = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<uint32_t>(n);
}

bool SerialPort::ReadIcount(Icount& c) const {
    serial_icounter_struct ic{};
    if (fd_ < 0 || ::ioctl(fd_, TIOCGICOUNT, &ic) != 0) return false;
    c.frame = static_cast<uint32_t>(ic.frame);
    c.parity = static_cast<uint32_t>(ic.parity);
    c.overrun = static_cast<uint32_t>(ic.overrun);
    c.buf_overrun = static_cast<uint32_t>(ic.buf_overrun);
    c.brk = static_cast<uint32_t>(ic.brk);
    return true;
}

bool SerialPort::ErrorPending() const {
    if (!settings_.abort_on_error) return false;
    Icount now;
    if (!ReadIcount(now)) return false;
    const Icount& was = last_icount_;
    return now.frame != was.frame || now.parity != was.parity || now.overrun != was.overrun ||
           now.buf_overrun != was.buf_overrun || now.brk != was.brk;
}

long SerialPort::ClearErrors(ErrorCounts& out) {
    out = ErrorCounts{};
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    Icount now;
    if (ReadIcount(now)) {
        // The kernel counters are 32-bit and wrap; unsigned differences survive that.
        out.counters = true;
        out.framing = now.frame - last_icount_.frame;
        out.parity = now.parity - last_icount_.parity;
        out.overrun = now.overrun - last_icount_.overrun;
        out.buffer_overrun = now.buf_overrun - last_icount_.buf_overrun;
        out.breaks = now.brk - last_icount_.brk;
        last_icount_ = now;
        if (out.framing) out.errors |= CE_FRAME;
        if (out.parity) out.errors |= CE_RXPARITY;
        if (out.overrun) out.errors |= CE_OVERRUN;
        if (out.buffer_overrun) out.errors |= CE_RXOVER;
        if (out.breaks) out.errors |= CE_BREAK;
    }
    out.in_queue = InputQueued();
    out.out_queue = OutputQueued();
    return ERROR_SUCCESS;
}

namespace detail {

// decisions PLAT-SER-3
std::optional<Rs485Settings> Rs485Keeper::Configure(RtsMode rts, const Rs485Settings& current) {
    // A second Configure judges by what the line had before this port changed it.
    const Rs485Settings found = found_.value_or(current);
    Rs485Settings want = found;
    if ((found.flags & SER_RS485_ENABLED) == 0 && rts == RtsMode::Toggle)
        want.flags = (found.flags | SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) &
                     ~static_cast<uint32_t>(SER_RS485_RTS_AFTER_SEND);
    if (want == found)
        found_.reset();
    else
        found_ = found;
    if (want == current) return std::nullopt;
    return want;
}

std::optional<Rs485Settings> Rs485Keeper::Close() {
    return std::exchange(found_, std::nullopt);
}

}  // namespace detail

}  // namespace plat::serial
