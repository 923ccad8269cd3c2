#include "FakeSmtpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

LoopbackListener::LoopbackListener(int backlog, bool ipv6) {
    m_fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_fd, backlog) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    m_port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

int LoopbackListener::accept(std::uint32_t timeoutMs) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeoutMs)) <= 0) {
        return -1;
    }
    return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

void LoopbackListener::setReceiveBuffer(int bytes) {
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool sendAllTo(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

FakeReply FakeSmtpServer::standardReply(const std::string& command) {
    if (command.rfind("EHLO", 0) == 0) {
        return FakeReply::text("250-fake greets you\r\n250-SIZE 10000000\r\n250 AUTH LOGIN\r\n");
    }
    if (command == "AUTH LOGIN") {
        return FakeReply::text("334 VXNlcm5hbWU6\r\n");
    }
    if (command == "DATA") {
        return FakeReply::text("354 go ahead\r\n");
    }
    if (command == "QUIT") {
        return FakeReply{{"221 bye\r\n"}, 0, 0, true};
    }
    if (command.rfind("MAIL FROM:", 0) == 0 || command.rfind("RCPT TO:", 0) == 0 || command == "<data>") {
        return FakeReply::text("250 OK\r\n");
    }
    // The two AUTH LOGIN lines: the user name is answered with 334, the password with 235. Each
    // server runs on a thread of its own, so the count starts anew for each.
    static thread_local int authLines = 0;
    return FakeReply::text(++authLines % 2 == 1 ? "334 UGFzc3dvcmQ6\r\n" : "235 accepted\r\n");
}

FakeSmtpServer::FakeSmtpServer(Script script, FakeReply greeting, EarlyReply early,
                               std::uint32_t readBytesPerSecond)
    : m_script(std::move(script)),
      m_greeting(std::move(greeting)),
      m_early(std::move(early)),
      m_readBytesPerSecond(readBytesPerSecond) {
    if (m_readBytesPerSecond > 0) {
        // What the server has not read stays in the client's send queue; by default the kernel
        // would take megabytes of it in.
        m_listener.setReceiveBuffer(16 * 1024);
    }
    m_thread = std::thread([this] { run(); });
}

FakeSmtpServer::~FakeSmtpServer() {
    waitDone();
}

void FakeSmtpServer::waitDone() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::vector<std::string> FakeSmtpServer::commands() const {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::string FakeSmtpServer::data() const {
    std::lock_guard lock(m_mutex);
    return m_data;
}

std::string FakeSmtpServer::received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
}

bool FakeSmtpServer::reply(int fd, const FakeReply& reply) {
    std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
    for (std::size_t i = 0; i < reply.chunks.size(); ++i) {
        if (i > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.gapMs));
        }
        if (!sendAllTo(fd, reply.chunks[i])) {
            return false;
        }
    }
    return !reply.close;
}

void FakeSmtpServer::run() {
    const int fd = m_listener.accept(10000);
    if (fd < 0) {
        return;
    }
    m_connected = true;
    std::string pending;
    bool inData = false;
    std::size_t searched = 0;  // data already searched for the early reply's text
    bool open = reply(fd, m_greeting);
    while (open) {
        // The data ends with a line holding "." alone; commands end with their line.
        const std::size_t end = inData ? pending.find("\r\n.\r\n") : pending.find("\r\n");
        if (end == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            char buffer[65536];
            const ssize_t n = ::poll(&p, 1, 15000) > 0 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
            // Acknowledged at once: the client waits for the acknowledgement of its data before
            // it ends the data, and a delayed one (40 ms) would only slow the tests down.
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            if (n <= 0) {
                break;
            }
            if (m_readBytesPerSecond > 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(static_cast<std::uint64_t>(n) *
                                                                      1000000 / m_readBytesPerSecond));
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            {
                std::lock_guard lock(m_mutex);
                m_received.append(buffer, static_cast<std::size_t>(n));
            }
            if (inData && !m_early.seen.empty() &&
                pending.find(m_early.seen, searched) != std::string::npos) {
                m_early.seen.clear();
                open = reply(fd, m_early.reply);
            }
            searched = pending.size() - std::min(pending.size(), m_early.seen.size());
            continue;
        }
        std::string command;
        if (inData) {
            std::lock_guard lock(m_mutex);
            m_data = pending.substr(0, end + 5);
            pending.erase(0, end + 5);
            command = "<data>";
            inData = false;
        } else {
            command = pending.substr(0, end);
            pending.erase(0, end + 2);
        }
        searched = 0;
        {
            std::lock_guard lock(m_mutex);
            m_commands.push_back(command);
        }
        const FakeReply answer = m_script(command);
        std::string answerText;
        for (const std::string& chunk : answer.chunks) {
            answerText += chunk;
        }
        inData = command == "DATA" && answerText.rfind("354", 0) == 0;
        open = reply(fd, answer);
    }
    ::close(fd);
}
