#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A sysfs and /dev tree in a temporary folder, as LinuxHidBus reads them; removed afterwards.
class FakeHidrawTree {
public:
    FakeHidrawTree() {
        char pattern[] = "/tmp/qpg-hidraw-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        m_root = made != nullptr ? made : "";
        std::filesystem::create_directories(sys() / "class" / "hidraw");
        std::filesystem::create_directories(dev());
    }
    ~FakeHidrawTree() {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    FakeHidrawTree(const FakeHidrawTree&) = delete;
    FakeHidrawTree& operator=(const FakeHidrawTree&) = delete;

    const std::filesystem::path& root() const { return m_root; }
    std::filesystem::path sys() const { return m_root / "sys"; }
    std::filesystem::path dev() const { return m_root / "dev"; }
    std::string node(const std::string& name) const { return (dev() / name).string(); }

    static void writeFile(const std::filesystem::path& path, const std::string& content) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    // A hidraw class entry whose "device" link leads to the HID device's folder; an empty
    // descriptor leaves out the report_descriptor file.
    void addInterface(const std::string& name, const std::filesystem::path& hidDevice,
                      const std::string& hidId, std::span<const std::uint8_t> descriptor) {
        writeFile(hidDevice / "uevent", "DRIVER=hid-generic\nHID_ID=" + hidId +
                                            "\nHID_NAME=Test Unit\nHID_PHYS=usb-0000:00:14.0-2/input3\n");
        if (!descriptor.empty()) {
            writeDescriptor(hidDevice, descriptor);
        }
        std::filesystem::create_directories(hidDevice / "hidraw" / name);
        std::filesystem::create_directory_symlink(hidDevice / "hidraw" / name,
                                                  sys() / "class" / "hidraw" / name);
        std::filesystem::create_directory_symlink(hidDevice, hidDevice / "hidraw" / name / "device");
    }

    // Replaces the report descriptor of an interface, as when another device takes its node.
    void setDescriptor(const std::string& name, std::span<const std::uint8_t> descriptor) {
        writeDescriptor(sys() / "class" / "hidraw" / name / "device", descriptor);
    }

private:
    static void writeDescriptor(const std::filesystem::path& hidDevice,
                                std::span<const std::uint8_t> descriptor) {
        writeFile(hidDevice / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
    }

    std::filesystem::path m_root;
};

// A hidraw node played by a pseudo-terminal in raw mode: the program opens the terminal at the
// node's path, the test holds the other side as the unit. A terminal keeps no report boundaries,
// so the reports in flight at one time should be of one length.
class PtyHidrawNode {
public:
    explicit PtyHidrawNode(const std::string& nodePath) {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
            ::ptsname_r(m_master, name, sizeof name) != 0) {
            return;
        }
        // Held open so that the unit's side never sees a hang-up between the program's openings.
        m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (m_slave < 0 || ::tcgetattr(m_slave, &raw) != 0) {
            return;
        }
        ::cfmakeraw(&raw);
        m_ok = ::tcsetattr(m_slave, TCSANOW, &raw) == 0 && ::symlink(name, nodePath.c_str()) == 0;
    }
    ~PtyHidrawNode() {
        for (const int fd : {m_slave, m_master}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    PtyHidrawNode(const PtyHidrawNode&) = delete;
    PtyHidrawNode& operator=(const PtyHidrawNode&) = delete;

    bool ok() const { return m_ok; }

    // Sends one input report, as the unit does.
    bool send(std::span<const std::uint8_t> report) {
        return ::write(m_master, report.data(), report.size()) == static_cast<ssize_t>(report.size());
    }

    // Waits until the program's side holds at least bytes unread bytes; false after timeoutMs.
    bool waitUnread(std::size_t bytes, int timeoutMs) const {
        for (int waited = 0;; ++waited) {
            int unread = 0;
            if (::ioctl(m_slave, FIONREAD, &unread) == 0 && static_cast<std::size_t>(unread) >= bytes) {
                return true;
            }
            if (waited >= timeoutMs) {
                return false;
            }
            ::usleep(1000);
        }
    }

    // The next output report of length bytes that the program wrote; nullopt after timeoutMs.
    std::optional<std::vector<std::uint8_t>> receive(std::size_t length, int timeoutMs) {
        std::vector<std::uint8_t> report(length);
        std::size_t got = 0;
        while (got < length) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) {
                return std::nullopt;
            }
            const ssize_t n = ::read(m_master, report.data() + got, length - got);
            if (n <= 0) {
                return std::nullopt;
            }
            got += static_cast<std::size_t>(n);
        }
        return report;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    bool m_ok = false;
};
