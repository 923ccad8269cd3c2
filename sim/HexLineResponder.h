#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimUnitModel.h"

namespace sim {

// The firmware side of the units that talk in hexadecimal lines (serial and IP): a local unit
// and units named by a unit character, a filter that can spoil answers, and a log of what
// arrived. Thread-safe.
class HexLineResponder {
public:
    using Filter = std::function<std::string(const std::string&)>;

    explicit HexLineResponder(std::shared_ptr<SimUnitModel> local) : m_local(std::move(local)) {}

    void addRemoteUnit(std::shared_ptr<SimUnitModel> unit);
    void setFilter(Filter filter);
    std::vector<std::string> received() const;

    // Logs `arrived`, answers `line` (an optional unit character and 16 digits) with
    // prefix + unit character + 16 digits + suffix, and passes the answer through the filter.
    // Empty when nothing is to be sent.
    std::string respond(const std::string& arrived, std::string_view line, const std::string& prefix,
                        const std::string& suffix);

private:
    std::shared_ptr<SimUnitModel> m_local;
    std::map<int, std::shared_ptr<SimUnitModel>> m_remote;
    Filter m_filter;
    std::vector<std::string> m_received;
    mutable std::mutex m_mutex;
};

}  // namespace sim
