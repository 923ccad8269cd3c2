#include "tests/audio/PulseTestServer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testing_audio {
namespace {

std::string script() {
    return std::string(std::getenv("QPG_SOURCE_DIR")) + "/tests/audio/pulse-test-server";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int runShell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

PulseTestServer::PulseTestServer() {
    char pattern[] = "/tmp/qpg-pulse-XXXXXX";
    if (!::mkdtemp(pattern)) {
        m_failure = "mkdtemp failed";
        return;
    }
    m_dir = pattern;
    const std::string out = m_dir + "/start.out";
    const int status = runShell("'" + script() + "' start '" + m_dir + "' " + std::to_string(::getpid()) +
                                " >'" + out + "' 2>&1");
    std::string output = readFile(out);
    if (status != 0) {
        m_failure = output;
        return;
    }
    m_address = output.substr(0, output.find('\n'));
    ::setenv("PULSE_SERVER", m_address.c_str(), 1);
}

PulseTestServer::~PulseTestServer() {
    if (m_dir.empty()) {
        return;
    }
    ::unsetenv("PULSE_SERVER");
    runShell("'" + script() + "' stop '" + m_dir + "'");
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

int PulseTestServer::pactl(const std::string& arguments) const {
    return runShell("pactl -s '" + m_address + "' " + arguments + " >/dev/null 2>&1");
}

std::string PulseTestServer::pactlOutput(const std::string& arguments) const {
    std::string text;
    FILE* pipe = ::popen(("pactl -s '" + m_address + "' " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) {
        return text;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        text += buffer;
    }
    ::pclose(pipe);
    return text;
}

}  // namespace testing_audio
