#include "mail/CSocketX.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeSmtpServer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Elapsed time without dropping fractions, so that a time-out shorter than asked shows.
double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A CSocketX connected to a peer descriptor the test writes to.
class CSocketXTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_socket.Create());
        ASSERT_TRUE(m_socket.Connect("127.0.0.1", m_listener.port(), 2000));
        m_peer = m_listener.accept(2000);
        ASSERT_GE(m_peer, 0);
    }
    void TearDown() override {
        if (m_peer >= 0) {
            ::close(m_peer);
        }
    }
    // Writes the bytes from another thread after delayMs.
    void sendLater(const std::string& bytes, int delayMs) {
        m_writer = std::make_unique<std::jthread>([this, bytes, delayMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            sendAllTo(m_peer, bytes);
        });
    }

    LoopbackListener m_listener;
    CSocketX m_socket;
    int m_peer = -1;
    std::unique_ptr<std::jthread> m_writer;
};

TEST_F(CSocketXTest, TimedReceiveFailsWithTimeOutWhenNothingArrives) {
    std::string reply = "stale";
    const auto start = Clock::now();
    EXPECT_EQ(m_socket.ReceiveWithTimeout(reply, 200, 0), SOCKET_ERROR);
    EXPECT_GE(msSince(start), 200.0);
    EXPECT_EQ(m_socket.GetLastError(), WSAETIMEDOUT);
    EXPECT_EQ(reply, "");
    // The socket stays usable: a later answer is read.
    sendLater("220 late\r\n", 0);
    EXPECT_EQ(m_socket.ReceiveWithTimeout(reply, 2000, 0), 10);
    EXPECT_EQ(reply, "220 late\r\n");
}

TEST_F(CSocketXTest, AnswerWithinTheTimeOutIsRead) {
    sendLater("250 OK\r\n", 150);
    std::string reply;
    EXPECT_EQ(m_socket.ReceiveWithTimeout(reply, 3000, 0), 8);
    EXPECT_EQ(reply, "250 OK\r\n");
}

TEST_F(CSocketXTest, OneReceiveTakesAtMost256BytesAndKeepsEveryByteIncludingNul) {
    const std::string block = std::string(256, 'a') + std::string("b\0c", 3);
    ASSERT_TRUE(sendAllTo(m_peer, block));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string reply;
    EXPECT_EQ(m_socket.ReceiveWithTimeout(reply, 1000, 0), 256);
    EXPECT_EQ(reply, std::string(256, 'a'));
    EXPECT_EQ(m_socket.ReceiveWithTimeout(reply, 1000, 0), 3);
    EXPECT_EQ(reply, std::string("b\0c", 3));
}

TEST_F(CSocketXTest, PeerClosingGivesZeroAndAnEmptyReply) {
    ::close(m_peer);
    m_peer = -1;
    std::string reply = "stale";
    EXPECT_EQ(m_socket.ReceiveWithTimeout(reply, 1000, 0), 0);
    EXPECT_EQ(reply, "");
    std::string line = "stale";
    EXPECT_EQ(m_socket.ReceiveLine(line, 1000), 0);
    EXPECT_EQ(line, "");
}

TEST_F(CSocketXTest, LinesAreAssembledFromPiecesAndTheRestIsKept) {
    m_writer = std::make_unique<std::jthread>([this] {
        for (const char* piece : {"25", "0-first\r", "\n250 second\r\n220 ne", "xt\r\n"}) {
            sendAllTo(m_peer, piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    std::string line;
    EXPECT_EQ(m_socket.ReceiveLine(line, 2000), 11);
    EXPECT_EQ(line, "250-first");
    EXPECT_EQ(m_socket.ReceiveLine(line, 2000), 12);
    EXPECT_EQ(line, "250 second");
    EXPECT_EQ(m_socket.ReceiveLine(line, 2000), 10);
    EXPECT_EQ(line, "220 next");
}

TEST_F(CSocketXTest, LineReadIsBoundedInTimeAndLength) {
    sendAllTo(m_peer, "250 no line end");
    std::string line;
    EXPECT_EQ(m_socket.ReceiveLine(line, 200), SOCKET_ERROR);
    EXPECT_EQ(m_socket.GetLastError(), WSAETIMEDOUT);
    sendAllTo(m_peer, std::string(CSocketX::kMaxLineSize + 10, 'x'));
    EXPECT_EQ(m_socket.ReceiveLine(line, 2000), SOCKET_ERROR);
    EXPECT_EQ(m_socket.GetLastError(), WSAEMSGSIZE);
}

TEST_F(CSocketXTest, SendsReachThePeerWhole) {
    const std::string big(1 << 20, 'z');
    std::string received;
    std::jthread reader([&] {
        char buffer[65536];
        ssize_t n;
        while (received.size() < big.size() + 6 && (n = ::recv(m_peer, buffer, sizeof buffer, 0)) > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(m_socket.SendWithTimeout("QUIT\r\n", 0, 0), 6);
    EXPECT_EQ(m_socket.SendBuffer(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    reader.join();
    EXPECT_EQ(received, "QUIT\r\n" + big);
}

// WaitSent ends once the peer's side holds every byte sent (read or not), and fails with the
// time-out error when the peer stops taking them.
TEST_F(CSocketXTest, WaitSentEndsWhenThePeerHasEverythingOrStopsTaking) {
    ASSERT_EQ(m_socket.SendWithTimeout("DATA\r\n", 0, 0), 6);
    EXPECT_TRUE(m_socket.WaitSent(2000));
    const std::string big(64 << 20, 'z');
    EXPECT_EQ(m_socket.SendBuffer(big.data(), static_cast<int>(big.size()), 100), SOCKET_ERROR);
    EXPECT_FALSE(m_socket.WaitSent(100));
    EXPECT_EQ(m_socket.GetLastError(), WSAETIMEDOUT);
}

TEST(CSocketXConnectTest, ConnectIsBoundedByItsTimeOut) {
    // A listener whose queue is full drops further connection requests, so connect waits.
    LoopbackListener full(0);
    CSocketX clients[4];
    bool timedOut = false;
    for (CSocketX& client : clients) {
        ASSERT_TRUE(client.Create());
        const auto start = Clock::now();
        if (!client.Connect("127.0.0.1", full.port(), 300)) {
            EXPECT_EQ(client.GetLastError(), WSAETIMEDOUT);
            EXPECT_GE(msSince(start), 300.0);
            timedOut = true;
            break;
        }
    }
    EXPECT_TRUE(timedOut);
}

TEST(CSocketXConnectTest, RefusedConnectionAndUnconnectedSocketFail) {
    int port;
    {
        LoopbackListener gone;
        port = gone.port();
    }
    CSocketX socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("127.0.0.1", port, 2000));
    EXPECT_EQ(socket.GetLastError(), WSAECONNREFUSED);

    CSocketX unconnected;
    std::string reply;
    EXPECT_EQ(unconnected.ReceiveWithTimeout(reply, 100, 0), SOCKET_ERROR);
    EXPECT_EQ(unconnected.SendWithTimeout("x", 100, 0), SOCKET_ERROR);
}

TEST(CSocketXConnectTest, IPv6AddressesAreReached) {
    LoopbackListener listener(4, true);
    if (listener.port() <= 0) {
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    }
    CSocketX socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_TRUE(socket.Connect("::1", listener.port(), 2000)) << socket.GetLastErrorText();
    const int peer = listener.accept(2000);
    EXPECT_GE(peer, 0);
    ::close(peer);
}

// The addresses of a name are tried in order until one answers; each refusal is told.
TEST(CSocketXConnectTest, EveryAddressIsTriedInOrder) {
    LoopbackListener listener;
    const auto port = static_cast<std::uint16_t>(listener.port());
    std::vector<platform::SocketAddress> addresses;
    for (const char* host : {"::1", "127.0.0.2", "127.0.0.1"}) {
        const auto found = platform::systemLookup(host, port);
        ASSERT_TRUE(found && found.value().size() == 1u) << host;
        addresses.push_back(found.value().front());
    }
    platform::TcpSocket socket;
    EXPECT_TRUE(socket.connect(addresses, 2000));
    const int peer = listener.accept(2000);
    EXPECT_GE(peer, 0);
    ::close(peer);

    addresses.pop_back();
    const auto refused = socket.connect(addresses, 2000);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, ECONNREFUSED);
    EXPECT_NE(refused.error().what.find("[::1]:" + std::to_string(port)), std::string::npos)
        << refused.error().what;
    EXPECT_NE(refused.error().what.find("127.0.0.2:" + std::to_string(port)), std::string::npos);
}

// A resolver that holds its answer until the test releases it.
struct StuckResolver {
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool started = false;
        bool released = false;
        bool finished = false;
    };
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();

    ~StuckResolver() { release(); }
    platform::HostLookup lookup() const {
        return [gate = gate](const std::string& host, std::uint16_t port) {
            std::unique_lock lock(gate->mutex);
            gate->started = true;
            gate->changed.notify_all();
            gate->changed.wait(lock, [&] { return gate->released; });
            gate->finished = true;
            return platform::systemLookup(host, port);
        };
    }
    void waitStarted() const {
        std::unique_lock lock(gate->mutex);
        gate->changed.wait(lock, [&] { return gate->started; });
    }
    bool finished() const {
        std::lock_guard lock(gate->mutex);
        return gate->finished;
    }
    void release() const {
        std::lock_guard lock(gate->mutex);
        gate->released = true;
        gate->changed.notify_all();
    }
};

// A resolver that does not answer in time does not hold the connect: the lookup is left behind.
TEST(CSocketXConnectTest, HostLookupIsBoundedByTheConnectTimeOut) {
    const StuckResolver stuck;
    const auto found = platform::lookupHost("localhost", 25, 100, stuck.lookup());
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error().code, ETIMEDOUT);
    EXPECT_FALSE(stuck.finished());
    const auto quick = platform::lookupHost("localhost", 25, 10000, platform::systemLookup);
    ASSERT_TRUE(quick) << quick.error().what;
    EXPECT_FALSE(quick.value().empty());
}

// An abort ends a name lookup that has not answered and a connect that never completes (a
// listener whose queue is full) at once, with ECANCELED rather than their time-out.
TEST(CSocketXConnectTest, AbortCutsTheLookupAndTheConnectShort) {
    const int abortFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(abortFd, 0);
    {
        const StuckResolver stuck;
        std::jthread aborter([&] {
            stuck.waitStarted();
            const std::uint64_t one = 1;
            EXPECT_EQ(::write(abortFd, &one, sizeof one), 8);
        });
        const auto found = platform::lookupHost("localhost", 25, 60000, stuck.lookup(), abortFd);
        ASSERT_FALSE(found);
        EXPECT_EQ(found.error().code, ECANCELED) << found.error().what;
        EXPECT_FALSE(stuck.finished());
    }

    std::uint64_t count = 0;
    ASSERT_EQ(::read(abortFd, &count, sizeof count), 8);
    LoopbackListener full(0);
    CSocketX fillers[4];
    bool queueFull = false;
    for (CSocketX& filler : fillers) {
        ASSERT_TRUE(filler.Create());
        if (!filler.Connect("127.0.0.1", full.port(), 300)) {
            queueFull = true;
            break;
        }
    }
    ASSERT_TRUE(queueFull) << "no connect ever waited";
    const auto address = platform::systemLookup("127.0.0.1", static_cast<std::uint16_t>(full.port()));
    ASSERT_TRUE(address);
    platform::TcpSocket hanging;
    hanging.setAbortHandle(abortFd);
    std::jthread aborter([&] {
        const std::uint64_t one = 1;
        EXPECT_EQ(::write(abortFd, &one, sizeof one), 8);
    });
    const auto connected = hanging.connect(address.value(), 60000);
    ASSERT_FALSE(connected);
    EXPECT_EQ(connected.error().code, ECANCELED) << connected.error().what;
    aborter.join();
    ::close(abortFd);
}

}  // namespace
