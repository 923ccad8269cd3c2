#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace platform {

// What a platform call reports when it fails: the errno-style code and a text that names the
// call and its object ("open /dev/hidraw3: Permission denied").
struct PlatformError {
    int code = 0;
    std::string what;
};

// A value or the error that kept the call from producing one.
template <typename T>
class Result {
public:
    Result(T value) : m_state(std::move(value)) {}
    Result(PlatformError error) : m_state(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(m_state); }
    explicit operator bool() const { return ok(); }

    T& value() { return std::get<T>(m_state); }
    const T& value() const { return std::get<T>(m_state); }
    const PlatformError& error() const { return std::get<PlatformError>(m_state); }

private:
    std::variant<T, PlatformError> m_state;
};

// Builds a PlatformError from errno after a failed system call.
PlatformError errnoError(const std::string& call);
PlatformError errnoError(const std::string& call, int err);

}  // namespace platform
