#pragma once

#include <cstdint>
#include <string>

#include "platform/TcpSocket.h"

// Socket error numbers this socket reports (Windows Sockets values).
constexpr int SOCKET_ERROR = -1;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAECANCELLED = 10103;

// A blocking TCP stream socket whose sends and receives can be bounded by a time-out. A timed
// call that gets no answer in time returns SOCKET_ERROR and leaves GetLastError() at
// WSAETIMEDOUT; timeoutMs 0 means no time-out. Bytes that arrive beyond what a line read
// needed are kept for the next read, so replies split over several reads come out whole.
class CSocketX {
public:
    static constexpr std::size_t kReceiveSize = 256;
    // Longest line ReceiveLine accepts; a longer one fails with WSAEMSGSIZE.
    static constexpr std::size_t kMaxLineSize = 4096;

    // Readies the socket for a new connection; the stream itself is made by Connect, one for
    // each address it tries, so failures to make one show there.
    bool Create();
    // Connects to host (name or address literal) and port: every address the name resolves to,
    // IPv6 and IPv4, in the resolver's order, the lookup and all attempts within timeoutMs.
    bool Connect(const std::string& host, int port, std::uint32_t timeoutMs);
    // Switches the connected stream to TLS within timeoutMs (see platform::TcpSocket::startTls).
    // Refused when the peer has already sent bytes not yet read: they came in the clear.
    bool StartTls(const platform::TlsSettings& settings, std::uint32_t timeoutMs);
    void Close();
    // A descriptor (not owned) that becomes readable when the caller gives up: the lookup, the
    // connect and every later wait then fail at once with WSAECANCELLED. -1: none.
    void SetAbortHandle(int fd) { m_socket.setAbortHandle(fd); }
    // The connected stream's descriptor, or -1.
    int NativeHandle() const { return m_socket.nativeHandle(); }

    // Sends the whole block; the byte count or SOCKET_ERROR. With a stall time-out the block
    // goes in pieces, each of which must leave within it: a peer that stops reading ends the
    // send (WSAETIMEDOUT) while a slow but moving one does not.
    int SendBuffer(const void* data, int length, std::uint32_t stallTimeoutMs = kNoStallTimeout);
    static constexpr std::uint32_t kNoStallTimeout = 0;
    static constexpr std::size_t kSendPieceSize = 64 * 1024;
    // Sends the whole text; the byte count or SOCKET_ERROR.
    int SendWithTimeout(const std::string& text, std::uint32_t timeoutMs, int flags);
    // One receive of at most 256 bytes into reply (every byte received, NULs included): the byte
    // count, 0 with an empty reply when the peer closed, or SOCKET_ERROR.
    int ReceiveWithTimeout(std::string& reply, std::uint32_t timeoutMs, int flags);
    // Receives up to and including the next LF within timeoutMs as a whole; line is the text
    // without its CR LF. The count of bytes taken, 0 when the peer closed before a whole line
    // came, or SOCKET_ERROR.
    int ReceiveLine(std::string& line, std::uint32_t timeoutMs);
    // True when the peer has sent something not yet read, or closed the stream, within waitMs
    // (0: without waiting).
    bool InputWaiting(std::uint32_t waitMs = 0);
    // Waits until the peer has acknowledged every byte sent so far; false (WSAETIMEDOUT) when
    // that stops moving for stallTimeoutMs.
    bool WaitSent(std::uint32_t stallTimeoutMs);

    // Windows Sockets number of the last failure (0 when none).
    int GetLastError() const { return m_lastError; }
    // The platform's text of the last failure, naming the call.
    const std::string& GetLastErrorText() const { return m_lastErrorText; }

private:
    int fail(const platform::PlatformError& error);

    platform::TcpSocket m_socket;
    std::string m_pending;  // received but not yet handed out
    int m_lastError = 0;
    std::string m_lastErrorText;
};
