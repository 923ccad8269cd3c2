#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/Result.h"

namespace platform {

// What a TLS client trusts and checks.
struct TlsSettings {
    std::string hostName;  // the server's name or address, checked against its certificate
    std::string caFile;    // extra trusted CA certificates (PEM) beside the system's store; may be empty
};

// The client side of a TLS session (OpenSSL) as an engine without a socket of its own: the
// caller hands it the bytes that came from the peer and sends the bytes it produces. The
// server's certificate must chain to the system's trusted store (or to settings.caFile) and
// name settings.hostName; otherwise the handshake fails.
class TlsClient {
public:
    enum class Status { Done, WantInput, Closed, Failed };

    // A session ready for its handshake; an error when the settings cannot be used (an
    // unreadable CA file).
    static Result<std::unique_ptr<TlsClient>> create(const TlsSettings& settings);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // One step of each operation; WantInput asks for more bytes from the peer (feed) before the
    // same call is made again. The bytes to send (takeOutput) must go out after every call.
    Status handshake();
    Status read(void* buffer, std::size_t capacity, std::size_t& got);
    Status write(const void* data, std::size_t length, std::size_t& written);
    // Starts the closing alert; its bytes come out of takeOutput.
    void shutdown();

    void feed(const void* data, std::size_t length);
    std::string takeOutput();
    // Why the last call failed: the certificate check's verdict or OpenSSL's error text.
    const std::string& failure() const { return m_failure; }

private:
    struct Handles;
    explicit TlsClient(std::unique_ptr<Handles> handles);
    Status status(int result);

    std::unique_ptr<Handles> m_handles;
    std::string m_failure;
};

}  // namespace platform
