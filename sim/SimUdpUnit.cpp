#include "sim/SimUdpUnit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

SimUdpUnit::SimUdpUnit(std::shared_ptr<SimUnitModel> local) : m_responder(std::move(local)) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

SimUdpUnit::~SimUdpUnit() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool SimUdpUnit::sendTo(std::uint16_t port, const std::string& datagram) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return ::sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                    sizeof address) == static_cast<ssize_t>(datagram.size());
}

void SimUdpUnit::run() {
    while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) {
            continue;
        }
        char buffer[2048];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got =
            ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) {
            continue;
        }
        const std::string datagram(buffer, static_cast<std::size_t>(got));
        // "DSP: " and the line up to its CR; anything else gets no answer.
        std::string_view line;
        const std::size_t end = datagram.find('\r');
        if (datagram.rfind("DSP: ", 0) == 0 && end != std::string::npos) {
            line = std::string_view(datagram).substr(5, end - 5);
        }
        const std::string reply = m_responder.respond(datagram, line, "DSP: ", std::string("\r") + '\0');
        if (!reply.empty()) {
            ::sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from),
                     fromLength);
        }
    }
}

}  // namespace sim
