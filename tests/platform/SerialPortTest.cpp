#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "platform/SerialPort.h"
#include "platform/System.h"

namespace {

// A serial port on the far side of a pseudo-terminal whose master end the test drives.
struct PtyPort {
    int master = -1;
    std::unique_ptr<platform::SerialPort> port;
    ~PtyPort() {
        port.reset();
        if (master >= 0) {
            ::close(master);
        }
    }
};

void openPtyPort(std::uint32_t readTimeoutMs, PtyPort& pty) {
    pty.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(pty.master, 0);
    ASSERT_EQ(::grantpt(pty.master), 0);
    ASSERT_EQ(::unlockpt(pty.master), 0);
    char name[128];
    ASSERT_EQ(::ptsname_r(pty.master, name, sizeof name), 0);
    platform::SerialSettings settings;
    settings.readTimeoutMs = readTimeoutMs;
    auto opened = platform::SerialPort::open(name, settings);
    ASSERT_TRUE(opened) << opened.error().what;
    pty.port = std::move(opened.value());
}

TEST(SerialPort, MovesBytesUnchangedAndBoundsAReadByItsTimeOut) {
    PtyPort pty;
    ASSERT_NO_FATAL_FAILURE(openPtyPort(100, pty));
    auto& port = *pty.port;
    const int master = pty.master;

    // Raw mode: CR, LF and control bytes pass as they are, in both directions.
    const std::uint8_t out[] = {'A', '\r', '\n', 0x03, 0x00, 0xFF};
    const auto written = port.write(out);
    ASSERT_TRUE(written);
    EXPECT_EQ(written.value(), sizeof out);
    std::uint8_t seen[sizeof out] = {};
    ASSERT_EQ(::read(master, seen, sizeof seen), static_cast<ssize_t>(sizeof seen));
    EXPECT_TRUE(std::equal(std::begin(out), std::end(out), seen));

    ASSERT_EQ(::write(master, "12\r\n", 4), 4);
    std::uint8_t in[8] = {};
    const auto start = platform::tickCountMs();
    const auto read = port.read(in);
    ASSERT_TRUE(read);
    EXPECT_EQ(read.value(), 4u);  // fewer than asked: the time-out ended the read
    EXPECT_GE(platform::tickCountMs() - start, 90u);
    EXPECT_EQ(in[2], '\r');
    EXPECT_EQ(in[3], '\n');
}

TEST(SerialPort, ASignalWhileWaitingDoesNotCutAReadShort) {
    PtyPort pty;
    ASSERT_NO_FATAL_FAILURE(openPtyPort(2000, pty));
    const int master = pty.master;

    // A handler without SA_RESTART, so the signal interrupts the read's wait.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    const pthread_t reader = ::pthread_self();
    std::thread peer([&] {
        platform::sleepMs(50);
        ::pthread_kill(reader, SIGUSR1);
        platform::sleepMs(100);
        (void)::write(master, "ABCD", 4);
    });
    std::uint8_t in[4] = {};
    const auto read = pty.port->read(in);
    peer.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(read.value(), 4u);
    EXPECT_EQ(in[3], 'D');
}

TEST(SerialPort, AMissingPortIsAnErrorNamingIt) {
    const auto opened = platform::SerialPort::open("/dev/no-such-port");
    ASSERT_FALSE(opened);
    EXPECT_NE(opened.error().what.find("/dev/no-such-port"), std::string::npos);
}

}  // namespace
