#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace platform {

// Messages between the programs of one desktop session: a window is found by its title, a
// copy-data record is delivered synchronously (the call returns once the window has handled
// it), a posted or broadcast message is not waited for.
//
// Each window is a Unix datagram socket named after its title in a per-user folder that only
// its owner may enter (0700): $XDG_RUNTIME_DIR/quenlor-desktop. Without $XDG_RUNTIME_DIR there
// is no folder, no window can be found and nothing is sent.

inline constexpr std::uint32_t kWmCopyData = 0x004A;

// The folder in use, or nullopt when none can be had (no $XDG_RUNTIME_DIR, or a folder that is
// not ours or can be entered by others).
std::optional<std::string> desktopMessageFolder();

// Replaces the folder (a temporary one in tests); an empty text goes back to the default.
void setDesktopMessageFolder(const std::string& folder);

// A window found by its title. It stays valid while the window lives.
struct WindowTarget {
    std::string title;
    std::string socketPath;
};

// What a window receives.
struct DesktopMessage {
    std::uint32_t message = 0;
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
    bool isCopyData = false;
    std::uint64_t copyDataId = 0;  // dwData of a copy-data record
    std::vector<std::uint8_t> data;
};

// Finds the window with this title; nullopt when no such window runs.
std::optional<WindowTarget> findWindow(const std::string& title);

// Sends a copy-data record (the message kWmCopyData) and waits until the window has handled
// it, or up to replyTimeoutMs when the window does not answer. True once handled.
bool sendCopyData(const WindowTarget& window, std::uint64_t wParam, std::uint64_t copyDataId,
                  std::span<const std::uint8_t> data, std::uint32_t replyTimeoutMs = 5000);

// Posts a message to one window without waiting. True when it was queued.
bool postMessage(const WindowTarget& window, std::uint32_t message, std::uint64_t wParam,
                 std::int64_t lParam);

// Posts a message to every window of the session without waiting; the number reached.
int broadcastMessage(std::uint32_t message, std::uint64_t wParam, std::int64_t lParam);

// The receiving end: a window with a title. Messages are taken by receive() on the owner's
// thread; a copy-data record is acknowledged to its sender when the next receive() starts or
// the window is destroyed, so the sender waits while the owner handles it.
class DesktopWindow {
public:
    // Creates the window; fails when the folder cannot be had or the title is in use.
    static Result<std::unique_ptr<DesktopWindow>> create(const std::string& title);
    ~DesktopWindow();
    DesktopWindow(const DesktopWindow&) = delete;
    DesktopWindow& operator=(const DesktopWindow&) = delete;

    const std::string& title() const { return m_title; }

    // Waits up to timeoutMs for the next message.
    std::optional<DesktopMessage> receive(std::uint32_t timeoutMs);

private:
    DesktopWindow(std::string title, std::string path, int fd);
    void acknowledgePending();

    std::string m_title;
    std::string m_path;
    int m_fd = -1;
    std::string m_pendingAckPath;  // sender of the copy-data record being handled
    std::uint64_t m_pendingAckId = 0;
};

}  // namespace platform
