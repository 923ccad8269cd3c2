#include "platform/System.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <mutex>
#include <thread>

namespace platform {
namespace {

std::mutex& debugMutex() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& debugSink() {
    static std::function<void(const std::string&)> sink;
    return sink;
}

}  // namespace

LocalTime localTimeNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&seconds, &tm);
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.dayOfWeek = tm.tm_wday;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.milliseconds = static_cast<int>(ms);
    t.utcOffsetMinutes = static_cast<int>(tm.tm_gmtoff / 60);
    return t;
}

std::uint64_t tickCountMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::uint64_t deadlineAfterMs(std::uint32_t timeoutMs) {
    return tickCountMs() + timeoutMs + 1;
}

void sleepMs(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string programPath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

void debugOutput(const std::string& text) {
    std::lock_guard lock(debugMutex());
    if (debugSink()) {
        debugSink()(text);
        return;
    }
    std::cerr << text;
    if (text.empty() || text.back() != '\n') {
        std::cerr << '\n';
    }
}

void setDebugOutputSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(debugMutex());
    debugSink() = std::move(sink);
}

}  // namespace platform
