#include "platform/Result.h"

#include <cerrno>
#include <cstring>

namespace platform {

PlatformError errnoError(const std::string& call) {
    return errnoError(call, errno);
}

PlatformError errnoError(const std::string& call, int err) {
    return PlatformError{err, call + ": " + std::strerror(err)};
}

}  // namespace platform
