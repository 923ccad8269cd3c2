#include "sim/SimHidUnit.h"

#include <algorithm>
#include <cerrno>

namespace sim {

std::uint8_t UnitAddressByte(int unitNumber) {
    return static_cast<std::uint8_t>((unitNumber * 16 + 5) & 0xFF);
}

SimHidUnit::SimHidUnit(Config config, std::shared_ptr<SimUnitModel> local)
    : m_config(config), m_local(std::move(local)) {
    if (m_config.outputReportLength == 0) {
        m_config.outputReportLength = m_config.inputReportLength;
    }
    auto& d = m_description;
    d.attributes = {m_config.vendorId, m_config.productId, m_config.versionNumber};
    d.caps.usagePage = 0xFF00;
    d.caps.usage = 0x0001;
    d.caps.inputReportByteLength = m_config.inputReportLength;
    d.caps.outputReportByteLength = m_config.outputReportLength;
    // One vendor-defined value control of 8-bit fields per direction, as the units declare.
    const auto vendorBytes = [](std::uint16_t length) {
        platform::HidControlCap cap;
        cap.usagePage = 0xFF00;
        cap.usageMin = cap.usageMax = 0x0001;
        cap.bitSize = 8;
        cap.reportCount = static_cast<std::uint16_t>(length > 0 ? length - 1 : 0);
        return cap;
    };
    if (m_config.inputReportLength > 1) {
        d.valueCaps[0].push_back(vendorBytes(m_config.inputReportLength));
        d.caps.numberInputValueCaps = 1;
    }
    if (m_config.outputReportLength > 1) {
        d.valueCaps[1].push_back(vendorBytes(m_config.outputReportLength));
        d.caps.numberOutputValueCaps = 1;
    }
    for (std::uint16_t i = 0; i < m_config.inputButtonCaps; ++i) {
        platform::HidControlCap cap;
        cap.usagePage = 0x0C;  // consumer controls
        cap.usageMin = cap.usageMax = static_cast<std::uint16_t>(0xE9 + i);
        cap.bitSize = 1;
        cap.reportCount = 1;
        d.buttonCaps[0].push_back(cap);
    }
    d.caps.numberInputButtonCaps = m_config.inputButtonCaps;
}

void SimHidUnit::addRemoteUnit(std::shared_ptr<SimUnitModel> unit) {
    std::lock_guard lock(m_mutex);
    m_remote.push_back(std::move(unit));
}

void SimHidUnit::setFaults(const SimFaults& faults) {
    std::lock_guard lock(m_mutex);
    m_faults = faults;
}

void SimHidUnit::unplug() {
    {
        std::lock_guard lock(m_mutex);
        m_unplugged = true;
    }
    m_arrived.notify_all();
}

bool SimHidUnit::isOpenable() const {
    std::lock_guard lock(m_mutex);
    return m_config.openable && !m_unplugged;
}

void SimHidUnit::setOpenable(bool openable) {
    std::lock_guard lock(m_mutex);
    m_config.openable = openable;
}

void SimHidUnit::setAccessDenied(bool denied) {
    std::lock_guard lock(m_mutex);
    m_accessDenied = denied;
}

bool SimHidUnit::isAccessDenied() const {
    std::lock_guard lock(m_mutex);
    return m_accessDenied;
}

bool SimHidUnit::isUnplugged() const {
    std::lock_guard lock(m_mutex);
    return m_unplugged;
}

void SimHidUnit::injectInputReport(std::vector<std::uint8_t> report, std::uint32_t delayMs) {
    report.resize(m_config.inputReportLength, 0);
    {
        std::lock_guard lock(m_mutex);
        deliverLocked(Clock::now() + std::chrono::milliseconds(delayMs), std::move(report));
    }
    m_arrived.notify_all();
}

void SimHidUnit::deliverLocked(Clock::time_point readyAt, std::vector<std::uint8_t> report) {
    for (auto& [id, queue] : m_readers) {
        queue.push_back({readyAt, report});
    }
}

int SimHidUnit::openReader() {
    std::lock_guard lock(m_mutex);
    const int id = m_nextReader++;
    m_readers[id];
    return id;
}

void SimHidUnit::closeReader(int reader) {
    std::lock_guard lock(m_mutex);
    m_readers.erase(reader);
}

std::vector<std::vector<std::uint8_t>> SimHidUnit::writtenReports() const {
    std::lock_guard lock(m_mutex);
    return m_written;
}

std::size_t SimHidUnit::writeCount() const {
    std::lock_guard lock(m_mutex);
    return m_written.size();
}

bool SimHidUnit::addressed() const {
    return m_config.inputReportLength == 11 || m_config.inputReportLength == 43;
}

platform::HidIoResult SimHidUnit::write(std::span<const std::uint8_t> report) {
    platform::HidIoResult result;
    {
        std::lock_guard lock(m_mutex);
        if (m_unplugged) {
            result.status = platform::HidIoStatus::Unplugged;
            result.error = platform::errnoError("write", ENODEV);
            return result;
        }
        if (m_faults.failWrites) {
            result.status = platform::HidIoStatus::Failed;
            result.error = platform::errnoError("write", EPIPE);
            return result;
        }
        if (report.size() != m_config.outputReportLength) {
            result.status = platform::HidIoStatus::Failed;
            result.error = platform::errnoError("write", EINVAL);
            return result;
        }
        m_written.emplace_back(report.begin(), report.end());
        if (m_faults.unplugAfterWrites >= 0 &&
            m_written.size() >= static_cast<std::size_t>(m_faults.unplugAfterWrites)) {
            // The unit goes away before it can answer this report.
            m_unplugged = true;
        } else {
            handleRequestLocked(report);
        }
        result.status = platform::HidIoStatus::Ok;
        result.bytes = m_faults.shortWrites ? report.size() - 1 : report.size();
    }
    m_arrived.notify_all();
    return result;
}

SimUnitModel* SimHidUnit::routeLocked(std::uint8_t fr, std::uint8_t to, std::uint8_t& replyFr) {
    SimUnitModel* target = nullptr;
    if (to == 0x00) {
        target = m_local.get();
    } else if (fr == 0x01) {
        // Hub forwarding: the hub passes the report on to the unit attached behind it.
        for (const auto& unit : m_remote) {
            if (UnitAddressByte(unit->unitNumber()) == to) {
                target = unit.get();
                break;
            }
        }
    } else if (to == 0x07) {
        for (const auto& unit : m_remote) {
            if (unit->unitNumber() == 99) {
                target = unit.get();
                break;
            }
        }
    } else if (m_local && UnitAddressByte(m_local->unitNumber()) == to) {
        target = m_local.get();
    } else {
        for (const auto& unit : m_remote) {
            if (UnitAddressByte(unit->unitNumber()) == to) {
                target = unit.get();
                break;
            }
        }
        if (target == nullptr && to == UnitAddressByte(0)) {
            // Unit 0 names the unit on the USB side, whatever its number in a chain; it answers
            // as unit 0.
            replyFr = to;
            return m_local.get();
        }
    }
    if (target != nullptr) {
        replyFr = UnitAddressByte(target->unitNumber());
    }
    return target;
}

std::vector<std::uint8_t> SimHidUnit::buildInputReport(const std::vector<std::uint8_t>& replyMessage,
                                                       std::uint8_t fr, std::uint8_t to) const {
    const std::size_t length = m_config.inputReportLength;
    std::vector<std::uint8_t> report(length, 0);
    const std::size_t room = addressed() ? length - 3 : length - 1;
    std::copy_n(replyMessage.begin(), std::min(room, replyMessage.size()), report.begin() + 1);
    if (addressed()) {
        report[length - 2] = fr;
        report[length - 1] = to;
    }
    return report;
}

void SimHidUnit::handleRequestLocked(std::span<const std::uint8_t> report) {
    const std::size_t length = report.size();
    if (length < 3) {
        return;
    }
    if (m_faults.silentForever) {
        return;
    }
    if (m_faults.silentRequests > 0) {
        --m_faults.silentRequests;
        return;
    }
    if (m_faults.silentAfterRequests == 0) {
        return;
    }
    if (m_faults.silentAfterRequests > 0) {
        --m_faults.silentAfterRequests;
    }

    std::uint8_t requestFr = 0;
    std::uint8_t requestTo = 0;
    std::size_t payloadEnd = length;
    if (addressed()) {
        requestFr = report[length - 2];
        requestTo = report[length - 1];
        payloadEnd = length - 2;
    }
    std::uint8_t replyFr = 0;
    SimUnitModel* unit = addressed() ? routeLocked(requestFr, requestTo, replyFr) : m_local.get();
    if (unit == nullptr) {
        return;
    }
    auto reply = unit->answer(report.subspan(1, payloadEnd - 1));
    if (!reply || reply->size() < 2) {
        return;
    }

    const auto readyAt = Clock::now() + std::chrono::milliseconds(m_faults.lateAnswerMs);
    const int rejected = m_faults.rejectedBeforeAnswer + m_faults.rejectedBeforeEveryAnswer;
    m_faults.rejectedBeforeAnswer = 0;
    for (int i = 0; i < rejected; ++i) {
        auto wrong = *reply;
        wrong[0] ^= 0x10;
        deliverLocked(readyAt, buildInputReport(wrong, replyFr, requestFr));
    }
    if (m_faults.replyFFFF > 0) {
        --m_faults.replyFFFF;
        (*reply)[0] = 0xFF;
        (*reply)[1] = 0xFF;
    } else if (m_faults.wrongCode > 0) {
        --m_faults.wrongCode;
        (*reply)[0] ^= 0x10;
    }
    if (m_faults.wrongEcho > 0 && reply->size() >= 8) {
        --m_faults.wrongEcho;
        for (std::size_t i = 2; i < 8; ++i) {
            (*reply)[i] ^= 0x55;
        }
    }
    if (m_faults.wrongFr > 0) {
        --m_faults.wrongFr;
        replyFr = static_cast<std::uint8_t>(replyFr + 0x10);
    }
    deliverLocked(readyAt, buildInputReport(*reply, replyFr, requestFr));
}

platform::HidIoResult SimHidUnit::read(int reader, std::span<std::uint8_t> report, std::uint32_t timeoutMs) {
    platform::HidIoResult result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_unplugged) {
            result.status = platform::HidIoStatus::Unplugged;
            result.error = platform::errnoError("read", ENODEV);
            return result;
        }
        const auto it = m_readers.find(reader);
        if (it == m_readers.end()) {
            result.status = platform::HidIoStatus::Failed;
            result.error = platform::errnoError("read", EBADF);
            return result;
        }
        auto& inbox = it->second;
        const auto now = Clock::now();
        if (!inbox.empty() && inbox.front().readyAt <= now) {
            const auto& pending = inbox.front().report;
            const std::size_t count = std::min(report.size(), pending.size());
            std::copy_n(pending.begin(), count, report.begin());
            std::fill(report.begin() + static_cast<std::ptrdiff_t>(count), report.end(), 0);
            inbox.pop_front();
            result.status = platform::HidIoStatus::Ok;
            result.bytes = count;
            return result;
        }
        if (now >= deadline) {
            result.status = platform::HidIoStatus::TimedOut;
            return result;
        }
        auto wakeAt = deadline;
        if (!inbox.empty()) {
            wakeAt = std::min(wakeAt, inbox.front().readyAt);
        }
        m_arrived.wait_until(lock, wakeAt);
    }
}

}  // namespace sim
