#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/HexLineResponder.h"

namespace sim {

// A unit on the IP network, on loopback: answers "DSP: " request datagrams with "DSP: " replies
// of the same form, and can send announcements. It listens on 127.0.0.1 at a port of its own.
class SimUdpUnit {
public:
    explicit SimUdpUnit(std::shared_ptr<SimUnitModel> local);
    ~SimUdpUnit();
    SimUdpUnit(const SimUdpUnit&) = delete;
    SimUdpUnit& operator=(const SimUdpUnit&) = delete;

    bool ok() const { return m_fd >= 0; }
    std::uint16_t port() const { return m_port; }

    void addRemoteUnit(std::shared_ptr<SimUnitModel> unit) { m_responder.addRemoteUnit(std::move(unit)); }
    // Rewrites each reply datagram before it goes out; an empty result sends nothing.
    void setReplyFilter(HexLineResponder::Filter filter) { m_responder.setFilter(std::move(filter)); }
    // Every datagram received so far, whole.
    std::vector<std::string> received() const { return m_responder.received(); }

    // Sends a datagram (an announcement, or anything else) to a port on 127.0.0.1.
    bool sendTo(std::uint16_t port, const std::string& datagram);

private:
    void run();

    int m_fd = -1;
    std::uint16_t m_port = 0;
    HexLineResponder m_responder;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace sim
