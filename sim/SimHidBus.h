#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Hid.h"
#include "sim/SimHidUnit.h"

namespace sim {

// The HID service over simulated interfaces. Paths look like "/sim/hidraw0".
class SimHidBus : public platform::IHidBus {
public:
    // Attaches an interface and returns its path.
    std::string attach(std::shared_ptr<SimHidUnit> unit);
    void detach(const std::string& path);

    // Makes listing fail, as when the system's device list cannot be had.
    void setListingFails(bool fails);

    platform::Result<std::vector<std::string>> listInterfaces() override;
    platform::Result<std::unique_ptr<platform::IHidDevice>> open(const std::string& path,
                                                                 platform::HidOpenMode mode) override;

private:
    std::mutex m_mutex;
    std::map<int, std::pair<std::string, std::shared_ptr<SimHidUnit>>> m_units;
    int m_nextNumber = 0;
    bool m_listingFails = false;
};

}  // namespace sim
