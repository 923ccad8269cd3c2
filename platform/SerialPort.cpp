#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace platform {
namespace {

speed_t speedFor(std::uint32_t baudRate) {
    switch (baudRate) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 230400:
            return B230400;
        default:
            return B115200;
    }
}

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

Result<std::unique_ptr<SerialPort>> SerialPort::open(const std::string& path,
                                                     const SerialSettings& settings) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errnoError("open " + path);
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        const auto error = errnoError("tcgetattr " + path);
        ::close(fd);
        return error;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speedFor(settings.baudRate));
    ::cfsetospeed(&tio, speedFor(settings.baudRate));
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        const auto error = errnoError("tcsetattr " + path);
        ::close(fd);
        return error;
    }
    return std::unique_ptr<SerialPort>(new SerialPort(path, fd, settings));
}

SerialPort::SerialPort(std::string path, int fd, SerialSettings settings)
    : m_path(std::move(path)), m_fd(fd), m_settings(settings) {}

SerialPort::~SerialPort() {
    ::close(m_fd);
}

Result<std::size_t> SerialPort::write(std::span<const std::uint8_t> data) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_settings.writeTimeoutMs);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(m_fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return errnoError("write " + m_path);
        }
        pollfd p{m_fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, millisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;  // a signal: wait for what is left of the time-out
        }
        if (ready <= 0) {
            break;  // the port takes no more within the time-out
        }
    }
    return done;
}

Result<std::size_t> SerialPort::read(std::span<std::uint8_t> buffer) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_settings.readTimeoutMs);
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::read(m_fd, buffer.data() + done, buffer.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            if (errno == EIO) {
                break;  // the other end has gone: what came is all there is
            }
            return errnoError("read " + m_path);
        }
        const int left = millisecondsLeft(deadline);
        if (left == 0) {
            break;
        }
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) {
            continue;  // a signal: wait for what is left of the time-out
        }
        if (ready <= 0 || (p.revents & (POLLERR | POLLNVAL)) != 0) {
            break;
        }
        if ((p.revents & POLLHUP) != 0 && (p.revents & POLLIN) == 0) {
            break;
        }
    }
    return done;
}

}  // namespace platform
