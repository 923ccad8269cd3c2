#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Local wall-clock time with the fields the system prints (day of week 0 = Sunday).
struct LocalTime {
    int year = 0;
    int month = 0;  // 1..12
    int dayOfWeek = 0;
    int day = 0;  // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
    int utcOffsetMinutes = 0;  // east of UTC is positive
};

LocalTime localTimeNow();

// Milliseconds of a monotonic clock, for measuring intervals.
std::uint64_t tickCountMs();
// The tick count by which timeoutMs will surely have passed: tickCountMs drops the fraction of
// the current millisecond, so a deadline one tick later never ends a wait short of timeoutMs.
std::uint64_t deadlineAfterMs(std::uint32_t timeoutMs);

void sleepMs(std::uint32_t ms);

// Full path of the running program, or an empty text when it cannot be had.
std::string programPath();

// Writes a line for a developer watching the program (stderr unless a sink is installed).
// Thread-safe.
void debugOutput(const std::string& text);

// Replaces where debugOutput goes; an empty function restores stderr. For tests.
void setDebugOutputSink(std::function<void(const std::string&)> sink);

}  // namespace platform
