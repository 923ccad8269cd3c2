#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/Hid.h"
#include "sim/SimUnitModel.h"

namespace sim {

// Ways a simulated interface can misbehave. Counters count down as requests arrive.
struct SimFaults {
    int silentRequests = 0;             // this many requests get no answer at all
    bool silentForever = false;         // no request gets an answer
    std::uint32_t lateAnswerMs = 0;     // every answer is ready only this long after its request
    int replyFFFF = 0;                  // this many requests are answered with reply code 0xFFFF
    int wrongCode = 0;                  // this many requests are answered with a code no mask accepts
    int wrongEcho = 0;                  // this many parameter replies fail to repeat the request bytes
    int wrongFr = 0;                    // this many replies carry the FR byte of another unit
    int rejectedBeforeAnswer = 0;       // the next answer is preceded by this many wrong-code replies
    int rejectedBeforeEveryAnswer = 0;  // every answer is preceded by this many wrong-code replies
    bool failWrites = false;            // writes fail
    bool shortWrites = false;           // writes report one byte less than asked
    int unplugAfterWrites = -1;         // the interface goes away when this many writes have arrived
    int silentAfterRequests = -1;       // after this many more answered requests, no request gets an answer
};

// One simulated HID interface on the bus: a speakerphone (its own unit model, and for a hub or
// a chain of units, the units reachable behind it), or a plain device of another vendor.
// Reports are moved with the lengths and FR/TO address bytes of the real units.
class SimHidUnit {
public:
    struct Config {
        std::uint16_t vendorId = 0x0556;
        std::uint16_t productId = 83;
        std::uint16_t versionNumber = 0x0100;
        std::uint16_t inputReportLength = 9;   // 9, 11 or 43 for the units
        std::uint16_t outputReportLength = 0;  // 0: same as the input report
        bool openable = true;                  // false: opening fails with EACCES
        std::uint16_t inputButtonCaps = 0;     // a collection with buttons (e.g. volume keys)
    };

    SimHidUnit(Config config, std::shared_ptr<SimUnitModel> local);

    // Units reached through this interface's addressing (a hub's attached unit, a chain).
    void addRemoteUnit(std::shared_ptr<SimUnitModel> unit);
    SimUnitModel* localUnit() { return m_local.get(); }

    const platform::HidDescription& description() const { return m_description; }
    const Config& config() const { return m_config; }

    void setFaults(const SimFaults& faults);
    void unplug();
    bool isUnplugged() const;
    bool isOpenable() const;
    // Later openings fail with EACCES (false) or succeed again (true); open handles stay.
    void setOpenable(bool openable);
    // Opening for reading or writing fails with EACCES while the interface is still described
    // (as a hidraw node without permission, whose sysfs entry anyone can read).
    void setAccessDenied(bool denied);
    bool isAccessDenied() const;

    // Queues an input report that answers nothing (a stray report from the unit).
    void injectInputReport(std::vector<std::uint8_t> report, std::uint32_t delayMs = 0);

    // Every output report written so far, report-ID byte first.
    std::vector<std::vector<std::uint8_t>> writtenReports() const;
    std::size_t writeCount() const;

    // Like hidraw, every handle opened for reading has its own queue of input reports, which
    // starts empty: reports that arrived before the opening are not seen through it.
    int openReader();
    void closeReader(int reader);

    platform::HidIoResult write(std::span<const std::uint8_t> report);
    platform::HidIoResult read(int reader, std::span<std::uint8_t> report, std::uint32_t timeoutMs);

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Clock::time_point readyAt;
        std::vector<std::uint8_t> report;
    };

    void handleRequestLocked(std::span<const std::uint8_t> report);
    void deliverLocked(Clock::time_point readyAt, std::vector<std::uint8_t> report);
    std::vector<std::uint8_t> buildInputReport(const std::vector<std::uint8_t>& replyMessage, std::uint8_t fr,
                                               std::uint8_t to) const;
    SimUnitModel* routeLocked(std::uint8_t fr, std::uint8_t to, std::uint8_t& replyFr);
    bool addressed() const;

    Config m_config;
    platform::HidDescription m_description;
    std::shared_ptr<SimUnitModel> m_local;
    std::vector<std::shared_ptr<SimUnitModel>> m_remote;

    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::map<int, std::deque<Pending>> m_readers;
    int m_nextReader = 0;
    std::vector<std::vector<std::uint8_t>> m_written;
    SimFaults m_faults;
    bool m_unplugged = false;
    bool m_accessDenied = false;
};

// The address byte of a unit: its number in the high nibble, role 5 (a unit), on 8 bits.
std::uint8_t UnitAddressByte(int unitNumber);

}  // namespace sim
