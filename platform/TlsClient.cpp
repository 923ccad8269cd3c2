#include "platform/TlsClient.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <climits>

namespace platform {
namespace {

std::string openSslError(const std::string& what) {
    const unsigned long code = ERR_get_error();
    if (code == 0) {
        return what;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return what + ": " + text;
}

bool isAddressLiteral(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

struct TlsClient::Handles {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    BIO* input = nullptr;   // owned by ssl
    BIO* output = nullptr;  // owned by ssl

    ~Handles() {
        SSL_free(ssl);
        SSL_CTX_free(context);
    }
};

TlsClient::TlsClient(std::unique_ptr<Handles> handles) : m_handles(std::move(handles)) {}

TlsClient::~TlsClient() = default;

Result<std::unique_ptr<TlsClient>> TlsClient::create(const TlsSettings& settings) {
    ERR_clear_error();
    auto handles = std::make_unique<Handles>();
    const auto failed = [](const std::string& what) { return PlatformError{EPROTO, openSslError(what)}; };
    handles->context = SSL_CTX_new(TLS_client_method());
    if (handles->context == nullptr) {
        return failed("TLS context");
    }
    SSL_CTX* context = handles->context;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(context) != 1) {
        return failed("the system's trusted certificates");
    }
    if (!settings.caFile.empty() &&
        SSL_CTX_load_verify_locations(context, settings.caFile.c_str(), nullptr) != 1) {
        return failed("CA file " + settings.caFile);
    }
    handles->ssl = SSL_new(context);
    handles->input = BIO_new(BIO_s_mem());
    handles->output = BIO_new(BIO_s_mem());
    if (handles->ssl == nullptr || handles->input == nullptr || handles->output == nullptr) {
        BIO_free(handles->input);
        BIO_free(handles->output);
        return failed("TLS session");
    }
    BIO_set_mem_eof_return(handles->input, -1);  // no input yet: ask for more, not end of stream
    SSL_set_bio(handles->ssl, handles->input, handles->output);
    SSL_set_connect_state(handles->ssl);
    // The certificate must name the host the user gave: an address literal as an IP address
    // entry, a name as a DNS name (also sent as the server name indication).
    const std::string& host = settings.hostName;
    if (isAddressLiteral(host)) {
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(handles->ssl), host.c_str()) != 1) {
            return failed("TLS host address " + host);
        }
    } else {
        SSL_set_hostflags(handles->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(handles->ssl, host.c_str()) != 1 ||
            SSL_set_tlsext_host_name(handles->ssl, host.c_str()) != 1) {
            return failed("TLS host name " + host);
        }
    }
    return std::unique_ptr<TlsClient>(new TlsClient(std::move(handles)));
}

TlsClient::Status TlsClient::status(int result) {
    switch (SSL_get_error(m_handles->ssl, result)) {
        case SSL_ERROR_NONE:
            return Status::Done;
        case SSL_ERROR_WANT_READ:
            return Status::WantInput;
        case SSL_ERROR_ZERO_RETURN:
            return Status::Closed;
        default:
            break;
    }
    const long verdict = SSL_get_verify_result(m_handles->ssl);
    m_failure = verdict != X509_V_OK ? std::string("server certificate not accepted: ") +
                                           X509_verify_cert_error_string(verdict)
                                     : openSslError("TLS");
    return Status::Failed;
}

TlsClient::Status TlsClient::handshake() {
    ERR_clear_error();
    return status(SSL_do_handshake(m_handles->ssl));
}

TlsClient::Status TlsClient::read(void* buffer, std::size_t capacity, std::size_t& got) {
    ERR_clear_error();
    got = 0;
    const int result = SSL_read_ex(m_handles->ssl, buffer, capacity, &got);
    return status(result == 1 ? 1 : 0);
}

TlsClient::Status TlsClient::write(const void* data, std::size_t length, std::size_t& written) {
    ERR_clear_error();
    written = 0;
    const int result = SSL_write_ex(m_handles->ssl, data, length, &written);
    return status(result == 1 ? 1 : 0);
}

void TlsClient::shutdown() {
    ERR_clear_error();
    SSL_shutdown(m_handles->ssl);
}

void TlsClient::feed(const void* data, std::size_t length) {
    while (length > 0) {
        const int piece = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
        BIO_write(m_handles->input, data, piece);
        data = static_cast<const char*>(data) + piece;
        length -= static_cast<std::size_t>(piece);
    }
}

std::string TlsClient::takeOutput() {
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(m_handles->output, &bytes);
    std::string out(bytes, static_cast<std::size_t>(length > 0 ? length : 0));
    (void)BIO_reset(m_handles->output);
    return out;
}

}  // namespace platform
