#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimUnitModel.h"

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
    void addRemoteUnit(std::shared_ptr<SimUnitModel> unit);

    // Rewrites each answer line before it goes out (to send short or malformed lines).
    void setAnswerFilter(std::function<std::string(const std::string&)> filter);
    // Request lines received so far, CR included.
    std::vector<std::string> receivedLines() const;

private:
    void run();
    std::string answerLine(const std::string& request);

    int m_master = -1;
    std::string m_slavePath;
    std::shared_ptr<SimUnitModel> m_local;
    std::map<int, std::shared_ptr<SimUnitModel>> m_remote;
    std::function<std::string(const std::string&)> m_filter;
    std::vector<std::string> m_received;
    mutable std::mutex m_mutex;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace sim
