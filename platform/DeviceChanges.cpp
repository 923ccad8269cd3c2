#include "platform/DeviceChanges.h"

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/System.h"

namespace platform {

std::uintptr_t deviceChangeEvent(const char* action) {
    if (action != nullptr && std::strcmp(action, "add") == 0) {
        return devchange::kArrival;
    }
    if (action != nullptr && std::strcmp(action, "remove") == 0) {
        return devchange::kRemoveComplete;
    }
    return devchange::kNodesChanged;
}

void DeviceChangeNotifier::setListener(Listener listener) {
    std::lock_guard lock(m_mutex);
    m_listener = std::move(listener);
}

void DeviceChangeNotifier::raise(std::uintptr_t event) {
    std::lock_guard lock(m_mutex);
    if (m_listener) {
        m_listener(event);
    }
}

void DeviceChangeSources::setListener(Listener listener) {
    const bool listening = static_cast<bool>(listener);
    DeviceChangeNotifier::setListener(std::move(listener));
    for (auto* source : m_sources) {
        source->setListener(listening ? Listener([this](std::uintptr_t event) { raise(event); })
                                      : Listener{});
    }
}

UdevDeviceChanges::UdevDeviceChanges() {
    m_udev = udev_new();
    if (m_udev == nullptr) {
        debugOutput("udev_new failed: no device-change events\n");
        return;
    }
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (m_monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "sound", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0 || ::pipe(m_wakeFds) != 0) {
        debugOutput("udev monitor on hidraw and sound failed: no device-change events\n");
        if (m_monitor != nullptr) {
            udev_monitor_unref(m_monitor);
            m_monitor = nullptr;
        }
        return;
    }
    m_thread = std::thread([this] { run(); });
}

UdevDeviceChanges::~UdevDeviceChanges() {
    if (m_thread.joinable()) {
        const char stop = 0;
        [[maybe_unused]] const auto written = ::write(m_wakeFds[1], &stop, 1);
        m_thread.join();
    }
    for (const int fd : m_wakeFds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (m_monitor != nullptr) {
        udev_monitor_unref(m_monitor);
    }
    if (m_udev != nullptr) {
        udev_unref(m_udev);
    }
}

void UdevDeviceChanges::run() {
    pollfd fds[2] = {{udev_monitor_get_fd(m_monitor), POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            debugOutput("poll on the udev monitor failed: no more device-change events\n");
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        udev_device* device = udev_monitor_receive_device(m_monitor);
        if (device != nullptr) {
            raise(deviceChangeEvent(udev_device_get_action(device)));
            udev_device_unref(device);
        }
    }
}

}  // namespace platform
