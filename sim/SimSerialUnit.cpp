#include "sim/SimSerialUnit.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>

namespace sim {

SimSerialUnit::SimSerialUnit(std::shared_ptr<SimUnitModel> local) : m_responder(std::move(local)) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        return;
    }
    char name[128];
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, name, sizeof name) != 0) {
        ::close(m_master);
        m_master = -1;
        return;
    }
    m_slavePath = name;
    m_thread = std::thread([this] { run(); });
}

SimSerialUnit::~SimSerialUnit() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_master >= 0) {
        ::close(m_master);
    }
}

void SimSerialUnit::run() {
    std::string pending;
    while (!m_stop) {
        pollfd p{m_master, POLLIN, 0};
        const int ready = ::poll(&p, 1, 10);
        if (ready > 0 && (p.revents & POLLIN) == 0) {
            ::usleep(5000);  // no reader on the other side yet: hang-up is reported at once
        }
        if (ready <= 0 || (p.revents & POLLIN) == 0) {
            continue;
        }
        char buffer[256];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0) {
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\r')) != std::string::npos) {
            const std::string request = pending.substr(0, end);
            pending.erase(0, end + 1);
            const std::string answer = m_responder.respond(request + '\r', request, {}, "\r");
            if (!answer.empty()) {
                [[maybe_unused]] const ssize_t written = ::write(m_master, answer.data(), answer.size());
            }
        }
    }
}

}  // namespace sim
