#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Result.h"
#include "platform/TlsClient.h"

namespace platform {

// One address of a host, IPv6 or IPv4, with its port.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    // "127.0.0.1:25", "[::1]:25".
    std::string text() const;
};

// Resolves a host name or address literal into its addresses in the resolver's order.
using HostLookup =
    std::function<Result<std::vector<SocketAddress>>(const std::string& host, std::uint16_t port)>;

// The system's resolver (getaddrinfo): every stream address of either family.
Result<std::vector<SocketAddress>> systemLookup(const std::string& host, std::uint16_t port);

// Runs the lookup on a thread of its own and waits at most timeoutMs (kNoTimeout: as long as it
// takes); a lookup that has not answered by then is left to finish unseen and ETIMEDOUT is
// returned. abortFd (-1: none) ends the wait as soon as it is readable, with ECANCELED.
Result<std::vector<SocketAddress>> lookupHost(const std::string& host, std::uint16_t port,
                                              std::uint32_t timeoutMs,
                                              const HostLookup& lookup = systemLookup, int abortFd = -1);

// A blocking TCP stream whose connect, sends and receives can each be bounded by a time-out (poll
// underneath), and which can switch to TLS once connected. A time-out is reported as a
// PlatformError with code ETIMEDOUT; kNoTimeout waits as long as the peer takes. Owns its
// descriptor; closed on destruction.
class TcpSocket {
public:
    static constexpr std::uint32_t kNoTimeout = 0;

    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host (name or address literal) and connects to the first of its addresses that
    // answers, trying them in the resolver's order; the lookup and every attempt together stay
    // within timeoutMs.
    Result<bool> connect(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs);
    // Connects to the first of the addresses that answers, all within timeoutMs.
    Result<bool> connect(const std::vector<SocketAddress>& addresses, std::uint32_t timeoutMs);

    // Runs the TLS handshake as a client within timeoutMs; from then on sends and receives go
    // through TLS. Fails (nothing more can be sent) when the server's certificate is not
    // trusted or does not name settings.hostName.
    Result<bool> startTls(const TlsSettings& settings, std::uint32_t timeoutMs);

    // Sends the whole block (flags as for send(2), plain streams only); the time-out bounds the
    // whole call. Returns the byte count, which is length unless an error is returned.
    Result<std::size_t> sendAll(const void* data, std::size_t length, std::uint32_t timeoutMs, int flags = 0);

    // One receive of at most capacity bytes; 0 means the peer closed the stream.
    Result<std::size_t> receive(void* buffer, std::size_t capacity, std::uint32_t timeoutMs, int flags = 0);
    // The same without waiting: ETIMEDOUT when nothing has arrived.
    Result<std::size_t> receiveNow(void* buffer, std::size_t capacity);

    // Bytes handed to the stream that the peer has not yet acknowledged (the send queue).
    Result<std::size_t> unacknowledged() const;
    // Waits until the peer has acknowledged everything sent so far. The queue must shrink within
    // stallTimeoutMs each time (ETIMEDOUT otherwise), so a peer that stops reading ends the wait
    // while a slow but moving one does not; kNoTimeout waits as long as it takes.
    Result<bool> waitAcknowledged(std::uint32_t stallTimeoutMs);

    void close();
    bool isOpen() const { return m_fd >= 0; }
    // The descriptor, or -1; it stays owned by the socket.
    int nativeHandle() const { return m_fd; }
    // A descriptor (not owned) that becomes readable when the caller gives up: from then on the
    // lookup, the connect and every wait end at once with ECANCELED. -1: none.
    void setAbortHandle(int fd) { m_abortFd = fd; }

private:
    // Waits until the descriptor is ready for events or the deadline passes (ETIMEDOUT); a
    // deadline already past still looks once.
    Result<bool> waitReady(short events, std::uint64_t deadlineMs, const std::string& call);
    Result<bool> connectOne(const SocketAddress& address, std::uint64_t deadlineMs);
    Result<std::size_t> sendPlain(const void* data, std::size_t length, std::uint64_t deadlineMs, int flags);
    Result<std::size_t> receiveUntil(void* buffer, std::size_t capacity, std::uint64_t deadlineMs, int flags);
    Result<std::size_t> receivePlain(void* buffer, std::size_t capacity, std::uint64_t deadlineMs, int flags);
    // Sends what the TLS engine has produced.
    Result<bool> flushTls(std::uint64_t deadlineMs);
    // Repeats step until it is done, handing the engine what the peer sends meanwhile.
    Result<TlsClient::Status> driveTls(const std::function<TlsClient::Status()>& step,
                                       std::uint64_t deadlineMs, const std::string& call);

    int m_fd = -1;
    int m_abortFd = -1;
    std::unique_ptr<TlsClient> m_tls;
};

}  // namespace platform
