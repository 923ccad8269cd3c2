#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace platform {

// Results of waits, with the numbers the system has always reported.
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// A waitable event. An auto-reset event releases one wait and clears itself; a manual-reset
// event stays signalled until reset. Events are shared between threads by reference; all
// operations are thread-safe.
class Event {
public:
    enum class Reset { Auto, Manual };

    explicit Event(Reset reset = Reset::Auto, bool initiallySignalled = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    bool isSignalled() const;

    // Waits up to timeoutMs (kInfinite for no limit); kWaitObject0 or kWaitTimeout.
    std::uint32_t wait(std::uint32_t timeoutMs);

    // Waits for the first of several events to be signalled; kWaitObject0 + its index (the
    // lowest index when several are signalled), or kWaitTimeout.
    static std::uint32_t waitAny(const std::vector<Event*>& events, std::uint32_t timeoutMs);

private:
    bool tryConsumeLocked();

    Reset m_reset;
    bool m_signalled;
};

}  // namespace platform
