#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ISerialPort.h"

namespace platform {

struct SerialSettings {
    std::uint32_t baudRate = 115200;
    std::uint32_t readTimeoutMs = 1000;  // bound of one read call as a whole
    std::uint32_t writeTimeoutMs = 1000;
};

// A serial port through termios in raw mode: 8 data bits, no parity, one stop bit, no flow
// control, no translation of any byte.
class SerialPort : public ISerialPort {
public:
    static Result<std::unique_ptr<SerialPort>> open(const std::string& path,
                                                    const SerialSettings& settings = {});
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    Result<std::size_t> write(std::span<const std::uint8_t> data) override;
    Result<std::size_t> read(std::span<std::uint8_t> buffer) override;

    const std::string& path() const { return m_path; }

private:
    SerialPort(std::string path, int fd, SerialSettings settings);

    std::string m_path;
    int m_fd;
    SerialSettings m_settings;
};

}  // namespace platform
