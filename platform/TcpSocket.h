#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Result.h"

namespace platform {

// A blocking IPv4 TCP stream whose connect, sends and receives can each be bounded by a
// time-out (poll underneath). A time-out is reported as a PlatformError with code ETIMEDOUT;
// kNoTimeout waits as long as the peer takes. Owns its descriptor; closed on destruction.
class TcpSocket {
public:
    static constexpr std::uint32_t kNoTimeout = 0;

    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Makes the stream socket; false result never occurs, failures come as errors.
    Result<bool> open();

    // Resolves host (name or dotted address) and connects, giving up after timeoutMs.
    Result<bool> connect(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs);

    // Sends the whole block (flags as for send(2)); the time-out bounds the whole call.
    // Returns the byte count, which is length unless an error is returned.
    Result<std::size_t> sendAll(const void* data, std::size_t length, std::uint32_t timeoutMs, int flags = 0);

    // One receive of at most capacity bytes; 0 means the peer closed the stream.
    Result<std::size_t> receive(void* buffer, std::size_t capacity, std::uint32_t timeoutMs, int flags = 0);

    void close();
    bool isOpen() const { return m_fd >= 0; }

private:
    // Waits until the descriptor is ready for events or the deadline passes (ETIMEDOUT).
    Result<bool> waitReady(short events, std::uint64_t deadlineMs, const std::string& call);

    int m_fd = -1;
};

}  // namespace platform
