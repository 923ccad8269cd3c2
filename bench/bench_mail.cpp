// Measures the result e-mail's costs: base64 of 10 MB with Base64Coder against coreutils
// base64 in the same run, sending a message with two 2 MB attachments to a local SMTP server
// (aiosmtpd, as in the tests) in the clear and over STARTTLS, how soon Send returns after the
// server accepted the message whatever answers QUIT, and what a server that floods its EHLO
// reply with continuation lines costs the sender, in time and CPU.
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "FakeSmtpServer.h"
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

double threadCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// A server that greets, then answers EHLO with continuation lines, gapMs apart (0: as fast as
// the connection takes them), until the sender goes away. Prints what the sender spent.
void measureFlood(const char* label, std::uint32_t gapMs, std::uint32_t replyTimeoutMs) {
    LoopbackListener listener;
    std::atomic<long long> sent{0};
    std::thread server([&] {
        const int fd = listener.accept(10000);
        if (fd < 0) {
            return;
        }
        char buffer[512];
        sendAllTo(fd, "220 ready\r\n");
        (void)::recv(fd, buffer, sizeof buffer, 0);  // EHLO
        std::string lines;
        for (int i = 0; i < (gapMs == 0 ? 4096 : 1); ++i) {
            lines += "250-flooding the reply with one more continuation line\r\n";
        }
        while (sendAllTo(fd, lines)) {
            sent += static_cast<long long>(lines.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        }
        ::close(fd);
    });
    CEMail mail;
    mail.m_smtpServer = "127.0.0.1";
    mail.m_port = listener.port();
    mail.m_replyTimeoutMs = replyTimeoutMs;
    mail.m_from = CSMTPAddress("", "sender@example.org");
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuMs();
    platform::setDebugOutputSink([](const std::string&) {});
    const int result = mail.Send();
    platform::setDebugOutputSink({});
    const double cpu = threadCpuMs() - cpuStart;
    const double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    server.join();
    std::printf(
        "  %-28s reply bound %5u ms: Send %d after %8.1f ms, sender CPU %7.1f ms, server sent %lld bytes\n",
        label, replyTimeoutMs, result, wall, cpu, sent.load());
}

// A small message to a scripted server (which acknowledges data at once): how long Send takes
// in all, with the quiet moment before the end of the data, and how long from the server's 250
// to the end of the data until Send returns, by what then answers QUIT.
void measureEnd(const char* label, const FakeReply& quit) {
    using Clock = std::chrono::steady_clock;
    std::atomic<Clock::rep> accepted{0};
    FakeSmtpServer server([&](const std::string& command) {
        if (command == "<data>") {
            accepted = Clock::now().time_since_epoch().count();
        }
        return command == "QUIT" ? quit : FakeSmtpServer::standardReply(command);
    });
    CEMail mail;
    mail.m_smtpServer = "127.0.0.1";
    mail.m_port = server.port();
    mail.m_from = CSMTPAddress("", "sender@example.org");
    mail.AddRecipient(CSMTPAddress("", "support@example.org"), RECIPIENT_TO);
    mail.m_body = "From  : Bench\r\n";
    platform::setDebugOutputSink([](const std::string&) {});
    const auto start = Clock::now();
    const int result = mail.Send();
    const auto returned = Clock::now();
    platform::setDebugOutputSink({});
    server.waitDone();
    const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    std::printf("  %-18s Send %d after %7.1f ms, %7.1f ms of it from the 250 to the return\n", label, result,
                ms(returned - start), ms(returned - Clock::time_point(Clock::duration(accepted.load()))));
}

// A message with two attachments as the wizard sends it: read and encode the files, then the
// conversation, until the server has saved it.
bool sendResults(const SmtpTestServer& server, const std::string& dir, const std::string& host,
                 const std::string& caFile, int& messages) {
    CSMTPAttachment first, second;
    CEMail mail;
    mail.m_smtpServer = host;
    mail.m_port = server.port();
    mail.m_caFile = caFile;
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

    writeFileBytes(dir + "/MicRecorded.wav", data.substr(0, kAttachmentBytes));
    writeFileBytes(dir + "/Echo_Test.wav", data.substr(kAttachmentBytes, kAttachmentBytes));
    if (!makeTestCertificates(QPG_SOURCE_DIR, dir)) {
        std::fprintf(stderr, "bench_mail: the test certificates could not be made\n");
        return 1;
    }
    SmtpTestServer plain(QPG_SOURCE_DIR, "sender@example.org", "Secret-123");
    SmtpTestServer tls(QPG_SOURCE_DIR, "sender@example.org", "Secret-123", dir + "/good.pem",
                       dir + "/good.key");
    if (!plain.running() || !tls.running()) {
        std::fprintf(stderr, "bench_mail: the aiosmtpd server did not start\n");
        return 1;
    }
    int plainMessages = 0;
    int tlsMessages = 0;
    const double plainMs = bestMs([&] { return sendResults(plain, dir, "127.0.0.1", "", plainMessages); });
    const double tlsMs =
        bestMs([&] { return sendResults(tls, dir, "localhost", dir + "/ca.pem", tlsMessages); });
    std::printf("message with two %zu-byte attachments to local aiosmtpd (best of %d, until saved)\n",
                kAttachmentBytes, kRounds);
    std::printf("  in the clear: %8.1f ms\n  over STARTTLS: %7.1f ms\n", plainMs, tlsMs);

    std::printf("small message, by the answer to QUIT (reply bound %u ms)\n", SMTP_REPLY_TIMEOUT_MS);
    measureEnd("221", FakeReply{{"221 bye\r\n"}, 0, 0, true});
    measureEnd("250 bye", FakeReply{{"250 bye\r\n"}, 0, 0, true});
    measureEnd("close", FakeReply{{}, 0, 0, true});
    measureEnd("silence", FakeReply{});

    std::printf("EHLO reply that never ends\n");
    measureFlood("flood (as fast as it goes)", 0, SMTP_REPLY_TIMEOUT_MS);
    measureFlood("trickle (a line every 5 ms)", 5, 2000);
    std::filesystem::remove_all(dir);
    return 0;
}
