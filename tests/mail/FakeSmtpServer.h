#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A listening TCP socket on 127.0.0.1 (or ::1) and a free port, for tests that play the peer.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 4, bool ipv6 = false);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int port() const { return m_port; }
    // Accepts one connection within timeoutMs; its descriptor (the caller closes it) or -1.
    int accept(std::uint32_t timeoutMs);
    // Gives the connections accepted later a kernel receive buffer of about this size, so that
    // what this side has not read yet stays in the peer's send queue, unacknowledged.
    void setReceiveBuffer(int bytes);

private:
    int m_fd = -1;
    int m_port = 0;
};

// Sends all bytes to the descriptor; false when the peer is gone.
bool sendAllTo(int fd, const std::string& bytes);

// What the scripted server does in answer to one command.
struct FakeReply {
    std::vector<std::string> chunks;  // sent in order, each by its own write
    std::uint32_t delayMs = 0;        // before the first chunk
    std::uint32_t gapMs = 0;          // between chunks
    bool close = false;               // close the connection after the chunks

    static FakeReply text(const std::string& reply) { return FakeReply{{reply}}; }
};

// A reply the scripted server sends during the message data, once, as soon as the data it has
// received holds the text seen.
struct EarlyReply {
    std::string seen;  // empty: none
    FakeReply reply;
};

// A scripted SMTP peer for what a real server will not do: it accepts one connection, sends the
// greeting, then answers each command line (and the whole message data, as the command
// "<data>") with what the script returns. It records every byte it received. With a read rate it
// reads at most that many bytes a second, through a small receive buffer.
class FakeSmtpServer {
public:
    using Script = std::function<FakeReply(const std::string& command)>;

    // Answers like a willing server with AUTH LOGIN: 220, 250, 334, 334, 235, 250..., 354, 250, 221.
    static FakeReply standardReply(const std::string& command);

    explicit FakeSmtpServer(Script script = standardReply,
                            FakeReply greeting = FakeReply::text("220 fake ready\r\n"), EarlyReply early = {},
                            std::uint32_t readBytesPerSecond = 0);
    ~FakeSmtpServer();
    FakeSmtpServer(const FakeSmtpServer&) = delete;
    FakeSmtpServer& operator=(const FakeSmtpServer&) = delete;

    int port() const { return m_listener.port(); }
    // Waits until the conversation has ended (peer closed, or the script closed it).
    void waitDone();
    // Command lines received, without CR LF; the message data shows as "<data>".
    std::vector<std::string> commands() const;
    // The message data as received, from after the 354 reply through the final ".\r\n".
    std::string data() const;
    // Every byte received, in order.
    std::string received() const;
    bool connected() const { return m_connected; }

private:
    void run();
    bool reply(int fd, const FakeReply& reply);

    LoopbackListener m_listener;
    Script m_script;
    FakeReply m_greeting;
    EarlyReply m_early;
    std::uint32_t m_readBytesPerSecond;  // 0: as fast as it comes
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_commands;
    std::string m_data;
    std::string m_received;
    std::atomic<bool> m_connected{false};
};
