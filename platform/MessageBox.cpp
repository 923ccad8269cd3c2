#include "platform/MessageBox.h"

#include <iostream>

namespace platform {
namespace {

std::mutex& handlerMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<IMessageBoxHandler>& installedHandler() {
    static std::shared_ptr<IMessageBoxHandler> handler;
    return handler;
}

const std::vector<int>& buttonsOf(unsigned style) {
    static const std::vector<int> ok{id::kOk};
    static const std::vector<int> okCancel{id::kOk, id::kCancel};
    static const std::vector<int> abortRetryIgnore{id::kAbort, id::kRetry, id::kIgnore};
    static const std::vector<int> yesNoCancel{id::kYes, id::kNo, id::kCancel};
    static const std::vector<int> yesNo{id::kYes, id::kNo};
    static const std::vector<int> retryCancel{id::kRetry, id::kCancel};
    switch (style & mb::kButtonsMask) {
        case mb::kOkCancel:
            return okCancel;
        case mb::kAbortRetryIgnore:
            return abortRetryIgnore;
        case mb::kYesNoCancel:
            return yesNoCancel;
        case mb::kYesNo:
            return yesNo;
        case mb::kRetryCancel:
            return retryCancel;
        default:
            return ok;
    }
}

// Without a GUI the box goes to stderr and the default button answers it.
class StderrMessageBoxHandler : public IMessageBoxHandler {
public:
    int show(const MessageBoxRequest& request) override {
        std::cerr << "[" << request.caption << "] " << request.text << '\n';
        return defaultAnswer(request.style);
    }
};

}  // namespace

int defaultAnswer(unsigned style) {
    const auto& buttons = buttonsOf(style);
    std::size_t index = (style & mb::kDefaultButtonMask) >> 8;
    if (index >= buttons.size()) {
        index = 0;
    }
    return buttons[index];
}

int showMessageBox(const std::string& caption, const std::string& text, unsigned style) {
    std::shared_ptr<IMessageBoxHandler> handler;
    {
        std::lock_guard lock(handlerMutex());
        handler = installedHandler();
    }
    if (!handler) {
        static StderrMessageBoxHandler fallback;
        return fallback.show({caption, text, style});
    }
    return handler->show({caption, text, style});
}

std::shared_ptr<IMessageBoxHandler> setMessageBoxHandler(std::shared_ptr<IMessageBoxHandler> handler) {
    std::lock_guard lock(handlerMutex());
    auto previous = std::move(installedHandler());
    installedHandler() = std::move(handler);
    return previous;
}

int RecordingMessageBoxHandler::show(const MessageBoxRequest& request) {
    std::lock_guard lock(m_mutex);
    m_shown.push_back(request);
    if (!m_script.empty()) {
        const int answer = m_script.front();
        m_script.pop_front();
        return answer;
    }
    return defaultAnswer(request.style);
}

void RecordingMessageBoxHandler::scriptAnswer(int answer) {
    std::lock_guard lock(m_mutex);
    m_script.push_back(answer);
}

std::vector<MessageBoxRequest> RecordingMessageBoxHandler::shown() const {
    std::lock_guard lock(m_mutex);
    return m_shown;
}

std::size_t RecordingMessageBoxHandler::count() const {
    std::lock_guard lock(m_mutex);
    return m_shown.size();
}

void RecordingMessageBoxHandler::clear() {
    std::lock_guard lock(m_mutex);
    m_shown.clear();
    m_script.clear();
}

}  // namespace platform
