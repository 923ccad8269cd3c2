#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/System.h"

namespace platform {
namespace {

constexpr std::uint64_t kNoDeadline = std::numeric_limits<std::uint64_t>::max();
// Largest block handed to the TLS engine at once, so its output stays small.
constexpr std::size_t kTlsPieceSize = 16 * 1024;

std::uint64_t deadlineAfter(std::uint32_t timeoutMs) {
    return timeoutMs == TcpSocket::kNoTimeout ? kNoDeadline : deadlineAfterMs(timeoutMs);
}

PlatformError timedOut(const std::string& call) {
    return errnoError(call, ETIMEDOUT);
}

PlatformError aborted(const std::string& call) {
    return errnoError(call, ECANCELED);
}

}  // namespace

std::string SocketAddress::text() const {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (storage.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&storage);
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        port = ntohs(a->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto* a = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

Result<std::vector<SocketAddress>> systemLookup(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        const std::string reason = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        return PlatformError{EHOSTUNREACH, "getaddrinfo " + host + ": " + reason};
    }
    std::vector<SocketAddress> addresses;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) &&
            a->ai_addrlen <= sizeof(sockaddr_storage)) {
            SocketAddress address;
            std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
            address.length = a->ai_addrlen;
            addresses.push_back(address);
        }
    }
    ::freeaddrinfo(found);
    return addresses;
}

Result<std::vector<SocketAddress>> lookupHost(const std::string& host, std::uint16_t port,
                                              std::uint32_t timeoutMs, const HostLookup& lookup,
                                              int abortFd) {
    // The answer is shared with the lookup thread, which may outlive this call; the thread
    // signals it through an event descriptor, so that one poll waits for it and for an abort.
    struct Answer {
        std::mutex mutex;
        std::optional<Result<std::vector<SocketAddress>>> result;
        int ready = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ~Answer() {
            if (ready >= 0) {
                ::close(ready);
            }
        }
    };
    auto answer = std::make_shared<Answer>();
    if (answer->ready < 0) {
        return errnoError("eventfd");
    }
    std::thread([answer, host, port, lookup] {
        Result<std::vector<SocketAddress>> result = lookup(host, port);
        std::lock_guard lock(answer->mutex);
        answer->result.emplace(std::move(result));
        const std::uint64_t one = 1;
        (void)!::write(answer->ready, &one, sizeof one);
    }).detach();
    const std::uint64_t deadline = deadlineAfter(timeoutMs);
    for (;;) {
        {
            std::lock_guard lock(answer->mutex);
            if (answer->result.has_value()) {
                return *answer->result;
            }
        }
        int waitMs = -1;
        if (deadline != kNoDeadline) {
            const std::uint64_t now = tickCountMs();
            if (now >= deadline) {
                return timedOut("getaddrinfo " + host);
            }
            waitMs = static_cast<int>(std::min<std::uint64_t>(deadline - now, 1u << 30));
        }
        pollfd p[2] = {{answer->ready, POLLIN, 0}, {abortFd, POLLIN, 0}};
        const int n = ::poll(p, abortFd >= 0 ? 2 : 1, waitMs);
        if (n < 0 && errno != EINTR) {
            return errnoError("getaddrinfo " + host);
        }
        if (abortFd >= 0 && (p[1].revents & POLLIN) != 0) {
            return aborted("getaddrinfo " + host);
        }
    }
}

TcpSocket::~TcpSocket() {
    close();
}

void TcpSocket::close() {
    if (m_fd >= 0 && m_tls != nullptr) {
        // The closing alert, if the stream takes it at once.
        m_tls->shutdown();
        const std::string alert = m_tls->takeOutput();
        (void)::send(m_fd, alert.data(), alert.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    m_tls.reset();
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
            waitMs =
                now >= deadlineMs ? 0 : static_cast<int>(std::min<std::uint64_t>(deadlineMs - now, 1u << 30));
        }
        pollfd p[2] = {{m_fd, events, 0}, {m_abortFd, POLLIN, 0}};
        const int n = ::poll(p, m_abortFd >= 0 ? 2 : 1, waitMs);
        if (m_abortFd >= 0 && n > 0 && (p[1].revents & POLLIN) != 0) {
            return aborted(call);
        }
        if (n > 0) {
            return true;  // ready, or an error that the following call reports
        }
        if (n < 0 && errno != EINTR) {
            return errnoError(call);
        }
        if (deadlineMs != kNoDeadline && tickCountMs() >= deadlineMs) {
            return timedOut(call);
        }
    }
}

Result<bool> TcpSocket::connect(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs) {
    const std::uint64_t deadline = deadlineAfter(timeoutMs);
    const auto addresses = lookupHost(host, port, timeoutMs, systemLookup, m_abortFd);
    if (!addresses) {
        return addresses.error();
    }
    if (addresses.value().empty()) {
        return PlatformError{EHOSTUNREACH, "connect " + host + ": the name has no address"};
    }
    const std::uint64_t now = tickCountMs();
    if (deadline != kNoDeadline && now >= deadline) {
        return timedOut("connect " + host);
    }
    const auto left = deadline == kNoDeadline ? kNoTimeout : static_cast<std::uint32_t>(deadline - now);
    const Result<bool> connected = connect(addresses.value(), left);
    if (!connected) {
        return PlatformError{connected.error().code, "connect " + host + ": " + connected.error().what};
    }
    return true;
}

Result<bool> TcpSocket::connect(const std::vector<SocketAddress>& addresses, std::uint32_t timeoutMs) {
    close();
    const std::uint64_t deadline = deadlineAfter(timeoutMs);
    PlatformError last{EHOSTUNREACH, "no address to connect to"};
    std::string tried;
    for (const SocketAddress& address : addresses) {
        const Result<bool> connected = connectOne(address, deadline);
        if (connected) {
            return true;
        }
        last = connected.error();
        tried += (tried.empty() ? "" : "; ") + last.what;
        if (last.code == ETIMEDOUT || last.code == ECANCELED) {
            break;  // the time is spent, or the caller gave up
        }
    }
    return PlatformError{last.code, tried.empty() ? last.what : tried};
}

Result<bool> TcpSocket::connectOne(const SocketAddress& address, std::uint64_t deadlineMs) {
    const std::string call = address.text();
    // Without blocking, so that poll can bound the wait; every later call waits with poll too.
    m_fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) {
        return errnoError(call);
    }
    int err = 0;
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            const Result<bool> ready = waitReady(POLLOUT, deadlineMs, call);
            if (!ready) {
                close();
                return ready.error();
            }
            socklen_t len = sizeof err;
            ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len);
        }
    }
    if (err != 0) {
        close();
        return errnoError(call, err);
    }
    return true;
}

Result<bool> TcpSocket::startTls(const TlsSettings& settings, std::uint32_t timeoutMs) {
    if (m_fd < 0 || m_tls != nullptr) {
        return errnoError("TLS handshake", m_fd < 0 ? EBADF : EISCONN);
    }
    auto client = TlsClient::create(settings);
    if (!client) {
        return client.error();
    }
    m_tls = std::move(client.value());
    const auto done =
        driveTls([this] { return m_tls->handshake(); }, deadlineAfter(timeoutMs), "TLS handshake");
    if (!done || done.value() != TlsClient::Status::Done) {
        const PlatformError error =
            done ? PlatformError{ECONNRESET, "TLS handshake: the server closed the connection"}
                 : done.error();
        m_tls.reset();  // nothing may follow in the clear
        close();
        return error;
    }
    return true;
}

Result<bool> TcpSocket::flushTls(std::uint64_t deadlineMs) {
    const std::string out = m_tls->takeOutput();
    if (out.empty()) {
        return true;
    }
    const auto sent = sendPlain(out.data(), out.size(), deadlineMs, 0);
    if (!sent) {
        return sent.error();
    }
    return true;
}

Result<TlsClient::Status> TcpSocket::driveTls(const std::function<TlsClient::Status()>& step,
                                              std::uint64_t deadlineMs, const std::string& call) {
    for (;;) {
        const TlsClient::Status status = step();
        const Result<bool> flushed = flushTls(deadlineMs);
        if (!flushed) {
            return flushed.error();
        }
        if (status == TlsClient::Status::Failed) {
            return PlatformError{ECONNABORTED, call + ": " + m_tls->failure()};
        }
        if (status != TlsClient::Status::WantInput) {
            return status;
        }
        char buffer[kTlsPieceSize];
        const auto received = receivePlain(buffer, sizeof buffer, deadlineMs, 0);
        if (!received) {
            return received.error();
        }
        if (received.value() == 0) {
            return TlsClient::Status::Closed;
        }
        m_tls->feed(buffer, received.value());
    }
}

Result<std::size_t> TcpSocket::sendAll(const void* data, std::size_t length, std::uint32_t timeoutMs,
                                       int flags) {
    const std::uint64_t deadline = deadlineAfter(timeoutMs);
    if (m_tls == nullptr) {
        return sendPlain(data, length, deadline, flags);
    }
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < length) {
        const std::size_t piece = std::min(kTlsPieceSize, length - sent);
        std::size_t written = 0;
        const auto done =
            driveTls([&] { return m_tls->write(bytes + sent, piece, written); }, deadline, "send");
        if (!done) {
            return done.error();
        }
        if (done.value() != TlsClient::Status::Done) {
            return errnoError("send", EPIPE);
        }
        sent += written;
    }
    return sent;
}

Result<std::size_t> TcpSocket::sendPlain(const void* data, std::size_t length, std::uint64_t deadlineMs,
                                         int flags) {
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < length) {
        if (m_fd < 0) {
            return errnoError("send", EBADF);
        }
        const Result<bool> ready = waitReady(POLLOUT, deadlineMs, "send");
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
    return receiveUntil(buffer, capacity, deadlineAfter(timeoutMs), flags);
}

Result<std::size_t> TcpSocket::receiveNow(void* buffer, std::size_t capacity) {
    // A deadline already reached: whatever is there, without waiting.
    return receiveUntil(buffer, capacity, tickCountMs(), 0);
}

Result<std::size_t> TcpSocket::unacknowledged() const {
    if (m_fd < 0) {
        return errnoError("SIOCOUTQ", EBADF);
    }
    int queued = 0;
    if (::ioctl(m_fd, SIOCOUTQ, &queued) != 0) {
        return errnoError("SIOCOUTQ");
    }
    return static_cast<std::size_t>(std::max(queued, 0));
}

Result<bool> TcpSocket::waitAcknowledged(std::uint32_t stallTimeoutMs) {
    // The kernel tells no event for an emptied send queue, so it is looked at in short steps,
    // growing while it drains slowly.
    constexpr int kFirstStepMs = 1;
    constexpr int kLongestStepMs = 20;
    std::size_t last = std::numeric_limits<std::size_t>::max();
    std::uint64_t deadline = kNoDeadline;
    for (int stepMs = kFirstStepMs;; stepMs = std::min(stepMs * 2, kLongestStepMs)) {
        const auto queued = unacknowledged();
        if (!queued) {
            return queued.error();
        }
        if (queued.value() == 0) {
            return true;
        }
        if (queued.value() < last) {
            last = queued.value();
            deadline = deadlineAfter(stallTimeoutMs);
        } else if (deadline != kNoDeadline && tickCountMs() >= deadline) {
            return timedOut("send");
        }
        pollfd p{m_abortFd, POLLIN, 0};
        if (::poll(&p, m_abortFd >= 0 ? 1 : 0, stepMs) > 0) {
            return aborted("send");
        }
    }
}

Result<std::size_t> TcpSocket::receiveUntil(void* buffer, std::size_t capacity, std::uint64_t deadlineMs,
                                            int flags) {
    if (m_tls == nullptr) {
        return receivePlain(buffer, capacity, deadlineMs, flags);
    }
    std::size_t got = 0;
    const auto done = driveTls([&] { return m_tls->read(buffer, capacity, got); }, deadlineMs, "recv");
    if (!done) {
        return done.error();
    }
    return done.value() == TlsClient::Status::Done ? got : 0;
}

Result<std::size_t> TcpSocket::receivePlain(void* buffer, std::size_t capacity, std::uint64_t deadlineMs,
                                            int flags) {
    for (;;) {
        if (m_fd < 0) {
            return errnoError("recv", EBADF);
        }
        const Result<bool> ready = waitReady(POLLIN, deadlineMs, "recv");
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
