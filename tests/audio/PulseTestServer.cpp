#include "tests/audio/PulseTestServer.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

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
    // pactl has no word for it: the request goes through a connection of our own. PipeWire's
    // server answers a kill before it carries it out, and drops it now and then when the connection
    // that asked closes at once: the connection stays until the stream is gone from the server's
    // list. A kill the server answered and did not carry out is its own fault, and is asked again,
    // at most twice.
    platform::PulseContext pulse(platform::PulseContext::Config{"Stream killer"});
    const auto stream = static_cast<std::uint32_t>(std::stoul(index));
    for (int request = 1; request <= 3; ++request) {
        platform::PulseCall call;
        if (!pulse.request(call, "kill " + kind, [&](pa_context* context) {
                return kind == "sink-inputs"
                           ? pa_context_kill_sink_input(context, stream, platform::finishOnSuccess, &call)
                           : pa_context_kill_source_output(context, stream, platform::finishOnSuccess, &call);
            })) {
            return false;
        }
        for (int waits = 0; waits < 100; ++waits) {
            const auto streams = clientStreams(kind);
            if (std::find(streams.begin(), streams.end(), index) == streams.end()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::cout << "kill " << request << ": the server answered it and still lists " << kind << " " << index
                  << " after 5 s" << std::endl;
    }
    return false;
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
    return runShell("LC_ALL=C pactl -s '" + m_address + "' " + arguments + " >/dev/null 2>&1");
}

std::string PulseTestServer::pactlOutput(const std::string& arguments) const {
    std::string text;
    // Untranslated output ("Mute: no", "Description:"), whatever the session's language.
    FILE* pipe = ::popen(("LC_ALL=C pactl -s '" + m_address + "' " + arguments + " 2>&1").c_str(), "r");
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

std::string PulseTestServer::sourceName(const std::string& description) const {
    std::istringstream listing(pactlOutput("list sources"));
    std::string line, name;
    while (std::getline(listing, line)) {
        const auto start = line.find_first_not_of(" \t");
        const std::string text = start == std::string::npos ? std::string() : line.substr(start);
        if (text.rfind("Name: ", 0) == 0) {
            name = text.substr(6);
        } else if (text == "Description: " + description) {
            return name;
        }
    }
    return {};
}

ServerRecording::ServerRecording(const PulseTestServer& server, const std::string& source,
                                 std::uint32_t rateHz, const std::string& file)
    : m_file(file) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string rate = "--rate=" + std::to_string(rateHz);
    // env runs parec in its own place (same process id) with the untranslated messages.
    std::vector<std::string> words{
        "env", "LC_ALL=C",     "parec",          "-s",    server.address(),    "-d", source,
        rate,  "--channels=2", "--format=s16le", "--raw", "--latency-msec=100"};
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    if (::posix_spawnp(&m_pid, "env", &actions, nullptr, argv.data(), environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ServerRecording::~ServerRecording() {
    stop();
}

bool ServerRecording::waitStarted() const {
    std::error_code error;
    for (int i = 0; i < 500 && m_pid > 0; ++i) {
        if (std::filesystem::file_size(m_file, error) > 0 && !error) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::vector<std::int16_t> ServerRecording::stop() {
    if (m_pid > 0) {
        // parec writes out what it holds when interrupted.
        ::kill(m_pid, SIGINT);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    std::ifstream in(m_file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // The source's first channel, as it is: no mix of channels changes the samples.
    std::vector<std::int16_t> samples(bytes.size() / 4);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::memcpy(&samples[i], bytes.data() + 4 * i, 2);
    }
    return samples;
}

}  // namespace testing_audio
