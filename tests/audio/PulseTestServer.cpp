#include "tests/audio/PulseTestServer.h"

#include <pulse/pulseaudio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/PulseContext.h"
#include "platform/PulseDeviceList.h"

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
    start();
}

bool PulseTestServer::start() {
    const std::string out = m_dir + "/start.out";
    const int status = runShell("'" + script() + "' start '" + m_dir + "' " + std::to_string(::getpid()) +
                                " >'" + out + "' 2>&1");
    std::string output = readFile(out);
    if (status != 0) {
        m_failure = output;
        m_address.clear();
        return false;
    }
    m_address = output.substr(0, output.find('\n'));
    ::setenv("PULSE_SERVER", m_address.c_str(), 1);
    return true;
}

bool PulseTestServer::restart() {
    if (m_dir.empty()) {
        return false;
    }
    runShell("'" + script() + "' stop '" + m_dir + "'");
    return start();
}

std::vector<std::string> PulseTestServer::clientStreams(const std::string& kind) const {
    // "index<TAB>device<TAB>client<TAB>...": the server's own streams have no client ("-").
    std::istringstream lines(pactlOutput("list short " + kind));
    std::vector<std::string> indexes;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string index, device, client;
        if (std::getline(fields, index, '\t') && std::getline(fields, device, '\t') &&
            std::getline(fields, client, '\t') && client != "-") {
            indexes.push_back(index);
        }
    }
    return indexes;
}

bool PulseTestServer::killStream(const std::string& kind, const std::string& index) const {
    // pactl has no word for it: the request goes through a connection of our own.
    platform::PulseContext pulse(platform::PulseContext::Config{"Stream killer"});
    platform::PulseCall call;
    const auto stream = static_cast<std::uint32_t>(std::stoul(index));
    return static_cast<bool>(pulse.request(call, "kill " + kind, [&](pa_context* context) {
        return kind == "sink-inputs"
                   ? pa_context_kill_sink_input(context, stream, platform::finishOnSuccess, &call)
                   : pa_context_kill_source_output(context, stream, platform::finishOnSuccess, &call);
    }));
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
