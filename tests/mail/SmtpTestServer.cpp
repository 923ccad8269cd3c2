#include "SmtpTestServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

constexpr char kPython[] = "/usr/bin/python3";

// Runs the program with the arguments, stdin and stdout on the given descriptors (-1: inherit).
pid_t spawn(const std::vector<std::string>& args, int stdinFd, int stdoutFd, const std::string& stderrPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    }
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    }
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Runs the program to its end; true when it exits with 0.
bool run(const std::vector<std::string>& args, const std::string& stderrPath) {
    const pid_t pid = spawn(args, -1, -1, stderrPath);
    int status = -1;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool makeTestCertificates(const std::string& sourceDir, const std::string& dir) {
    return run({"/bin/bash", sourceDir + "/tests/mail/make_certificates.sh", dir}, dir + "/errors.txt");
}

bool writeFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string SmtpTestServer::ParsedMessage::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

bool SmtpTestServer::ParsedMessage::hasHeader(const std::string& name) const {
    for (const auto& entry : headers) {
        if (entry.first == name) {
            return true;
        }
    }
    return false;
}

SmtpTestServer::SmtpTestServer(const std::string& sourceDir, const std::string& user,
                               const std::string& password, const std::string& certificate,
                               const std::string& key)
    : m_sourceDir(sourceDir) {
    char pattern[] = "/tmp/qpg-smtp-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return;
    }
    m_directory = pattern;
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    std::vector<std::string> args = {kPython, sourceDir + "/tests/mail/smtp_server.py", m_directory, user,
                                     password};
    if (!certificate.empty()) {
        args.insert(args.end(), {certificate, key});
    }
    m_pid = spawn(args, in[0], out[1], m_directory + "/server.log");
    ::close(in[0]);
    ::close(out[1]);
    m_stdin = in[1];
    // The server prints "PORT <n>" once it listens.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m_pid > 0 && text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            char buffer[64];
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(out[0]);
    if (text.rfind("PORT ", 0) == 0) {
        m_port = std::atoi(text.c_str() + 5);
    }
}

SmtpTestServer::~SmtpTestServer() {
    if (m_stdin >= 0) {
        ::close(m_stdin);
    }
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (!m_directory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
}

std::string SmtpTestServer::waitForMessage(int n, std::uint32_t timeoutMs) const {
    const std::string base = m_directory + "/message-" + std::to_string(n);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!std::filesystem::exists(base + ".envelope")) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return base + ".eml";
}

std::vector<std::string> SmtpTestServer::envelope(int n) const {
    return readLines(m_directory + "/message-" + std::to_string(n) + ".envelope");
}

std::string SmtpTestServer::commandLog() const {
    return readFileBytes(m_directory + "/commands.log");
}

SmtpTestServer::ParsedMessage SmtpTestServer::parse(const std::string& messagePath) const {
    ParsedMessage message;
    const std::string out = messagePath + ".parsed";
    std::filesystem::create_directories(out);
    message.parsedCleanly =
        run({kPython, m_sourceDir + "/tests/mail/parse_message.py", messagePath, out}, out + "/errors.txt");
    for (const std::string& line : readLines(out + "/headers.txt")) {
        const std::size_t colon = line.find(": ");
        if (colon != std::string::npos) {
            message.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        }
    }
    message.body = readFileBytes(out + "/body.txt");
    message.partTypes = readLines(out + "/parts.txt");
    for (int i = 1; std::filesystem::exists(out + "/attachment-" + std::to_string(i) + ".bin"); ++i) {
        const std::string base = out + "/attachment-" + std::to_string(i);
        message.attachments.emplace_back(readFileBytes(base + ".name"), readFileBytes(base + ".bin"));
    }
    return message;
}
