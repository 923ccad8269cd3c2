#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/HexLineResponder.h"

namespace sim {

// A unit on a serial line, behind a pseudo-terminal: takes request lines (an optional unit
// character, 16 hexadecimal digits, CR) on the master side and answers each with a line of the
// same form. The program opens slavePath() as its serial port.
class SimSerialUnit {
public:
    explicit SimSerialUnit(std::shared_ptr<SimUnitModel> local);
    ~SimSerialUnit();
    SimSerialUnit(const SimSerialUnit&) = delete;
    SimSerialUnit& operator=(const SimSerialUnit&) = delete;

    bool ok() const { return m_master >= 0; }
    const std::string& slavePath() const { return m_slavePath; }

    // A unit reached by its unit character.
    void addRemoteUnit(std::shared_ptr<SimUnitModel> unit) { m_responder.addRemoteUnit(std::move(unit)); }

    // Rewrites each answer line before it goes out (to send short or malformed lines).
    void setAnswerFilter(HexLineResponder::Filter filter) { m_responder.setFilter(std::move(filter)); }
    // Request lines received so far, CR included.
    std::vector<std::string> receivedLines() const { return m_responder.received(); }

private:
    void run();

    int m_master = -1;
    std::string m_slavePath;
    HexLineResponder m_responder;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace sim
