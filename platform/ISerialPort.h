#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/Result.h"

namespace platform {

// An open serial port. One thread uses a port at a time.
class ISerialPort {
public:
    virtual ~ISerialPort() = default;

    // Writes all of data; the number of bytes written.
    virtual Result<std::size_t> write(std::span<const std::uint8_t> data) = 0;

    // Reads until buffer is full or the port's read time-out has passed; the number of bytes
    // read (fewer than asked on a time-out).
    virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
};

}  // namespace platform
