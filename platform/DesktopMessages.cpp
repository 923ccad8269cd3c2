#include "platform/DesktopMessages.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

constexpr std::uint32_t kMagic = 0x314D4451;  // "QDM1"
constexpr std::uint32_t kTypeCopyData = 1;
constexpr std::uint32_t kTypePost = 2;
constexpr std::uint32_t kTypeAck = 3;
constexpr std::size_t kHeaderBytes = 48;
constexpr std::size_t kMaxDatagramBytes = 65536;
constexpr const char* kWindowPrefix = "w-";

std::mutex& folderMutex() {
    static std::mutex m;
    return m;
}

std::string& folderOverride() {
    static std::string folder;
    return folder;
}

// Owns a socket descriptor and, for a bound socket, the name it is bound to.
class SocketFd {
public:
    SocketFd() : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~SocketFd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        if (!m_boundPath.empty()) {
            ::unlink(m_boundPath.c_str());
        }
    }
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;

    int fd() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        m_boundPath.clear();
        return fd;
    }
    void setBoundPath(const std::string& path) { m_boundPath = path; }

private:
    int m_fd;
    std::string m_boundPath;
};

bool makeAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Window titles become file names: letters, digits, '-', '_' and '.' stay, the rest %XX.
std::string encodeTitle(const std::string& title) {
    static const char* hex = "0123456789ABCDEF";
    std::string name = kWindowPrefix;
    for (const unsigned char c : title) {
        // ASCII only: the name must not follow the session's character classes.
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (alnum || c == '-' || c == '_' || c == '.') {
            name += static_cast<char>(c);
        } else {
            name += '%';
            name += hex[c >> 4];
            name += hex[c & 0xF];
        }
    }
    return name;
}

void putLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

std::uint64_t getLe(const std::uint8_t* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

struct Header {
    std::uint32_t type = 0;
    std::uint32_t message = 0;
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
    std::uint64_t copyDataId = 0;
    std::uint64_t sequence = 0;
};

std::vector<std::uint8_t> encode(const Header& h, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderBytes + data.size());
    putLe(out, kMagic, 4);
    putLe(out, h.type, 4);
    putLe(out, h.message, 4);
    putLe(out, 0, 4);
    putLe(out, h.wParam, 8);
    putLe(out, static_cast<std::uint64_t>(h.lParam), 8);
    putLe(out, h.copyDataId, 8);
    putLe(out, h.sequence, 8);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::optional<Header> decode(const std::uint8_t* in, std::size_t size) {
    if (size < kHeaderBytes || getLe(in, 4) != kMagic) {
        return std::nullopt;
    }
    Header h;
    h.type = static_cast<std::uint32_t>(getLe(in + 4, 4));
    h.message = static_cast<std::uint32_t>(getLe(in + 8, 4));
    h.wParam = getLe(in + 16, 8);
    h.lParam = static_cast<std::int64_t>(getLe(in + 24, 8));
    h.copyDataId = getLe(in + 32, 8);
    h.sequence = getLe(in + 40, 8);
    return h;
}

bool sendTo(int fd, const std::string& path, const std::vector<std::uint8_t>& datagram) {
    sockaddr_un address;
    if (!makeAddress(path, address)) {
        return false;
    }
    const ssize_t sent = ::sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return sent == static_cast<ssize_t>(datagram.size());
}

// True when a socket is bound at path (a stale file refuses the connection).
bool socketAlive(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return false;
    }
    SocketFd probe;
    sockaddr_un address;
    if (probe.fd() < 0 || !makeAddress(path, address)) {
        return false;
    }
    return ::connect(probe.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::string windowPath(const std::string& folder, const std::string& title) {
    return folder + "/" + encodeTitle(title);
}

}  // namespace

std::optional<std::string> desktopMessageFolder() {
    std::string folder;
    {
        std::lock_guard lock(folderMutex());
        folder = folderOverride();
    }
    if (folder.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime == nullptr || runtime[0] != '/') {
            return std::nullopt;
        }
        folder = std::string(runtime) + "/quenlor-desktop";
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            return std::nullopt;
        }
    }
    // Only a folder of ours that nobody else may enter will do.
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        return std::nullopt;
    }
    return folder;
}

void setDesktopMessageFolder(const std::string& folder) {
    std::lock_guard lock(folderMutex());
    folderOverride() = folder;
}

std::optional<WindowTarget> findWindow(const std::string& title) {
    const auto folder = desktopMessageFolder();
    if (!folder) {
        return std::nullopt;
    }
    const std::string path = windowPath(*folder, title);
    if (!socketAlive(path)) {
        return std::nullopt;
    }
    return WindowTarget{title, path};
}

bool sendCopyData(const WindowTarget& window, std::uint64_t wParam, std::uint64_t copyDataId,
                  std::span<const std::uint8_t> data, std::uint32_t replyTimeoutMs) {
    static std::atomic<std::uint64_t> nextSequence{1};
    const auto folder = desktopMessageFolder();
    if (!folder || data.size() + kHeaderBytes > kMaxDatagramBytes) {
        return false;
    }
    // The acknowledgement comes back to a socket of our own in the same private folder.
    const std::uint64_t sequence = nextSequence++;
    const std::string replyPath =
        *folder + "/.reply-" + std::to_string(::getpid()) + "-" + std::to_string(sequence);
    SocketFd replySocket;
    sockaddr_un address;
    if (replySocket.fd() < 0 || !makeAddress(replyPath, address)) {
        return false;
    }
    ::unlink(replyPath.c_str());
    if (::bind(replySocket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return false;
    }
    replySocket.setBoundPath(replyPath);

    Header h;
    h.type = kTypeCopyData;
    h.message = kWmCopyData;
    h.wParam = wParam;
    h.copyDataId = copyDataId;
    h.sequence = sequence;
    if (!sendTo(replySocket.fd(), window.socketPath, encode(h, data))) {
        return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(replyTimeoutMs);
    std::uint8_t buffer[kHeaderBytes];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            return false;
        }
        pollfd p{replySocket.fd(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t got = ::recv(replySocket.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) {
            continue;
        }
        const auto ack = decode(buffer, static_cast<std::size_t>(got));
        if (ack && ack->type == kTypeAck && ack->sequence == sequence) {
            return true;
        }
    }
}

bool postMessage(const WindowTarget& window, std::uint32_t message, std::uint64_t wParam,
                 std::int64_t lParam) {
    SocketFd sender;
    if (sender.fd() < 0) {
        return false;
    }
    Header h;
    h.type = kTypePost;
    h.message = message;
    h.wParam = wParam;
    h.lParam = lParam;
    return sendTo(sender.fd(), window.socketPath, encode(h, {}));
}

int broadcastMessage(std::uint32_t message, std::uint64_t wParam, std::int64_t lParam) {
    const auto folder = desktopMessageFolder();
    if (!folder) {
        return 0;
    }
    DIR* dir = ::opendir(folder->c_str());
    if (dir == nullptr) {
        return 0;
    }
    std::vector<std::string> paths;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, kWindowPrefix, std::strlen(kWindowPrefix)) == 0) {
            paths.push_back(*folder + "/" + entry->d_name);
        }
    }
    ::closedir(dir);
    int reached = 0;
    for (const auto& path : paths) {
        if (postMessage(WindowTarget{{}, path}, message, wParam, lParam)) {
            ++reached;
        }
    }
    return reached;
}

Result<std::unique_ptr<DesktopWindow>> DesktopWindow::create(const std::string& title) {
    const auto folder = desktopMessageFolder();
    if (!folder) {
        return PlatformError{EACCES, "desktop message folder: not available"};
    }
    const std::string path = windowPath(*folder, title);
    sockaddr_un address;
    if (!makeAddress(path, address)) {
        return PlatformError{ENAMETOOLONG, "bind " + path + ": name too long"};
    }
    if (socketAlive(path)) {
        return PlatformError{EADDRINUSE, "bind " + path + ": a window with this title exists"};
    }
    ::unlink(path.c_str());  // a stale name left by a window that died
    SocketFd socket;
    if (socket.fd() < 0) {
        return errnoError("socket");
    }
    if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return errnoError("bind " + path);
    }
    return std::unique_ptr<DesktopWindow>(new DesktopWindow(title, path, socket.release()));
}

DesktopWindow::DesktopWindow(std::string title, std::string path, int fd)
    : m_title(std::move(title)), m_path(std::move(path)), m_fd(fd) {}

DesktopWindow::~DesktopWindow() {
    acknowledgePending();
    ::close(m_fd);
    ::unlink(m_path.c_str());
}

void DesktopWindow::acknowledgePending() {
    if (m_pendingAckPath.empty()) {
        return;
    }
    Header h;
    h.type = kTypeAck;
    h.sequence = m_pendingAckId;
    sendTo(m_fd, m_pendingAckPath, encode(h, {}));
    m_pendingAckPath.clear();
}

std::optional<DesktopMessage> DesktopWindow::receive(std::uint32_t timeoutMs) {
    acknowledgePending();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::uint8_t> buffer(kMaxDatagramBytes);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        sockaddr_un from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) {
            continue;
        }
        const auto h = decode(buffer.data(), static_cast<std::size_t>(got));
        if (!h || (h->type != kTypeCopyData && h->type != kTypePost)) {
            continue;  // not a message of ours
        }
        DesktopMessage message;
        message.message = h->message;
        message.wParam = h->wParam;
        message.lParam = h->lParam;
        if (h->type == kTypeCopyData) {
            message.isCopyData = true;
            message.copyDataId = h->copyDataId;
            message.data.assign(buffer.begin() + kHeaderBytes, buffer.begin() + got);
            if (fromLength > offsetof(sockaddr_un, sun_path) && from.sun_path[0] != '\0') {
                m_pendingAckPath.assign(from.sun_path, ::strnlen(from.sun_path, sizeof from.sun_path));
                m_pendingAckId = h->sequence;
            }
        }
        return message;
    }
}

}  // namespace platform
