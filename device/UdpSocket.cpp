#include "device/UdpSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "device/HIDProtocol.h"
#include "platform/MessageBox.h"
#include "platform/System.h"

namespace {

constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaEInval = 10022;

// The caption of the framework's own boxes: the program's name.
void showSocketBox(const std::string& text) {
    platform::showMessageBox(CHIDProtocol::ProgramNameFromPath(platform::programPath()), text,
                             platform::mb::kOk);
}

// Resolves dotted IPv4 text or a host name to an IPv4 address.
bool resolve(const std::string& host, std::uint16_t port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

// White space is the C locale's: a byte such as 0xA0 is no space in any session locale.
bool isWordChar(char c) {
    return c != '\0' && std::string_view(" \t\n\v\f\r").find(c) == std::string_view::npos;
}

// Takes a word (no white space) of 1..maxChars characters ended by a single space.
bool takeWord(std::string_view& text, std::size_t maxChars, std::string& word) {
    std::size_t length = 0;
    while (length < text.size() && isWordChar(text[length])) {
        ++length;
    }
    if (length == 0 || length > maxChars || length >= text.size() || text[length] != ' ') {
        return false;
    }
    word.assign(text.substr(0, length));
    text.remove_prefix(length + 1);
    return true;
}

}  // namespace

int SocketErrorNumber(int errnoValue) {
    switch (errnoValue) {
        case EWOULDBLOCK:
            return kWsaEWouldBlock;
        case EINVAL:
            return kWsaEInval;
        case EACCES:
            return 10013;
        case EMSGSIZE:
            return 10040;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENOBUFS:
            return 10055;
        case ECONNREFUSED:
            return 10061;
        case EHOSTUNREACH:
            return 10065;
        case EBADF:
        case ENOTSOCK:
            return 10038;
        default:
            return 10000 + errnoValue;
    }
}

std::optional<UnitAnnouncement> ParseUnitAnnouncement(std::string_view text) {
    constexpr std::string_view kPrefix = "QNLR: ";
    if (text.size() <= 10 || text.substr(0, kPrefix.size()) != kPrefix) {
        return std::nullopt;
    }
    text.remove_prefix(kPrefix.size());
    UnitAnnouncement a;
    std::string number;
    if (!takeWord(text, UnitAnnouncement::kWordChars, a.first) ||
        !takeWord(text, UnitAnnouncement::kWordChars, a.second) ||
        !takeWord(text, UnitAnnouncement::kThirdWordChars, a.third) || !takeWord(text, 11, number)) {
        return std::nullopt;
    }
    // The number: an optional sign and decimal digits that fit an int.
    const std::size_t digitsAt = (number[0] == '-' || number[0] == '+') ? 1 : 0;
    if (digitsAt == number.size()) {
        return std::nullopt;
    }
    long long value = 0;
    for (std::size_t i = digitsAt; i < number.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(number[i]))) {
            return std::nullopt;
        }
        value = value * 10 + (number[i] - '0');
    }
    value = number[0] == '-' ? -value : value;
    if (value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    a.number = static_cast<int>(value);
    // The rest of the line: everything up to the first line feed; it starts with a word.
    const std::size_t lineFeed = text.find('\n');
    const std::string_view rest = text.substr(0, lineFeed);
    if (rest.empty() || !isWordChar(rest[0]) || rest.size() > UnitAnnouncement::kRestChars) {
        return std::nullopt;
    }
    a.rest.assign(rest);
    return a;
}

UdpSocket::UdpSocket() = default;

UdpSocket::~UdpSocket() {
    Close();
}

bool UdpSocket::Create(std::uint16_t localPort, const std::string& localAddress) {
    Close();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    if (!resolve(localAddress, localPort, address) ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    OnSend(0);  // a datagram socket is writable at once
    return true;
}

void UdpSocket::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

std::uint16_t UdpSocket::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

bool UdpSocket::SetPeerAddress(const std::string& address) {
    if (address.size() > kPeerAddressChars) {
        return false;
    }
    m_peerAddress = address;
    return true;
}

void UdpSocket::OnSend(int) {
    m_ready = true;
}

bool UdpSocket::SendBroadcast(const void* data, int length) {
    m_broadcast = true;
    const bool sent = SendDatagram(data, length);
    m_broadcast = false;
    return sent;
}

bool UdpSocket::SendDatagram(const void* data, int length) {
    if (!m_ready || length < 0) {
        return false;
    }
    if (m_broadcast) {
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    } else if (m_peerAddress.empty()) {
        return false;
    }
    sockaddr_in address{};
    int error = 0;
    if (!resolve(m_broadcast ? m_broadcastAddress : m_peerAddress, m_remotePort, address)) {
        error = kWsaEInval;
    } else if (::sendto(m_fd, data, static_cast<std::size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        error = SocketErrorNumber(errno);
    }
    if (error == 0) {
        if (m_broadcast) {
            const int off = 0;
            ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &off, sizeof off);
        }
        return true;
    }
    if (error != kWsaEWouldBlock) {
        char text[64];
        std::snprintf(text, sizeof text, "Server Socket failed to send: %d", error);
        showSocketBox(text);
    }
    return false;
}

void UdpSocket::OnReceive(int) {
    if (m_fd < 0) {
        return;
    }
    char buffer[kMaxDatagramBytes + 1];
    const ssize_t got = ::recvfrom(m_fd, buffer, kMaxDatagramBytes, MSG_DONTWAIT, nullptr, nullptr);
    if (got < 0) {
        if (errno != EWOULDBLOCK && errno != EAGAIN && errno != EINTR) {
            showSocketBox("Error occurred");
            Close();
        }
        return;
    }
    // An empty datagram carries nothing; unlike a closed stream it is no reason to give up
    // the socket.
    buffer[got] = '\0';
    const std::string_view text(buffer, std::strlen(buffer));
    if (text.substr(0, 4) == "DSP:") {
        m_lastReply.assign(text.substr(0, kLastReplyChars));
    } else if (const auto announcement = ParseUnitAnnouncement(text)) {
        if (m_owner != nullptr) {
            m_owner->AddDiscoveredUnit(announcement->first.c_str(), announcement->second.c_str(),
                                       announcement->third.c_str(), announcement->number,
                                       announcement->rest.c_str());
        }
    }
}

void UdpSocket::WaitForDatagrams(std::uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (m_fd < 0) {
            platform::sleepMs(static_cast<std::uint32_t>(left));
            return;
        }
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready > 0) {
            OnReceive(0);
        }
    }
}
