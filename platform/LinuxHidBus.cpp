#include "platform/LinuxHidBus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/Event.h"
#include "platform/HidReportDescriptor.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.m_fd, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

Result<std::string> readWholeFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return errnoError("open " + path);
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errnoError("read " + path);
        }
        if (n == 0) {
            return content;
        }
        content.append(chunk, static_cast<std::size_t>(n));
    }
}

// Orders names as people count: "hidraw2" before "hidraw10".
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            const std::size_t iEnd = a.find_first_not_of("0123456789", i);
            const std::size_t jEnd = b.find_first_not_of("0123456789", j);
            std::string x = a.substr(i, iEnd == std::string::npos ? std::string::npos : iEnd - i);
            std::string y = b.substr(j, jEnd == std::string::npos ? std::string::npos : jEnd - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size() - 1));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size() - 1));
            if (x.size() != y.size()) {
                return x.size() < y.size();
            }
            if (x != y) {
                return x < y;
            }
            i = iEnd == std::string::npos ? a.size() : iEnd;
            j = jEnd == std::string::npos ? b.size() : jEnd;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// Parses the HID_ID line of a HID device's uevent: "HID_ID=0003:00000556:00000A1B" (bus, vendor,
// product in hexadecimal).
Result<HidAttributes> parseHidId(const std::string& uevent, const std::string& file) {
    std::istringstream lines(uevent);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("HID_ID=", 0) != 0) {
            continue;
        }
        unsigned bus = 0;
        unsigned long vendor = 0;
        unsigned long product = 0;
        char tail = 0;
        if (std::sscanf(line.c_str() + 7, "%x:%lx:%lx%c", &bus, &vendor, &product, &tail) != 3) {
            break;
        }
        HidAttributes attributes;
        attributes.vendorId = static_cast<std::uint16_t>(vendor & 0xFFFF);
        attributes.productId = static_cast<std::uint16_t>(product & 0xFFFF);
        return attributes;
    }
    return PlatformError{EINVAL, "parse " + file + ": no valid HID_ID line"};
}

// The bcdDevice of the USB device above a HID device, found by walking up its sysfs parents but
// never above the sysfs root; 0 when there is none (a Bluetooth or I2C device, for instance).
std::uint16_t usbDeviceVersion(const fs::path& hidDevice, const fs::path& sysfsRoot) {
    std::error_code ec;
    const fs::path root = fs::canonical(sysfsRoot, ec);
    if (ec) {
        return 0;
    }
    fs::path dir = fs::canonical(hidDevice, ec);
    if (ec) {
        return 0;
    }
    const auto inside = [&root](const fs::path& p) {
        const auto rel = p.lexically_relative(root);
        return !rel.empty() && *rel.begin() != "..";
    };
    while (inside(dir) && dir != root) {
        const auto text = readWholeFile((dir / "bcdDevice").string());
        if (text.ok()) {
            unsigned version = 0;
            if (std::sscanf(text.value().c_str(), "%x", &version) == 1) {
                return static_cast<std::uint16_t>(version);
            }
            return 0;
        }
        dir = dir.parent_path();
    }
    return 0;
}

// The kernel keeps this many input reports for each reader of a hidraw node.
constexpr int kHidrawQueueReports = 64;

// "<dev>/hidraw3" is a node presented as one interface; "<dev>/hidraw3#2" is the second
// top-level collection of a node that presents several.
constexpr char kCollectionMark = '#';

struct InterfacePath {
    std::string node;        // the hidraw node's name
    std::size_t collection;  // from 1; 0 for the node as one interface
};

std::optional<InterfacePath> splitInterfacePath(const std::string& path, const std::string& devRoot) {
    const std::string prefix = devRoot + "/";
    if (path.rfind(prefix, 0) != 0) {
        return std::nullopt;
    }
    InterfacePath result{path.substr(prefix.size()), 0};
    if (const auto mark = result.node.find(kCollectionMark); mark != std::string::npos) {
        const std::string number = result.node.substr(mark + 1);
        result.node.resize(mark);
        if (number.empty() || number.size() > 5 || number[0] == '0' ||
            number.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        result.collection = std::stoul(number);
    }
    const auto& name = result.node;
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        return std::nullopt;
    }
    return result;
}

class LinuxHidDevice : public IHidDevice {
public:
    LinuxHidDevice(std::string path, std::string node, HidDescription description, UniqueFd fd,
                   HidOpenMode mode)
        : m_path(std::move(path)),
          m_node(std::move(node)),
          m_description(std::move(description)),
          m_fd(std::move(fd)),
          m_mode(mode) {}

    const std::string& path() const override { return m_path; }
    const HidDescription& description() const override { return m_description; }

    HidIoResult readInputReport(std::span<std::uint8_t> report, std::uint32_t timeoutMs) override {
        if (m_fd.get() < 0 || !m_mode.read) {
            return failed(EBADF, "read " + m_node + ": not opened for reading");
        }
        // hidraw hands over a numbered report with its ID first, and an unnumbered one without
        // the ID byte, which goes into byte 0 as 0.
        const bool numbered = m_description.numberedReports;
        if (report.size() < 2) {
            return failed(EINVAL, "read " + m_node + ": report buffer of " + std::to_string(report.size()) +
                                      " bytes is too short");
        }
        const auto target = numbered ? report : report.subspan(1);
        // Reports are read into a buffer of our own, so that one of another collection on the
        // same node never touches the caller's.
        m_received.resize(target.size());

        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int passedOverLate = 0;
        for (;;) {
            int waitMs = -1;
            if (timeoutMs != kInfinite) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                waitMs = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 0x7FFFFFFF));
            }
            pollfd pfd{m_fd.get(), POLLIN, 0};
            const int ready = ::poll(&pfd, 1, waitMs);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready < 0) {
                return failed(errnoError("poll " + m_node));
            }
            if (ready == 0) {
                return HidIoResult{HidIoStatus::TimedOut, 0, {}};
            }
            if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
                return unplugged("poll");
            }
            const ssize_t n = ::read(m_fd.get(), m_received.data(), m_received.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;  // nothing after all: wait for what is left of the time-out
            }
            // A removed hidraw device answers reads with ENODEV or EIO.
            if ((n < 0 && (errno == ENODEV || errno == EIO)) || n == 0) {
                return unplugged("read");
            }
            if (n < 0) {
                return failed(errnoError("read " + m_node));
            }
            if (numbered && !isOwnInputReport(m_received[0])) {
                // Another collection's report is no report of this interface. Once the time-out
                // has passed, no more than the kernel had queued is passed over, so that a
                // stream of them cannot hold the caller.
                if (Clock::now() >= deadline && ++passedOverLate > kHidrawQueueReports) {
                    return HidIoResult{HidIoStatus::TimedOut, 0, {}};
                }
                continue;
            }
            // hidraw hands over a report as long as the device sent it: the rest of the buffer
            // is zeroed, so no byte of an earlier report is taken for part of this one.
            const auto count = static_cast<std::size_t>(n);
            std::copy_n(m_received.begin(), count, target.begin());
            std::fill(target.begin() + static_cast<std::ptrdiff_t>(count), target.end(), 0);
            if (!numbered) {
                report[0] = 0;
                return HidIoResult{HidIoStatus::Ok, count + 1, {}};
            }
            return HidIoResult{HidIoStatus::Ok, count, {}};
        }
    }

    HidIoResult writeOutputReport(std::span<const std::uint8_t> report) override {
        if (m_fd.get() < 0 || !m_mode.write) {
            return failed(EBADF, "write " + m_node + ": not opened for writing");
        }
        if (report.empty()) {
            return failed(EINVAL, "write " + m_node + ": empty report");
        }
        // hidraw takes the report-ID byte first and drops it for an unnumbered report (ID 0).
        ssize_t n;
        do {
            n = ::write(m_fd.get(), report.data(), report.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno == ENODEV) {
            return unplugged("write");
        }
        if (n < 0) {
            return failed(errnoError("write " + m_node));
        }
        if (static_cast<std::size_t>(n) != report.size()) {
            HidIoResult result = failed(EIO, "write " + m_node + ": wrote " + std::to_string(n) + " of " +
                                                 std::to_string(report.size()) + " bytes");
            result.bytes = static_cast<std::size_t>(n);
            return result;
        }
        return HidIoResult{HidIoStatus::Ok, report.size(), {}};
    }

private:
    static HidIoResult failed(PlatformError error) {
        return HidIoResult{HidIoStatus::Failed, 0, std::move(error)};
    }
    static HidIoResult failed(int code, std::string what) {
        return failed(PlatformError{code, std::move(what)});
    }
    HidIoResult unplugged(const std::string& call) const {
        return HidIoResult{HidIoStatus::Unplugged, 0, errnoError(call + " " + m_node, ENODEV)};
    }
    bool isOwnInputReport(std::uint8_t reportId) const {
        const auto& ids = m_description.reportIds[static_cast<std::size_t>(HidReportKind::Input)];
        return std::find(ids.begin(), ids.end(), reportId) != ids.end();
    }

    std::string m_path;
    std::string m_node;  // the node's path, which error texts name
    HidDescription m_description;
    UniqueFd m_fd;
    HidOpenMode m_mode;
    std::vector<std::uint8_t> m_received;
};

}  // namespace

LinuxHidBus::LinuxHidBus(std::string sysfsRoot, std::string devRoot)
    : m_sysfsRoot(std::move(sysfsRoot)), m_devRoot(std::move(devRoot)) {}

Result<std::vector<std::string>> LinuxHidBus::listInterfaces() {
    const fs::path classDir = fs::path(m_sysfsRoot) / "class" / "hidraw";
    std::error_code ec;
    fs::directory_iterator it(classDir, ec);
    if (ec == std::errc::no_such_file_or_directory) {
        return std::vector<std::string>{};  // no hidraw driver loaded: no interface
    }
    if (ec) {
        return errnoError("opendir " + classDir.string(), ec.value());
    }
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (ec) {
        return errnoError("readdir " + classDir.string(), ec.value());
    }
    std::sort(names.begin(), names.end(), naturalLess);
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const auto& name : names) {
        const std::string node = m_devRoot + "/" + name;
        // A node that cannot be described is still listed; opening it reports why.
        const auto interfaces = describeNode(name);
        const std::size_t count = interfaces.ok() ? interfaces.value().size() : 1;
        if (count < 2) {
            paths.push_back(node);
            continue;
        }
        for (std::size_t i = 1; i <= count; ++i) {
            paths.push_back(node + kCollectionMark + std::to_string(i));
        }
    }
    return paths;
}

Result<std::vector<HidDescription>> LinuxHidBus::describeNode(const std::string& name) const {
    const fs::path entry = fs::path(m_sysfsRoot) / "class" / "hidraw" / name;
    std::error_code ec;
    if (!fs::exists(entry, ec)) {
        return errnoError("open " + m_devRoot + "/" + name, ENODEV);  // no such interface now
    }
    const fs::path device = entry / "device";

    const std::string ueventFile = (device / "uevent").string();
    const auto uevent = readWholeFile(ueventFile);
    if (!uevent) {
        return uevent.error();
    }
    auto attributes = parseHidId(uevent.value(), ueventFile);
    if (!attributes) {
        return attributes.error();
    }
    attributes.value().versionNumber = usbDeviceVersion(device, m_sysfsRoot);

    const std::string descriptorFile = (device / "report_descriptor").string();
    const auto bytes = readWholeFile(descriptorFile);
    if (!bytes) {
        return bytes.error();
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.value().data());
    const auto descriptor = parseReportDescriptor(std::span(data, bytes.value().size()));
    if (!descriptor) {
        return PlatformError{descriptor.error().code,
                             "parse " + descriptorFile + ": " + descriptor.error().what};
    }
    return describeInterfaces(attributes.value(), descriptor.value());
}

Result<HidDescription> LinuxHidBus::describe(const std::string& path) const {
    const auto where = splitInterfacePath(path, m_devRoot);
    if (!where) {
        return errnoError("open " + path, ENODEV);
    }
    auto interfaces = describeNode(where->node);
    if (!interfaces) {
        return interfaces.error();
    }
    auto& list = interfaces.value();
    // A node of one interface has no collection number, one of several needs it.
    const bool known =
        where->collection == 0 ? list.size() == 1 : list.size() > 1 && where->collection <= list.size();
    if (!known) {
        return errnoError("open " + path, ENODEV);
    }
    return std::move(list[where->collection == 0 ? 0 : where->collection - 1]);
}

Result<std::unique_ptr<IHidDevice>> LinuxHidBus::open(const std::string& path, HidOpenMode mode) {
    auto description = describe(path);
    if (!description) {
        return description.error();
    }
    const std::string node = m_devRoot + "/" + splitInterfacePath(path, m_devRoot)->node;
    UniqueFd fd;
    if (mode.read || mode.write) {
        // Reads poll first, so the node is non-blocking for them; hidraw writes ignore the flag.
        int flags = O_CLOEXEC | O_NOCTTY;
        if (mode.read && mode.write) {
            flags |= O_RDWR | O_NONBLOCK;
        } else if (mode.read) {
            flags |= O_RDONLY | O_NONBLOCK;
        } else {
            flags |= O_WRONLY;
        }
        fd.reset(::open(node.c_str(), flags));
        if (fd.get() < 0) {
            return errnoError("open " + node);
        }
        if (::flock(fd.get(), (mode.exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            return errnoError("open " + node, errno == EWOULDBLOCK ? EBUSY : errno);
        }
    }
    return std::unique_ptr<IHidDevice>(
        std::make_unique<LinuxHidDevice>(path, node, std::move(description.value()), std::move(fd), mode));
}

}  // namespace platform
