#include "device/RouteMatching.h"

#include "device/ReplyMatching.h"

int AcceptRouteReply(std::span<const std::uint8_t> message, std::span<const std::uint8_t> reply) {
    if (message.size() < 2 || reply.size() < 2) {
        return -1;
    }
    const int requestCode = message[0] * 256 + message[1];
    const int replyCode = reply[0] * 256 + reply[1];
    if (replyCode == 0xFFFF) {
        return -1;
    }
    const std::uint16_t mask = ReplyCodeMask(requestCode);
    if ((replyCode & mask) != (requestCode & mask)) {
        return -1;
    }
    // The echo rules of the HID route, less those of operations 0x15 to 0x18.
    const bool routeChecksEcho = requestCode < 0xF015 || requestCode > 0xF018;
    const bool echoed = !routeChecksEcho || ReplyEchoMatches(requestCode, message, reply);
    return echoed ? replyCode : -1;
}
