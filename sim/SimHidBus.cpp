#include "sim/SimHidBus.h"

#include <cerrno>

namespace sim {
namespace {

class SimHidDevice : public platform::IHidDevice {
public:
    SimHidDevice(std::string path, std::shared_ptr<SimHidUnit> unit, platform::HidOpenMode mode)
        : m_path(std::move(path)), m_unit(std::move(unit)), m_mode(mode) {
        if (m_mode.read) {
            m_reader = m_unit->openReader();
        }
    }
    ~SimHidDevice() override {
        if (m_mode.read) {
            m_unit->closeReader(m_reader);
        }
    }

    const std::string& path() const override { return m_path; }
    const platform::HidDescription& description() const override { return m_unit->description(); }

    platform::HidIoResult readInputReport(std::span<std::uint8_t> report, std::uint32_t timeoutMs) override {
        if (!m_mode.read) {
            platform::HidIoResult result;
            result.error = platform::errnoError("read " + m_path, EBADF);
            return result;
        }
        return m_unit->read(m_reader, report, timeoutMs);
    }

    platform::HidIoResult writeOutputReport(std::span<const std::uint8_t> report) override {
        if (!m_mode.write) {
            platform::HidIoResult result;
            result.error = platform::errnoError("write " + m_path, EBADF);
            return result;
        }
        return m_unit->write(report);
    }

private:
    std::string m_path;
    std::shared_ptr<SimHidUnit> m_unit;
    platform::HidOpenMode m_mode;
    int m_reader = -1;
};

}  // namespace

std::string SimHidBus::attach(std::shared_ptr<SimHidUnit> unit) {
    std::lock_guard lock(m_mutex);
    const int number = m_nextNumber++;
    std::string path = "/sim/hidraw" + std::to_string(number);
    m_units[number] = {path, std::move(unit)};
    return path;
}

void SimHidBus::detach(const std::string& path) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_units.begin(); it != m_units.end(); ++it) {
        if (it->second.first == path) {
            it->second.second->unplug();
            m_units.erase(it);
            return;
        }
    }
}

void SimHidBus::setListingFails(bool fails) {
    std::lock_guard lock(m_mutex);
    m_listingFails = fails;
}

platform::Result<std::vector<std::string>> SimHidBus::listInterfaces() {
    std::lock_guard lock(m_mutex);
    if (m_listingFails) {
        return platform::errnoError("list /sim", EIO);
    }
    std::vector<std::string> paths;
    for (const auto& [number, entry] : m_units) {
        if (!entry.second->isUnplugged()) {
            paths.push_back(entry.first);
        }
    }
    return paths;
}

platform::Result<std::unique_ptr<platform::IHidDevice>> SimHidBus::open(const std::string& path,
                                                                        platform::HidOpenMode mode) {
    std::lock_guard lock(m_mutex);
    for (const auto& [number, entry] : m_units) {
        if (entry.first != path) {
            continue;
        }
        if (entry.second->isUnplugged()) {
            return platform::errnoError("open " + path, ENODEV);
        }
        if (!entry.second->isOpenable()) {
            return platform::errnoError("open " + path, EACCES);
        }
        if ((mode.read || mode.write) && entry.second->isAccessDenied()) {
            return platform::errnoError("open " + path, EACCES);
        }
        return std::unique_ptr<platform::IHidDevice>(
            std::make_unique<SimHidDevice>(path, entry.second, mode));
    }
    return platform::errnoError("open " + path, ENOENT);
}

}  // namespace sim
