#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

#include "platform/MessageBox.h"

class QThread;

// Shows the message boxes of the whole program on the GUI thread. A box asked for on the GUI
// thread is shown at once; one asked for by a worker is handed to the GUI thread and the worker
// waits for the answer.
//
// While the GUI thread itself waits for workers (the audio engine's Stop waits for threads that
// may be waiting for a box), it must keep showing boxes: runServingBoxes runs such a wait on a
// helper thread and serves box requests on the GUI thread until the wait is over.
class GuiMessageBoxHandler : public QObject, public platform::IMessageBoxHandler {
public:
    // How a box is put in front of the user; the default one uses QMessageBox. Called on the GUI
    // thread; returns the id of the button chosen.
    using Presenter = std::function<int(const platform::MessageBoxRequest&)>;

    // Made on the GUI thread, which is the thread boxes are shown on.
    explicit GuiMessageBoxHandler(Presenter presenter = {});
    ~GuiMessageBoxHandler() override;

    int show(const platform::MessageBoxRequest& request) override;

    // Installs a handler as the program's message-box handler and as the one runServingBoxes
    // serves; uninstall() puts back the one from before.
    static std::shared_ptr<GuiMessageBoxHandler> install(Presenter presenter = {});
    static void uninstall();

    // Runs `wait` so that boxes keep being shown meanwhile: on a helper thread while the GUI
    // thread serves box requests, when called on the GUI thread of an installed handler;
    // plainly otherwise.
    static void runServingBoxes(const std::function<void()>& wait);

    // The QMessageBox presenter.
    static int showQMessageBox(const platform::MessageBoxRequest& request);

private:
    struct Pending {
        platform::MessageBoxRequest request;
        std::promise<int> answer;
    };

    void waitServing(const std::function<void()>& wait);
    // Shows every queued box, oldest first.
    void serveQueued();

    Presenter m_presenter;
    QThread* m_guiThread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<Pending>> m_pending;
    bool m_closing = false;
};
