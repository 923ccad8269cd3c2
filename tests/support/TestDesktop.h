#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/DesktopMessages.h"

// A private desktop-message folder for one test, removed afterwards.
class ScopedDesktopFolder {
public:
    ScopedDesktopFolder() {
        char pattern[] = "/tmp/qpg-desktop-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        m_path = made != nullptr ? made : "";
        platform::setDesktopMessageFolder(m_path);
    }
    ~ScopedDesktopFolder() {
        platform::setDesktopMessageFolder("");
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// A stand-in for the traffic viewer and other desktop windows: takes every message sent to
// its title on a thread of its own and keeps it. Copy-data records are acknowledged when the
// next one is taken, as a window procedure returns.
class TestWindow {
public:
    explicit TestWindow(const std::string& title) {
        auto created = platform::DesktopWindow::create(title);
        if (created) {
            m_window = std::move(created.value());
            m_thread = std::thread([this] { run(); });
        }
    }
    ~TestWindow() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    bool ok() const { return m_window != nullptr; }

    std::vector<platform::DesktopMessage> messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

    // The viewer records received so far, as their 224 bytes.
    std::vector<std::vector<std::uint8_t>> records() const {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& m : messages()) {
            if (m.isCopyData) {
                out.push_back(m.data);
            }
        }
        return out;
    }

    // Waits a little for posted messages that may still be on their way.
    std::vector<platform::DesktopMessage> messagesAfterSettling() const {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return messages();
    }

private:
    void run() {
        while (!m_stop) {
            if (auto message = m_window->receive(10)) {
                std::lock_guard lock(m_mutex);
                m_messages.push_back(std::move(*message));
            }
        }
    }

    std::unique_ptr<platform::DesktopWindow> m_window;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<platform::DesktopMessage> m_messages;
};

// Field readers of a 224-byte viewer record, straight from the bytes.
namespace viewer {
inline std::uint32_t kind(const std::vector<std::uint8_t>& r) {
    return r[0] | (r[1] << 8) | (r[2] << 16) | (static_cast<std::uint32_t>(r[3]) << 24);
}
inline std::uint16_t timeField(const std::vector<std::uint8_t>& r, int i) {
    return static_cast<std::uint16_t>(r[4 + 2 * i] | (r[5 + 2 * i] << 8));
}
inline std::string cString(const std::vector<std::uint8_t>& r, std::size_t offset, std::size_t size) {
    std::string s;
    for (std::size_t i = offset; i < offset + size && r[i] != 0; ++i) {
        s += static_cast<char>(r[i]);
    }
    return s;
}
inline std::string sender(const std::vector<std::uint8_t>& r) {
    return cString(r, 20, 60);
}
inline std::string text(const std::vector<std::uint8_t>& r) {
    return cString(r, 80, 100);
}
inline std::vector<std::uint8_t> reportBytes(const std::vector<std::uint8_t>& r) {
    return {r.begin() + 180, r.begin() + 222};
}
inline std::uint8_t fr(const std::vector<std::uint8_t>& r) {
    return r[222];
}
inline std::uint8_t to(const std::vector<std::uint8_t>& r) {
    return r[223];
}
}  // namespace viewer
