#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// Message-box styles and answers, with the values the system's callers pass and test.
namespace mb {
inline constexpr unsigned kOk = 0x0;
inline constexpr unsigned kOkCancel = 0x1;
inline constexpr unsigned kAbortRetryIgnore = 0x2;
inline constexpr unsigned kYesNoCancel = 0x3;
inline constexpr unsigned kYesNo = 0x4;
inline constexpr unsigned kRetryCancel = 0x5;
inline constexpr unsigned kButtonsMask = 0xF;

inline constexpr unsigned kIconError = 0x10;
inline constexpr unsigned kIconQuestion = 0x20;
inline constexpr unsigned kIconWarning = 0x30;
inline constexpr unsigned kIconInformation = 0x40;
inline constexpr unsigned kIconMask = 0xF0;

inline constexpr unsigned kDefaultButton2 = 0x100;
inline constexpr unsigned kDefaultButton3 = 0x200;
inline constexpr unsigned kDefaultButtonMask = 0xF00;
}  // namespace mb

namespace id {
inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;
inline constexpr int kAbort = 3;
inline constexpr int kRetry = 4;
inline constexpr int kIgnore = 5;
inline constexpr int kYes = 6;
inline constexpr int kNo = 7;
}  // namespace id

struct MessageBoxRequest {
    std::string caption;
    std::string text;
    unsigned style = mb::kOk;
};

// The answer a box gives when nobody chooses: its default button.
int defaultAnswer(unsigned style);

// Who shows message boxes. The GUI installs one that hops to its own thread; tests install a
// recorder. Called on whichever thread asks.
class IMessageBoxHandler {
public:
    virtual ~IMessageBoxHandler() = default;
    virtual int show(const MessageBoxRequest& request) = 0;
};

// Shows a box through the installed handler (stderr and the default button when none).
// Thread-safe.
int showMessageBox(const std::string& caption, const std::string& text, unsigned style = mb::kOk);

// Installs a handler; null restores the stderr one. Returns the previous handler.
std::shared_ptr<IMessageBoxHandler> setMessageBoxHandler(std::shared_ptr<IMessageBoxHandler> handler);

// Records every box and answers from a script, then with the default button.
class RecordingMessageBoxHandler : public IMessageBoxHandler {
public:
    int show(const MessageBoxRequest& request) override;

    void scriptAnswer(int answer);
    std::vector<MessageBoxRequest> shown() const;
    std::size_t count() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<MessageBoxRequest> m_shown;
    std::deque<int> m_script;
};

// Installs a handler for a scope and restores the previous one after.
class ScopedMessageBoxHandler {
public:
    explicit ScopedMessageBoxHandler(std::shared_ptr<IMessageBoxHandler> handler)
        : m_previous(setMessageBoxHandler(std::move(handler))) {}
    ~ScopedMessageBoxHandler() { setMessageBoxHandler(m_previous); }
    ScopedMessageBoxHandler(const ScopedMessageBoxHandler&) = delete;
    ScopedMessageBoxHandler& operator=(const ScopedMessageBoxHandler&) = delete;

private:
    std::shared_ptr<IMessageBoxHandler> m_previous;
};

}  // namespace platform
