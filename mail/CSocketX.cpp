#include "mail/CSocketX.h"

#include <algorithm>
#include <cerrno>

#include "platform/System.h"

namespace {

int winsockError(int err) {
    switch (err) {
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAEBADF;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
            return WSAECONNRESET;
        case ENOTCONN:
            return WSAENOTCONN;
        case EPIPE:
            return WSAESHUTDOWN;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        case ECANCELED:
            return WSAECANCELLED;
        default:
            return err;  // no Windows Sockets counterpart; the text tells what it was
    }
}

}  // namespace

int CSocketX::fail(const platform::PlatformError& error) {
    m_lastError = winsockError(error.code);
    m_lastErrorText = error.what;
    return SOCKET_ERROR;
}

bool CSocketX::Create() {
    Close();
    return true;
}

bool CSocketX::Connect(const std::string& host, int port, std::uint32_t timeoutMs) {
    if (port <= 0 || port > 65535) {
        fail(platform::errnoError("connect " + host + ":" + std::to_string(port), EINVAL));
        return false;
    }
    const auto connected = m_socket.connect(host, static_cast<std::uint16_t>(port), timeoutMs);
    if (!connected) {
        fail(connected.error());
        return false;
    }
    return true;
}

bool CSocketX::StartTls(const platform::TlsSettings& settings, std::uint32_t timeoutMs) {
    if (!m_pending.empty()) {
        fail(platform::PlatformError{EPROTO, "TLS handshake: the server sent more before it"});
        return false;
    }
    const auto started = m_socket.startTls(settings, timeoutMs);
    if (!started) {
        fail(started.error());
        return false;
    }
    return true;
}

bool CSocketX::InputWaiting(std::uint32_t waitMs) {
    if (!m_pending.empty()) {
        return true;
    }
    char buffer[kReceiveSize];
    const auto received = waitMs == 0 ? m_socket.receiveNow(buffer, sizeof buffer)
                                      : m_socket.receive(buffer, sizeof buffer, waitMs);
    if (!received) {
        return received.error().code != ETIMEDOUT;
    }
    m_pending.append(buffer, received.value());
    return true;
}

bool CSocketX::WaitSent(std::uint32_t stallTimeoutMs) {
    const auto sent = m_socket.waitAcknowledged(stallTimeoutMs);
    if (!sent) {
        fail(sent.error());
        return false;
    }
    return true;
}

void CSocketX::Close() {
    m_socket.close();
    m_pending.clear();
}

int CSocketX::SendBuffer(const void* data, int length, std::uint32_t stallTimeoutMs) {
    if (length < 0) {
        return fail(platform::errnoError("send", EINVAL));
    }
    if (stallTimeoutMs == kNoStallTimeout) {
        const auto sent =
            m_socket.sendAll(data, static_cast<std::size_t>(length), platform::TcpSocket::kNoTimeout);
        return sent ? static_cast<int>(sent.value()) : fail(sent.error());
    }
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(length)) {
        const std::size_t piece = std::min(kSendPieceSize, static_cast<std::size_t>(length) - done);
        const auto sent = m_socket.sendAll(bytes + done, piece, stallTimeoutMs);
        if (!sent) {
            return fail(sent.error());
        }
        done += sent.value();
    }
    return static_cast<int>(done);
}

int CSocketX::SendWithTimeout(const std::string& text, std::uint32_t timeoutMs, int flags) {
    const auto sent = m_socket.sendAll(text.data(), text.size(), timeoutMs, flags);
    return sent ? static_cast<int>(sent.value()) : fail(sent.error());
}

int CSocketX::ReceiveWithTimeout(std::string& reply, std::uint32_t timeoutMs, int flags) {
    reply.clear();
    if (!m_pending.empty()) {
        reply = m_pending.substr(0, kReceiveSize);
        m_pending.erase(0, reply.size());
        return static_cast<int>(reply.size());
    }
    char buffer[kReceiveSize];
    const auto received = m_socket.receive(buffer, sizeof buffer, timeoutMs, flags);
    if (!received) {
        return fail(received.error());
    }
    reply.assign(buffer, received.value());
    return static_cast<int>(received.value());
}

int CSocketX::ReceiveLine(std::string& line, std::uint32_t timeoutMs) {
    line.clear();
    const std::uint64_t deadline = platform::deadlineAfterMs(timeoutMs);
    std::size_t end;
    while ((end = m_pending.find('\n')) == std::string::npos) {
        if (m_pending.size() > kMaxLineSize) {
            return fail(platform::errnoError("recv", EMSGSIZE));
        }
        std::uint32_t leftMs = platform::TcpSocket::kNoTimeout;
        if (timeoutMs != platform::TcpSocket::kNoTimeout) {
            const std::uint64_t now = platform::tickCountMs();
            if (now >= deadline) {
                return fail(platform::errnoError("recv", ETIMEDOUT));
            }
            leftMs = static_cast<std::uint32_t>(deadline - now);
        }
        char buffer[kMaxLineSize];
        const auto received = m_socket.receive(buffer, sizeof buffer, leftMs);
        if (!received) {
            return fail(received.error());
        }
        if (received.value() == 0) {
            return 0;
        }
        m_pending.append(buffer, received.value());
    }
    if (end > kMaxLineSize) {
        return fail(platform::errnoError("recv", EMSGSIZE));
    }
    line = m_pending.substr(0, end);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    m_pending.erase(0, end + 1);
    return static_cast<int>(end + 1);
}
