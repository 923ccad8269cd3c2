#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_audio {

// A private PulseAudio server for one test process, started by tests/audio/pulse-test-server in
// a temporary folder and stopped when this object goes. While it lives, PULSE_SERVER points this
// process's clients at it.
//
// Its endpoints, in the server's order:
//   render:  "Built-in Audio" (builtin), "Qnlr Speakerphone" (qnlr_a),
//            "Speakers (Qnlr Speakerphone B)" (qnlr_b)
//   capture: "Built-in Audio Microphone" (builtin_mic), "Microphone (Qnlr Speakerphone)"
//            (qnlr_a_mic), "Microphone (Qnlr Speakerphone B)" (qnlr_b_mic), each recording
//            what its sink plays; the sinks' monitors come before them.
class PulseTestServer {
public:
    PulseTestServer();
    ~PulseTestServer();
    PulseTestServer(const PulseTestServer&) = delete;
    PulseTestServer& operator=(const PulseTestServer&) = delete;

    bool running() const { return !m_address.empty(); }
    const std::string& address() const { return m_address; }
    // Why it did not start (the script's output).
    const std::string& failure() const { return m_failure; }

    // Runs pactl against the server; its exit status.
    int pactl(const std::string& arguments) const;
    // Runs pactl against the server; what it printed.
    std::string pactlOutput(const std::string& arguments) const;
    // The name of the source with this description; empty when there is none.
    std::string sourceName(const std::string& description) const;

    // Stops the server and starts it again on the same socket, with its devices as at the
    // start; false when it did not come back (failure() says why).
    bool restart();

    // The indexes of the clients' streams of a kind ("sink-inputs" or "source-outputs"), leaving
    // out the server's own (those of its remapped sources).
    std::vector<std::string> clientStreams(const std::string& kind) const;
    // Has the server end a client's stream as it ends one it kills; true once the server no longer
    // lists it.
    bool killStream(const std::string& kind, const std::string& index) const;

private:
    bool start();

    std::string m_dir;
    std::string m_address;
    std::string m_failure;
};

// The server's own recording tool (parec) on a connection of its own, recording the first channel
// of a two-channel source as 16-bit samples while this object lives: a witness of what the
// server delivered, independent of our client. A gap that it shows as well the server made.
class ServerRecording {
public:
    ServerRecording(const PulseTestServer& server, const std::string& source, std::uint32_t rateHz,
                    const std::string& file);
    ~ServerRecording();
    ServerRecording(const ServerRecording&) = delete;
    ServerRecording& operator=(const ServerRecording&) = delete;

    // Waits until the tool has recorded its first sound; false when it did not start in 5 s.
    bool waitStarted() const;
    // Ends the tool; what it recorded.
    std::vector<std::int16_t> stop();

private:
    pid_t m_pid = -1;
    std::string m_file;
};

}  // namespace testing_audio
