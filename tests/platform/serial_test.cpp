#include "platform/serial/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/registry/registry.h"
#include "platform/serial/line_termios.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempRoot.h"

namespace {

using namespace plat::serial;
using plat::ERROR_ACCESS_DENIED;
using plat::ERROR_FILE_NOT_FOUND;
using plat::ERROR_INVALID_PARAMETER;
using plat::ERROR_SHARING_VIOLATION;
using plat::ERROR_SUCCESS;
using Ms = std::chrono::milliseconds;

int64_t SinceMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start).count();
}

class SerialTest : public ::testing::Test {
  protected:
    testsupport::TempRoot root_;
    testsupport::PtyPair pty_{7};

    // Opens COM7 with the native port's settings (SPACE parity) and the given time-outs.
    void OpenPort(SerialPort& port, const Timeouts& t) {
        ASSERT_EQ(port.Open("COM7"), ERROR_SUCCESS);
        LineSettings s;
        s.baud = 9600;
        s.parity = Parity::Space;
        s.parity_check = true;
        ASSERT_EQ(port.Configure(s), ERROR_SUCCESS);
        ASSERT_EQ(port.SetTimeouts(t), ERROR_SUCCESS);
    }
    std::string ReadAll(SerialPort& port, uint32_t size) {
        std::string buf(size, '\0');
        uint32_t got = 0;
        EXPECT_EQ(port.Read(buf.data(), size, got), ERROR_SUCCESS);
        buf.resize(got);
        return buf;
    }
};

constexpr Timeouts kImmediate{MAXDWORD, 0, 0, 0, 0};

// ---- names and opening ----

TEST_F(SerialTest, ComNamesResolveThroughTheRegistryElseToTtyS) {
    EXPECT_EQ(ResolvePortName("COM7"), pty_.SlavePath());
    EXPECT_EQ(ResolvePortName("\\\\.\\com7"), pty_.SlavePath());
    EXPECT_EQ(ResolvePortName("cOm7"), pty_.SlavePath());
    EXPECT_EQ(ResolvePortName("COM3"), "/dev/ttyS2");
    EXPECT_EQ(ResolvePortName("\\\\.\\COM12"), "/dev/ttyS11");
    EXPECT_EQ(ResolvePortName("/dev/serial/by-id/x"), "/dev/serial/by-id/x");
    for (const char* bad : {"", "COM", "COM0", "COM07", "COMx", "COM1x", "COM257", "LPT1", "ttyS0",
                            "\\\\.\\", "\\\\.\\LPT1"})
        EXPECT_EQ(ResolvePortName(bad), "") << bad;
    EXPECT_EQ(ComNumber("COM256"), 256);
    EXPECT_EQ(ComNumber("\\\\.\\COM1"), 1);
}

TEST_F(SerialTest, OpenByComNameGivesANonblockingCloseOnExecPort) {
    SerialPort port;
    ASSERT_EQ(port.Open("\\\\.\\COM7"), ERROR_SUCCESS);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.DevicePath(), pty_.SlavePath());
    EXPECT_TRUE(::fcntl(port.Fd(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(port.Fd(), F_GETFL) & O_NONBLOCK);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Fd(), -1);
}

TEST_F(SerialTest, MissingPortsAreNotFound) {
    SerialPort port;
    EXPECT_EQ(port.Open("COM200"), ERROR_FILE_NOT_FOUND);  // no registry entry, no /dev/ttyS199
    EXPECT_EQ(port.Open("COM0"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(port.Open("/dev/norvalt-no-such-tty"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(
        plat::reg::WriteString(plat::reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
                               "COM9", root_.Path() + "/unplugged"),
        ERROR_SUCCESS);
    EXPECT_EQ(port.Open("COM9"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialTest, SecondOpenIsASharingViolationUntilTheFirstCloses) {
    SerialPort first;
    ASSERT_EQ(first.Open("COM7"), ERROR_SUCCESS);

    SerialPort second;
    EXPECT_EQ(second.Open("COM7"), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(second.Open(pty_.SlavePath()), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(second.IsOpen());

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SerialPort other;
        _exit(static_cast<int>(other.Open("COM7")));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), ERROR_SHARING_VIOLATION);

    first.Close();
    EXPECT_EQ(second.Open("COM7"), ERROR_SUCCESS);
}

TEST_F(SerialTest, MovedPortKeepsTheLineAndTheLock) {
    SerialPort a;
    ASSERT_EQ(a.Open("COM7"), ERROR_SUCCESS);
    int fd = a.Fd();
    SerialPort b(std::move(a));
    EXPECT_FALSE(a.IsOpen());
    EXPECT_EQ(b.Fd(), fd);
    EXPECT_EQ(b.DevicePath(), pty_.SlavePath());
    SerialPort c;
    EXPECT_EQ(c.Open("COM7"), ERROR_SHARING_VIOLATION);
    {
        SerialPort d;
        d = std::move(b);
        EXPECT_FALSE(b.IsOpen());
        EXPECT_EQ(d.Fd(), fd);
    }  // destruction closes
    EXPECT_EQ(c.Open("COM7"), ERROR_SUCCESS);
}

TEST_F(SerialTest, OpenRefusesWhatIsNotATerminal) {
    std::string file = root_.Path() + "/plain";
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    SerialPort port;
    EXPECT_EQ(port.Open(file), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialTest, DeviceWithoutPermissionIsAccessDenied) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root opens a file of mode 000 anyway, so EACCES cannot be provoked";
    std::string file = root_.Path() + "/locked";
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0000);
    ASSERT_GE(fd, 0);
    ::close(fd);
    SerialPort port;
    EXPECT_EQ(port.Open(file), ERROR_ACCESS_DENIED);
}

// ---- line settings ----

TEST(SerialLineImage, ParityDataAndStopBitsAndFlowControl) {
    struct Case {
        Parity parity;
        tcflag_t bits;
    } cases[] = {{Parity::None, 0},
                 {Parity::Odd, PARENB | PARODD},
                 {Parity::Even, PARENB},
                 {Parity::Mark, PARENB | CMSPAR | PARODD},
                 {Parity::Space, PARENB | CMSPAR}};
    for (const Case& c : cases) {
        termios t{};
        t.c_cflag = PARENB | PARODD | CMSPAR | CRTSCTS | CSTOPB;  // left over from before
        t.c_iflag = ICRNL | IXON | INPCK | ISTRIP;
        t.c_lflag = ICANON | ECHO | ISIG;
        t.c_oflag = OPOST;
        LineSettings s;
        s.parity = c.parity;
        detail::ApplyLineSettings(t, s);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.bits) << int(c.parity);
        EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | CRTSCTS), tcflag_t(CS8));
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
    termios t{};
    LineSettings s;
    s.data_bits = 5;
    s.stop_bits = StopBits::OnePointFive;
    s.parity = Parity::Space;
    s.parity_check = true;
    s.rtscts = true;
    s.xonxoff = true;
    detail::ApplyLineSettings(t, s);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | CRTSCTS), tcflag_t(CS5 | CSTOPB | CRTSCTS));
    EXPECT_EQ(t.c_iflag, tcflag_t(INPCK | IXON | IXOFF));
    s.parity = Parity::None;  // nothing to check without parity
    s.data_bits = 7;
    s.stop_bits = StopBits::Two;
    detail::ApplyLineSettings(t, s);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB), tcflag_t(CS7 | CSTOPB));
    EXPECT_FALSE(t.c_iflag & INPCK);
}

TEST(SerialLine, EveryLineKindKeepsTheAdministratorsRs485ModeAndRestoresWhatItChanged) {
    // Line kinds by how they ask for RTS: native Off, Modbus Toggle, board bus and DCON On.
    const RtsMode kinds[] = {RtsMode::Off, RtsMode::Toggle, RtsMode::On};
    const Rs485Settings admin_normal{SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, 0, 0};
    const Rs485Settings admin_inverted{SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND, 0, 0};
    const Rs485Settings admin_delays{SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, 2, 5};
    const Rs485Settings off{0, 0, 0};
    const Rs485Settings off_stale{SER_RS485_RTS_AFTER_SEND, 1, 3};  // bits left, mode off
    for (RtsMode kind : kinds) {
        const int k = static_cast<int>(kind);
        for (const Rs485Settings& admin : {admin_normal, admin_inverted, admin_delays}) {
            detail::Rs485Keeper keeper;
            EXPECT_EQ(keeper.Configure(kind, admin), std::nullopt) << "kind " << k;
            EXPECT_EQ(keeper.Configure(kind, admin), std::nullopt) << "a reopen changes nothing";
            EXPECT_EQ(keeper.Close(), std::nullopt) << "nothing to put back, kind " << k;
        }
        for (const Rs485Settings& found : {off, off_stale}) {
            detail::Rs485Keeper keeper;
            const auto set = keeper.Configure(kind, found);
            if (kind != RtsMode::Toggle) {
                EXPECT_EQ(set, std::nullopt) << "RTS held or unused needs no mode, kind " << k;
                EXPECT_EQ(keeper.Close(), std::nullopt);
                continue;
            }
            const Rs485Settings toggled{SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND,
                                        found.delay_before_send, found.delay_after_send};
            EXPECT_EQ(set, std::optional<Rs485Settings>(toggled));
            // Configured again, the line now reports the mode this port set: it stays on.
            EXPECT_EQ(keeper.Configure(kind, toggled), std::nullopt);
            EXPECT_EQ(keeper.Close(), std::optional<Rs485Settings>(found)) << "restored at close";
            EXPECT_EQ(keeper.Close(), std::nullopt) << "once";
        }
    }
}

TEST_F(SerialTest, ConfigureReachesTheDriverWithMarkSpaceAndOddRates) {
    // A pseudo-terminal forces CS8 and drops PARENB, but keeps CMSPAR, PARODD, CSTOPB and
    // the rate, which is enough to see that the settings got there.
    SerialPort port;
    ASSERT_EQ(port.Open("COM7"), ERROR_SUCCESS);
    termios t{};
    uint32_t baud = 0;

    LineSettings s;
    s.parity = Parity::Space;
    ASSERT_EQ(port.Configure(s), ERROR_SUCCESS);
    ASSERT_EQ(::tcgetattr(port.Fd(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD | CSTOPB), tcflag_t(CMSPAR));
    EXPECT_EQ(port.DeviceBaud(baud), ERROR_SUCCESS);
    EXPECT_EQ(baud, 9600u);

    s.parity = Parity::Mark;
    s.stop_bits = StopBits::Two;
    s.baud = 31250;  // no Bxxx constant
    ASSERT_EQ(port.Configure(s), ERROR_SUCCESS);
    ASSERT_EQ(::tcgetattr(port.Fd(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD | CSTOPB), tcflag_t(CMSPAR | PARODD | CSTOPB));
    EXPECT_EQ(port.DeviceBaud(baud), ERROR_SUCCESS);
    EXPECT_EQ(baud, 31250u);
    EXPECT_EQ(port.Settings(), s);

    s = LineSettings{};
    s.baud = 115200;  // back to a standard rate after a custom one
    s.parity = Parity::Even;
    ASSERT_EQ(port.Configure(s), ERROR_SUCCESS);
    EXPECT_EQ(port.DeviceBaud(baud), ERROR_SUCCESS);
    EXPECT_EQ(baud, 115200u);
    ASSERT_EQ(::tcgetattr(port.Fd(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t(B115200));
}

TEST_F(SerialTest, ConfigureRejectsImpossibleSettingsAndKeepsTheOldOnes) {
    SerialPort port;
    ASSERT_EQ(port.Open("COM7"), ERROR_SUCCESS);
    LineSettings good;
    good.baud = 19200;
    ASSERT_EQ(port.Configure(good), ERROR_SUCCESS);

    LineSettings bad = good;
    bad.baud = 0;
    EXPECT_EQ(port.Configure(bad), ERROR_INVALID_PARAMETER);
    bad = good;
    bad.data_bits = 9;
    EXPECT_EQ(port.Configure(bad), ERROR_INVALID_PARAMETER);
    bad.data_bits = 4;
    EXPECT_EQ(port.Configure(bad), ERROR_INVALID_PARAMETER);
    bad = good;
    bad.stop_bits = StopBits::OnePointFive;  // only with 5 data bits
    EXPECT_EQ(port.Configure(bad), ERROR_INVALID_PARAMETER);
    bad.data_bits = 5;
    EXPECT_EQ(port.Configure(bad), ERROR_SUCCESS);
    EXPECT_EQ(port.Settings(), bad);
}

TEST_F(SerialTest, ModemLinesAndRs485AreBestEffortOnAPseudoTerminal) {
    SerialPort port;
    ASSERT_EQ(port.Open("COM7"), ERROR_SUCCESS);
    LineSettings s;
    s.dtr = false;
    s.rts = RtsMode::Toggle;  // the field-bus port's settings
    ASSERT_EQ(port.Configure(s), ERROR_SUCCESS);
    EXPECT_FALSE(port.Notes().modem_lines);
    EXPECT_FALSE(port.Notes().rs485);
    EXPECT_FALSE(port.Notes().soft_toggle);
    uint32_t n = 0;
    ASSERT_EQ(port.Write("ok", 2, n), ERROR_SUCCESS);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(pty_.ReadFar(2, 1000), "ok");
}

// ---- data ----

TEST_F(SerialTest, EveryByteValueCrossesUnchangedBothWays) {
    SerialPort port;
    OpenPort(port, Timeouts{0, 0, 2000, 0, 2000});
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    all += "\r\n\n\r\x11\x13\x03\x04\x7f\xff";  // the bytes cooked modes would eat or change

    uint32_t n = 0;
    ASSERT_EQ(port.Write(all.data(), static_cast<uint32_t>(all.size()), n), ERROR_SUCCESS);
    EXPECT_EQ(n, all.size());
    EXPECT_EQ(pty_.ReadFar(all.size(), 2000), all);

    ASSERT_TRUE(pty_.WriteFar(all));
    EXPECT_EQ(ReadAll(port, static_cast<uint32_t>(all.size())), all);
    // No echo went back to the far end.
    EXPECT_EQ(pty_.ReadFar(1, 50), "");
}

TEST_F(SerialTest, PurgeEmptiesTheInputAndClearErrorsReportsQueues) {
    SerialPort port;
    OpenPort(port, kImmediate);
    ASSERT_TRUE(pty_.WriteFar("12345"));
    auto start = std::chrono::steady_clock::now();
    while (port.InputQueued() < 5 && SinceMs(start) < 2000) std::this_thread::sleep_for(Ms(1));
    ASSERT_EQ(port.InputQueued(), 5u);

    ErrorCounts e;
    ASSERT_EQ(port.ClearErrors(e), ERROR_SUCCESS);
    EXPECT_EQ(e.in_queue, 5u);
    EXPECT_EQ(e.out_queue, 0u);
    EXPECT_EQ(e.errors, 0u);
    EXPECT_FALSE(e.counters);  // pseudo-terminals keep no line-error counters

    ASSERT_EQ(port.Purge(true, true), ERROR_SUCCESS);
    EXPECT_EQ(port.InputQueued(), 0u);
    EXPECT_EQ(ReadAll(port, 10), "");
    ASSERT_TRUE(pty_.WriteFar("6"));
    start = std::chrono::steady_clock::now();
    while (port.InputQueued() < 1 && SinceMs(start) < 2000) std::this_thread::sleep_for(Ms(1));
    EXPECT_EQ(ReadAll(port, 10), "6");
    EXPECT_EQ(port.Drain(), ERROR_SUCCESS);
    EXPECT_EQ(port.OutputQueued(), 0u);
}

// ---- read and write time-outs ----

TEST_F(SerialTest, ImmediateReadReturnsWhatIsBufferedAtOnce) {
    SerialPort port;
    OpenPort(port, kImmediate);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAll(port, 10), "");
    EXPECT_LT(SinceMs(start), 50);

    ASSERT_TRUE(pty_.WriteFar("abc"));
    std::this_thread::sleep_for(Ms(20));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAll(port, 10), "abc");
    EXPECT_LT(SinceMs(start), 50);
}

TEST_F(SerialTest, TotalTimeoutEndsAnEmptyRead) {
    SerialPort port;
    OpenPort(port, Timeouts{MAXDWORD, 0, 150, 0, 0});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAll(port, 10), "");
    int64_t ms = SinceMs(start);
    EXPECT_GE(ms, 145);
    EXPECT_LT(ms, 1500);

    // Multiplier × size + constant: 10 × 10 + 20.
    ASSERT_EQ(port.SetTimeouts(Timeouts{0, 10, 20, 0, 0}), ERROR_SUCCESS);
    ASSERT_TRUE(pty_.WriteFar("xy"));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAll(port, 10), "xy");  // a time-out returns what came, without error
    ms = SinceMs(start);
    EXPECT_GE(ms, 115);
    EXPECT_LT(ms, 1500);
}

TEST_F(SerialTest, FullReadReturnsBeforeItsTimeout) {
    SerialPort port;
    OpenPort(port, Timeouts{0, 0, 3000, 0, 0});
    std::thread far([this] {
        std::this_thread::sleep_for(Ms(30));
        pty_.WriteFar("ab");
        std::this_thread::sleep_for(Ms(30));
        pty_.WriteFar("cd");
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAll(port, 4), "abcd");
    EXPECT_LT(SinceMs(start), 1500);
    far.join();
}

TEST_F(SerialTest, AnyByteRuleReturnsOnTheFirstByteElseAfterTheConstant) {
    SerialPort port;
    OpenPort(port, Timeouts{MAXDWORD, MAXDWORD, 400, 0, 0});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAll(port, 10), "");
    int64_t ms = SinceMs(start);
    EXPECT_GE(ms, 390);
    EXPECT_LT(ms, 2000);

    std::thread far([this] {
        std::this_thread::sleep_for(Ms(40));
        pty_.WriteFar("Z");
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadAll(port, 10), "Z");
    EXPECT_LT(SinceMs(start), 350);
    far.join();
}

TEST_F(SerialTest, IntervalTimeoutEndsAReadAtAGapButNotBeforeTheFirstByte) {
    SerialPort port;
    OpenPort(port, Timeouts{60, 0, 0, 0, 0});
    std::atomic<int64_t> written_at{0};  // steady-clock ms just before "ab" went out
    auto start = std::chrono::steady_clock::now();
    std::thread far([&] {
        std::this_thread::sleep_for(Ms(150));  // longer than the interval: the timer waits
        written_at = SinceMs(start);
        pty_.WriteFar("ab");
        std::this_thread::sleep_for(Ms(600));
        pty_.WriteFar("cd");
    });
    EXPECT_EQ(ReadAll(port, 10), "ab");
    int64_t ms = SinceMs(start);
    EXPECT_GE(ms, 150 + 58);
    EXPECT_GE(ms - written_at, 58);  // the gap after the last byte, not less
    EXPECT_LT(ms, 150 + 500);
    EXPECT_EQ(ReadAll(port, 2), "cd");  // blocks for the rest: no total time-out
    far.join();
}

TEST_F(SerialTest, WriteTimeoutReturnsAShortCountWhenTheLineIsStuck) {
    SerialPort port;
    OpenPort(port, Timeouts{MAXDWORD, 0, 0, 0, 120});
    std::string big(4 << 20, 'x');  // far more than the pseudo-terminal buffers; nobody reads
    uint32_t n = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Write(big.data(), static_cast<uint32_t>(big.size()), n), ERROR_SUCCESS);
    int64_t ms = SinceMs(start);
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, big.size());
    EXPECT_GE(ms, 115);
    EXPECT_LT(ms, 2000);
}

// ---- a vanished device ----

TEST_F(SerialTest, FarEndClosingFailsABlockedReadPromptly) {
    SerialPort port;
    OpenPort(port, Timeouts{});  // no time-outs: only the hang-up can end the read
    std::thread far([this] {
        std::this_thread::sleep_for(Ms(50));
        pty_.CloseFar();
    });
    char buf[8];
    uint32_t got = 99;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Read(buf, sizeof buf, got), ERROR_GEN_FAILURE);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(SinceMs(start), 2000);
    far.join();
}

TEST_F(SerialTest, AfterTheFarEndClosedReadAndWriteFailInsteadOfStayingSilent) {
    SerialPort port;
    OpenPort(port, kImmediate);
    pty_.CloseFar();
    char buf[8];
    uint32_t n = 99;
    EXPECT_EQ(port.Read(buf, sizeof buf, n), ERROR_GEN_FAILURE);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(port.SetTimeouts(Timeouts{MAXDWORD, MAXDWORD, 100, 0, 0}), ERROR_SUCCESS);
    EXPECT_EQ(port.Read(buf, sizeof buf, n), ERROR_GEN_FAILURE);
    EXPECT_EQ(port.Write("HxyE", 4, n), ERROR_GEN_FAILURE);
    EXPECT_EQ(n, 0u);
}

}  // namespace
