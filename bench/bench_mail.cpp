// Measures the result e-mail's costs: base64 of 10 MB with Base64Coder against coreutils
// base64 in the same run, and sending a message with two 2 MB attachments to a local SMTP
// server (aiosmtpd, as in the tests).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "SmtpTestServer.h"
#include "mail/Base64Coder.h"
#include "mail/CEMail.h"

namespace {

constexpr int kRounds = 3;
constexpr std::size_t kCoderBytes = 10 * 1024 * 1024;
constexpr std::size_t kAttachmentBytes = 2 * 1024 * 1024;

// Best wall time of kRounds runs, in milliseconds.
double bestMs(const std::function<bool()>& run) {
    double best = 1e300;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!run()) {
            std::fprintf(stderr, "bench_mail: a run failed\n");
            std::exit(1);
        }
        best = std::min(
            best,
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

std::string randomBytes(std::size_t size) {
    std::mt19937_64 random(42);
    std::string bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(random());
    }
    return bytes;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/qpg-bench-mail-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return 1;
    }
    const std::string dir = pattern;
    const std::string data = randomBytes(kCoderBytes);

    Base64Coder encoder;
    const double ourEncode = bestMs([&] {
        encoder.Encode(reinterpret_cast<const std::uint8_t*>(data.data()),
                       static_cast<std::uint32_t>(data.size()));
        return encoder.GetEncoded() != nullptr;
    });
    const std::string text = encoder.GetEncoded();
    Base64Coder decoder;
    const double ourDecode = bestMs([&] {
        decoder.Decode(text.data(), static_cast<std::uint32_t>(text.size()));
        return std::memcmp(decoder.GetDecoded(), data.data(), data.size()) == 0;
    });

    const std::string in = dir + "/in.bin";
    const std::string encoded = dir + "/in.b64";
    const std::string back = dir + "/back.bin";
    writeFileBytes(in, data);
    const double toolEncode =
        bestMs([&] { return std::system(("base64 -w0 " + in + " > " + encoded).c_str()) == 0; });
    const double toolDecode =
        bestMs([&] { return std::system(("base64 -d " + encoded + " > " + back).c_str()) == 0; });
    if (readFileBytes(encoded) != text || readFileBytes(back) != data) {
        std::fprintf(stderr, "bench_mail: coreutils base64 and Base64Coder disagree\n");
        return 1;
    }

    std::printf("base64 of %zu bytes (best of %d)\n", kCoderBytes, kRounds);
    std::printf("  encode: Base64Coder %8.1f ms, coreutils base64 %8.1f ms, ratio %.2f\n", ourEncode,
                toolEncode, ourEncode / toolEncode);
    std::printf("  decode: Base64Coder %8.1f ms, coreutils base64 %8.1f ms, ratio %.2f\n", ourDecode,
                toolDecode, ourDecode / toolDecode);
    std::printf("  (coreutils times include starting the process and file I/O)\n");

    SmtpTestServer server(QPG_SOURCE_DIR, "sender@example.org", "Secret-123");
    if (!server.running()) {
        std::fprintf(stderr, "bench_mail: the aiosmtpd server did not start\n");
        return 1;
    }
    CSMTPAttachment first, second;
    writeFileBytes(dir + "/MicRecorded.wav", data.substr(0, kAttachmentBytes));
    writeFileBytes(dir + "/Echo_Test.wav", data.substr(kAttachmentBytes, kAttachmentBytes));
    int messages = 0;
    const double sendMs = bestMs([&] {
        // What the wizard does per sending: read and encode the files, then the conversation.
        CEMail mail;
        mail.m_smtpServer = "127.0.0.1";
        mail.m_port = server.port();
        mail.m_authUser = "sender@example.org";
        mail.m_authPassword = "Secret-123";
        mail.m_from = CSMTPAddress("Quenlor's Probe Guide", "sender@example.org");
        mail.AddRecipient(CSMTPAddress("Quenlor Support", "support@example.org"), RECIPIENT_TO);
        mail.m_subject = "Wizard Test Results";
        mail.m_body = "From  : Bench\r\n";
        if (!first.AttachFile(dir + "/MicRecorded.wav") || !second.AttachFile(dir + "/Echo_Test.wav") ||
            mail.AddAttachment(&first) < 0 || mail.AddAttachment(&second) < 0 || mail.Send() != 1) {
            return false;
        }
        return !server.waitForMessage(++messages, 10000).empty();
    });
    std::printf(
        "message with two %zu-byte attachments to local aiosmtpd: %.1f ms (best of %d, until saved)\n",
        kAttachmentBytes, sendMs, kRounds);
    std::filesystem::remove_all(dir);
    return 0;
}
