#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "platform/System.h"

namespace platform {
namespace {

constexpr std::uint64_t kNoDeadline = std::numeric_limits<std::uint64_t>::max();

std::uint64_t deadlineAfter(std::uint32_t timeoutMs) {
    return timeoutMs == TcpSocket::kNoTimeout ? kNoDeadline : tickCountMs() + timeoutMs;
}

PlatformError timedOut(const std::string& call) {
    return errnoError(call, ETIMEDOUT);
}

}  // namespace

TcpSocket::~TcpSocket() {
    close();
}

Result<bool> TcpSocket::open() {
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        return errnoError("socket");
    }
    return true;
}

void TcpSocket::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

Result<bool> TcpSocket::waitReady(short events, std::uint64_t deadlineMs, const std::string& call) {
    for (;;) {
        int waitMs = -1;
        if (deadlineMs != kNoDeadline) {
            const std::uint64_t now = tickCountMs();
            if (now >= deadlineMs) {
                return timedOut(call);
            }
            waitMs = static_cast<int>(std::min<std::uint64_t>(deadlineMs - now, 1u << 30));
        }
        pollfd p{m_fd, events, 0};
        const int n = ::poll(&p, 1, waitMs);
        if (n > 0) {
            return true;  // ready, or an error that the following call reports
        }
        if (n < 0 && errno != EINTR) {
            return errnoError(call);
        }
    }
}

Result<bool> TcpSocket::connect(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs) {
    const std::string call = "connect " + host + ":" + std::to_string(port);
    if (m_fd < 0) {
        return errnoError(call, EBADF);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        return PlatformError{EHOSTUNREACH, "getaddrinfo " + host + ": " + ::gai_strerror(rc)};
    }
    sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::freeaddrinfo(found);
    address.sin_port = htons(port);

    // Connect without blocking so that poll can bound the wait, then go back to blocking mode.
    const int flags = ::fcntl(m_fd, F_GETFL);
    ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            const Result<bool> ready = waitReady(POLLOUT, deadlineAfter(timeoutMs), call);
            if (!ready) {
                ::fcntl(m_fd, F_SETFL, flags);
                return ready.error();
            }
            socklen_t len = sizeof err;
            ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len);
        }
    }
    ::fcntl(m_fd, F_SETFL, flags);
    if (err != 0) {
        return errnoError(call, err);
    }
    return true;
}

Result<std::size_t> TcpSocket::sendAll(const void* data, std::size_t length, std::uint32_t timeoutMs,
                                       int flags) {
    const std::uint64_t deadline = deadlineAfter(timeoutMs);
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < length) {
        if (m_fd < 0) {
            return errnoError("send", EBADF);
        }
        const Result<bool> ready = waitReady(POLLOUT, deadline, "send");
        if (!ready) {
            return ready.error();
        }
        const ssize_t n = ::send(m_fd, bytes + sent, length - sent, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return errnoError("send");
        }
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

Result<std::size_t> TcpSocket::receive(void* buffer, std::size_t capacity, std::uint32_t timeoutMs,
                                       int flags) {
    const std::uint64_t deadline = deadlineAfter(timeoutMs);
    for (;;) {
        if (m_fd < 0) {
            return errnoError("recv", EBADF);
        }
        const Result<bool> ready = waitReady(POLLIN, deadline, "recv");
        if (!ready) {
            return ready.error();
        }
        const ssize_t n = ::recv(m_fd, buffer, capacity, flags | MSG_DONTWAIT);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return errnoError("recv");
        }
    }
}

}  // namespace platform
