#include "sim/HexLineResponder.h"

#include "sim/HexLine.h"

namespace sim {

void HexLineResponder::addRemoteUnit(std::shared_ptr<SimUnitModel> unit) {
    std::lock_guard lock(m_mutex);
    m_remote[unit->unitNumber()] = std::move(unit);
}

void HexLineResponder::setFilter(Filter filter) {
    std::lock_guard lock(m_mutex);
    m_filter = std::move(filter);
}

std::vector<std::string> HexLineResponder::received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
}

std::string HexLineResponder::respond(const std::string& arrived, std::string_view line,
                                      const std::string& prefix, const std::string& suffix) {
    std::lock_guard lock(m_mutex);
    m_received.push_back(arrived);
    std::string answer;
    HexLine request;
    if (parseHexLine(line, request)) {
        SimUnitModel* unit = m_local.get();
        if (request.unit > 0) {
            const auto it = m_remote.find(request.unit);
            unit = it == m_remote.end() ? nullptr : it->second.get();
        }
        auto reply = unit != nullptr ? unit->answer(request.bytes) : std::nullopt;
        if (reply) {
            reply->resize(8, 0);
            const std::string unitCharacter =
                request.unit > 0 ? std::string(line.substr(0, 1)) : std::string{};
            answer = prefix + unitCharacter + hexDigits(*reply) + suffix;
        }
    }
    return m_filter ? m_filter(answer) : answer;
}

}  // namespace sim
