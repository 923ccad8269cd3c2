#include "wizard/GuiMessageBoxHandler.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QWidget>
#include <thread>

namespace {

std::mutex& installedMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<GuiMessageBoxHandler>& installedHandler() {
    static std::shared_ptr<GuiMessageBoxHandler> handler;
    return handler;
}

std::shared_ptr<platform::IMessageBoxHandler>& previousHandler() {
    static std::shared_ptr<platform::IMessageBoxHandler> handler;
    return handler;
}

struct ButtonId {
    QMessageBox::StandardButton button;
    int id;
};

constexpr ButtonId kButtons[] = {
    {QMessageBox::Ok, platform::id::kOk},         {QMessageBox::Cancel, platform::id::kCancel},
    {QMessageBox::Abort, platform::id::kAbort},   {QMessageBox::Retry, platform::id::kRetry},
    {QMessageBox::Ignore, platform::id::kIgnore}, {QMessageBox::Yes, platform::id::kYes},
    {QMessageBox::No, platform::id::kNo},
};

std::vector<QMessageBox::StandardButton> buttonsOf(unsigned style) {
    using B = QMessageBox;
    switch (style & platform::mb::kButtonsMask) {
        case platform::mb::kOkCancel:
            return {B::Ok, B::Cancel};
        case platform::mb::kAbortRetryIgnore:
            return {B::Abort, B::Retry, B::Ignore};
        case platform::mb::kYesNoCancel:
            return {B::Yes, B::No, B::Cancel};
        case platform::mb::kYesNo:
            return {B::Yes, B::No};
        case platform::mb::kRetryCancel:
            return {B::Retry, B::Cancel};
        default:
            return {B::Ok};
    }
}

QMessageBox::Icon iconOf(unsigned style) {
    switch (style & platform::mb::kIconMask) {
        case platform::mb::kIconError:
            return QMessageBox::Critical;
        case platform::mb::kIconQuestion:
            return QMessageBox::Question;
        case platform::mb::kIconWarning:
            return QMessageBox::Warning;
        case platform::mb::kIconInformation:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

}  // namespace

GuiMessageBoxHandler::GuiMessageBoxHandler(Presenter presenter)
    : m_presenter(presenter ? std::move(presenter) : Presenter(&GuiMessageBoxHandler::showQMessageBox)),
      m_guiThread(QThread::currentThread()) {}

GuiMessageBoxHandler::~GuiMessageBoxHandler() {
    // Workers still waiting get the default answer rather than waiting for ever.
    std::lock_guard lock(m_mutex);
    m_closing = true;
    for (auto& pending : m_pending) {
        pending->answer.set_value(platform::defaultAnswer(pending->request.style));
    }
    m_pending.clear();
}

int GuiMessageBoxHandler::show(const platform::MessageBoxRequest& request) {
    if (QThread::currentThread() == m_guiThread) {
        return m_presenter(request);
    }
    auto pending = std::make_shared<Pending>();
    pending->request = request;
    auto answer = pending->answer.get_future();
    {
        std::lock_guard lock(m_mutex);
        if (m_closing) {
            return platform::defaultAnswer(request.style);
        }
        m_pending.push_back(pending);
    }
    m_changed.notify_all();
    QMetaObject::invokeMethod(
        this, [this] { serveQueued(); }, Qt::QueuedConnection);
    return answer.get();
}

void GuiMessageBoxHandler::serveQueued() {
    for (;;) {
        std::shared_ptr<Pending> next;
        {
            std::lock_guard lock(m_mutex);
            if (m_pending.empty()) {
                return;
            }
            next = m_pending.front();
            m_pending.pop_front();
        }
        next->answer.set_value(m_presenter(next->request));
    }
}

void GuiMessageBoxHandler::waitServing(const std::function<void()>& wait) {
    bool done = false;
    std::thread waiter([&] {
        wait();
        std::lock_guard lock(m_mutex);
        done = true;
        m_changed.notify_all();
    });
    for (;;) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return done || !m_pending.empty(); });
        if (!m_pending.empty()) {
            lock.unlock();
            serveQueued();
            continue;
        }
        break;
    }
    waiter.join();
}

std::shared_ptr<GuiMessageBoxHandler> GuiMessageBoxHandler::install(Presenter presenter) {
    auto handler = std::make_shared<GuiMessageBoxHandler>(std::move(presenter));
    std::lock_guard lock(installedMutex());
    auto previous = platform::setMessageBoxHandler(handler);
    if (!installedHandler()) {
        previousHandler() = std::move(previous);
    }
    installedHandler() = handler;
    return handler;
}

void GuiMessageBoxHandler::uninstall() {
    std::lock_guard lock(installedMutex());
    if (installedHandler()) {
        platform::setMessageBoxHandler(std::move(previousHandler()));
        installedHandler().reset();
    }
}

void GuiMessageBoxHandler::runServingBoxes(const std::function<void()>& wait) {
    std::shared_ptr<GuiMessageBoxHandler> handler;
    {
        std::lock_guard lock(installedMutex());
        handler = installedHandler();
    }
    if (handler && QThread::currentThread() == handler->m_guiThread) {
        handler->waitServing(wait);
    } else {
        wait();
    }
}

int GuiMessageBoxHandler::showQMessageBox(const platform::MessageBoxRequest& request) {
    QMessageBox box(iconOf(request.style), QString::fromStdString(request.caption),
                    QString::fromStdString(request.text), QMessageBox::NoButton,
                    QApplication::activeWindow());
    const auto buttons = buttonsOf(request.style);
    for (const auto button : buttons) {
        box.addButton(button);
    }
    std::size_t defaultIndex = (request.style & platform::mb::kDefaultButtonMask) >> 8;
    if (defaultIndex >= buttons.size()) {
        defaultIndex = 0;
    }
    box.setDefaultButton(buttons[defaultIndex]);
    const int chosen = box.exec();
    for (const auto& entry : kButtons) {
        if (entry.button == chosen) {
            return entry.id;
        }
    }
    return platform::defaultAnswer(request.style);
}
