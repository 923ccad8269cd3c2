#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include "platform/Result.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_operation;
struct pa_stream;

namespace platform {

// Deleters for libpulse objects. Those of the context, operations and streams must run with
// the mainloop lock held.
struct PulseDeleter {
    void operator()(pa_threaded_mainloop* mainloop) const;
    void operator()(pa_context* context) const;
    void operator()(pa_operation* operation) const;
    void operator()(pa_stream* stream) const;
};
using PulseMainloopPtr = std::unique_ptr<pa_threaded_mainloop, PulseDeleter>;
using PulseContextPtr = std::unique_ptr<pa_context, PulseDeleter>;
using PulseOperationPtr = std::unique_ptr<pa_operation, PulseDeleter>;
using PulseStreamPtr = std::unique_ptr<pa_stream, PulseDeleter>;

// Holds the mainloop lock for a scope.
class PulseLock {
public:
    explicit PulseLock(pa_threaded_mainloop* mainloop);
    ~PulseLock();
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

private:
    pa_threaded_mainloop* m_mainloop;
};

// The completion of one server request, shared by the callback that finishes it (on the
// mainloop thread) and the caller waiting for it. The callback copies what it got into the
// request's own fields first, then calls finish; the first finish counts.
class PulseCall {
public:
    void finish(bool ok, std::string error = {});
    // True when finished within the time-out.
    bool waitFor(std::uint32_t timeoutMs);
    bool ok() const;
    std::string error() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    bool m_done = false;
    bool m_ok = false;
    std::string m_error;
};

// One client connection to the PulseAudio server, on a threaded mainloop of its own. It never
// starts a server: when none runs, every request fails at once with an error. A connection that
// the server dropped is made again at the next request.
class PulseContext {
public:
    struct Config {
        std::string clientName = "Quenlor Probe Guide";
        std::uint32_t connectTimeoutMs = 2000;  // longest wait for the server to accept us
        std::uint32_t requestTimeoutMs = 2000;  // longest wait for one request's answer
        // The mainloop thread runs at a raised priority (nice -11) where the system allows it:
        // it feeds and empties sound streams, which a busy machine must not make late.
        bool raisedPriority = false;
    };

    explicit PulseContext(Config config);
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    // Connects unless connected; the error names why the server cannot be reached.
    Result<std::monostate> ensureConnected();

    // Sends one request and waits for its answer. start runs under the mainloop lock and returns
    // the operation it began (null when libpulse refused it); its callbacks finish call. what
    // names the request in errors.
    Result<std::monostate> request(PulseCall& call, const std::string& what,
                                   const std::function<pa_operation*(pa_context*)>& start);

    // For stream owners: the mainloop (its lock guards the context and every stream) and the
    // context, valid after ensureConnected until the next reconnection.
    pa_threaded_mainloop* mainloop() const { return m_mainloop.get(); }
    pa_context* context() const { return m_context.get(); }
    const Config& config() const { return m_config; }

    // "what: <the context's last error>"; call under the lock.
    std::string contextError(const std::string& what) const;

    // Called on the mainloop thread, under its lock, when a connection that was ready fails or
    // ends (the server went away or dropped us); the next request connects anew. An empty
    // handler stops the calls.
    void setLostHandler(std::function<void()> handler);

private:
    static void onContextState(pa_context* context, void* userdata);

    Config m_config;
    PulseMainloopPtr m_mainloop;
    PulseContextPtr m_context;
    std::mutex m_connectMutex;  // one connection attempt at a time (several threads open streams)
    std::mutex m_stateMutex;
    std::condition_variable m_stateChanged;
    int m_state = 0;                 // the context's pa_context_state_t, copied by the state callback
    std::function<void()> m_onLost;  // guarded by the mainloop lock
};

}  // namespace platform
