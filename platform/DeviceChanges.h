#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct udev;
struct udev_monitor;

namespace platform {

// Event codes of device changes, with the values the wizard's handler tests.
namespace devchange {
inline constexpr std::uintptr_t kNodesChanged = 0x0007;
inline constexpr std::uintptr_t kArrival = 0x8000;
inline constexpr std::uintptr_t kRemoveComplete = 0x8004;
}  // namespace devchange

// Tells a listener that devices were added, removed or changed. The listener is called on a
// thread of the service (or of whoever raises the event); it must hand the event on quickly.
class IDeviceChanges {
public:
    using Listener = std::function<void(std::uintptr_t event)>;

    virtual ~IDeviceChanges() = default;
    // Replaces the listener; an empty one stops the calls. Returns once no call of the
    // previous listener is running any more.
    virtual void setListener(Listener listener) = 0;
};

// The event code of a udev action: "add" arrival, "remove" removal, anything else a change.
std::uintptr_t deviceChangeEvent(const char* action);

// Holds the listener and calls it; the base of the services below.
class DeviceChangeNotifier : public IDeviceChanges {
public:
    void setListener(Listener listener) override;

    // Calls the listener with the event (nothing without one).
    void raise(std::uintptr_t event);

private:
    std::mutex m_mutex;  // held while the listener runs, so setListener waits for it
    Listener m_listener;
};

// Several sources of device changes heard as one: the listener gets the events of all of them.
class DeviceChangeSources final : public DeviceChangeNotifier {
public:
    explicit DeviceChangeSources(std::vector<IDeviceChanges*> sources) : m_sources(std::move(sources)) {}
    ~DeviceChangeSources() override { setListener({}); }
    DeviceChangeSources(const DeviceChangeSources&) = delete;
    DeviceChangeSources& operator=(const DeviceChangeSources&) = delete;

    void setListener(Listener listener) override;

private:
    std::vector<IDeviceChanges*> m_sources;
};

// The machine's device changes: a udev monitor on the hidraw and sound subsystems, read by a
// thread of its own while a listener is set.
class UdevDeviceChanges final : public DeviceChangeNotifier {
public:
    UdevDeviceChanges();
    ~UdevDeviceChanges() override;
    UdevDeviceChanges(const UdevDeviceChanges&) = delete;
    UdevDeviceChanges& operator=(const UdevDeviceChanges&) = delete;

    // False when the monitor could not be set up (no udev); then no event ever comes.
    bool ok() const { return m_monitor != nullptr; }

private:
    void run();

    ::udev* m_udev = nullptr;
    ::udev_monitor* m_monitor = nullptr;
    int m_wakeFds[2] = {-1, -1};
    std::thread m_thread;
};

}  // namespace platform
