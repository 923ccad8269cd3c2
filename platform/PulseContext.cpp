#include "platform/PulseContext.h"

#include <pulse/pulseaudio.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace platform {

void PulseDeleter::operator()(pa_threaded_mainloop* mainloop) const {
    pa_threaded_mainloop_stop(mainloop);
    pa_threaded_mainloop_free(mainloop);
}

void PulseDeleter::operator()(pa_context* context) const {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
}

void PulseDeleter::operator()(pa_operation* operation) const {
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
}

void PulseDeleter::operator()(pa_stream* stream) const {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    pa_stream_set_moved_callback(stream, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);
}

PulseLock::PulseLock(pa_threaded_mainloop* mainloop) : m_mainloop(mainloop) {
    pa_threaded_mainloop_lock(m_mainloop);
}

PulseLock::~PulseLock() {
    pa_threaded_mainloop_unlock(m_mainloop);
}

void PulseCall::finish(bool ok, std::string error) {
    {
        std::lock_guard lock(m_mutex);
        if (m_done) {
            return;
        }
        m_done = true;
        m_ok = ok;
        m_error = std::move(error);
    }
    m_finished.notify_all();
}

bool PulseCall::waitFor(std::uint32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_finished.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_done; });
}

bool PulseCall::ok() const {
    std::lock_guard lock(m_mutex);
    return m_ok;
}

std::string PulseCall::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

namespace {

// An operation the context cancelled (the connection broke) never calls its own callback.
void onOperationState(pa_operation* operation, void* userdata) {
    if (pa_operation_get_state(operation) == PA_OPERATION_CANCELLED) {
        static_cast<PulseCall*>(userdata)->finish(false, "the connection to the server broke");
    }
}

bool isFinalState(int state) {
    return state == PA_CONTEXT_READY || state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

}  // namespace

PulseContext::PulseContext(Config config) : m_config(std::move(config)) {
    PulseMainloopPtr mainloop(pa_threaded_mainloop_new());
    if (mainloop && pa_threaded_mainloop_start(mainloop.get()) == 0) {
        m_mainloop = std::move(mainloop);
    } else if (mainloop) {
        pa_threaded_mainloop_free(mainloop.release());
    }
}

PulseContext::~PulseContext() {
    if (m_mainloop) {
        PulseLock lock(m_mainloop.get());
        m_context.reset();
    }
}

void PulseContext::onContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseContext*>(userdata);
    if (self->m_config.raisedPriority && pa_context_get_state(context) == PA_CONTEXT_READY) {
        // This runs on the mainloop thread; without the right to raise it, it stays as it is.
        [[maybe_unused]] const int refused = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -11);
    }
    const int state = pa_context_get_state(context);
    bool lost = false;
    {
        std::lock_guard lock(self->m_stateMutex);
        lost = self->m_state == PA_CONTEXT_READY &&
               (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED);
        self->m_state = state;
    }
    self->m_stateChanged.notify_all();
    if (lost && self->m_onLost) {
        self->m_onLost();
    }
}

void PulseContext::setLostHandler(std::function<void()> handler) {
    if (m_mainloop) {
        PulseLock lock(m_mainloop.get());
        m_onLost = std::move(handler);
    }
}

std::string PulseContext::contextError(const std::string& what) const {
    const int err = m_context ? pa_context_errno(m_context.get()) : PA_ERR_CONNECTIONREFUSED;
    return what + ": " + pa_strerror(err);
}

Result<std::monostate> PulseContext::ensureConnected() {
    if (!m_mainloop) {
        return PlatformError{ENOMEM, "pa_threaded_mainloop_new: cannot start the PulseAudio mainloop"};
    }
    std::lock_guard connecting(m_connectMutex);
    {
        PulseLock lock(m_mainloop.get());
        if (m_context && pa_context_get_state(m_context.get()) == PA_CONTEXT_READY) {
            return std::monostate{};
        }
        m_context.reset();
        {
            std::lock_guard stateLock(m_stateMutex);
            m_state = PA_CONTEXT_UNCONNECTED;
        }
        m_context.reset(
            pa_context_new(pa_threaded_mainloop_get_api(m_mainloop.get()), m_config.clientName.c_str()));
        if (!m_context) {
            return PlatformError{ENOMEM, "pa_context_new: failed"};
        }
        pa_context_set_state_callback(m_context.get(), &PulseContext::onContextState, this);
        // Never start a server: a machine without one simply has no endpoints.
        if (pa_context_connect(m_context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            PlatformError error{ECONNREFUSED, contextError("pa_context_connect")};
            m_context.reset();
            return error;
        }
    }
    bool settled = false;
    {
        std::unique_lock stateLock(m_stateMutex);
        settled = m_stateChanged.wait_for(stateLock, std::chrono::milliseconds(m_config.connectTimeoutMs),
                                          [this] { return isFinalState(m_state); });
    }
    PulseLock lock(m_mainloop.get());
    if (settled && pa_context_get_state(m_context.get()) == PA_CONTEXT_READY) {
        return std::monostate{};
    }
    PlatformError error =
        settled ? PlatformError{ECONNREFUSED, contextError("connect to the PulseAudio server")}
                : PlatformError{ETIMEDOUT, "connect to the PulseAudio server: no answer within " +
                                               std::to_string(m_config.connectTimeoutMs) + " ms"};
    m_context.reset();
    return error;
}

Result<std::monostate> PulseContext::request(PulseCall& call, const std::string& what,
                                             const std::function<pa_operation*(pa_context*)>& start) {
    auto connected = ensureConnected();
    if (!connected) {
        return PlatformError{connected.error().code, what + ": " + connected.error().what};
    }
    PulseOperationPtr operation;
    {
        PulseLock lock(m_mainloop.get());
        // Another thread may have dropped a context that failed since ensureConnected.
        if (!m_context || pa_context_get_state(m_context.get()) != PA_CONTEXT_READY) {
            return PlatformError{ECONNRESET, what + ": the connection to the PulseAudio server was lost"};
        }
        operation.reset(start(m_context.get()));
        if (!operation) {
            return PlatformError{EIO, contextError(what)};
        }
        pa_operation_set_state_callback(operation.get(), onOperationState, &call);
    }
    const bool answered = call.waitFor(m_config.requestTimeoutMs);
    {
        // Taking the lock also waits until the mainloop has left the callbacks that use call.
        PulseLock lock(m_mainloop.get());
        operation.reset();
    }
    if (!answered) {
        return PlatformError{ETIMEDOUT, what + ": no answer from the PulseAudio server within " +
                                            std::to_string(m_config.requestTimeoutMs) + " ms"};
    }
    if (!call.ok()) {
        return PlatformError{EIO, what + ": " + call.error()};
    }
    return std::monostate{};
}

}  // namespace platform
