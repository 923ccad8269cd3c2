#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/audio/PulseTestServer.h"

namespace testing_audio {

// What spoils a recording that a test compares with what it played: its kind ("gap", "break"...),
// what it is, and where, in seconds from the start of the played sound.
struct RecordingFlaw {
    std::string kind;
    std::string what;
    double atSeconds = 0.0;
};

// The flaw a test looks for in one recording; none when the recording is whole.
using FlawFinder = std::function<std::optional<RecordingFlaw>(const std::vector<std::int16_t>&)>;

// Two recordings of one run show the same flaw: of one kind, within a server cycle of each other.
bool sameFlaw(const RecordingFlaw& ours, const RecordingFlaw& theirs);

// The judgement on the run-th run (1 for the first) of what our take and the server's recorder
// heard: true when our take has a flaw the recorder heard as well, at the same place, and the run
// may be repeated. Whenever our take has a flaw, prints what the two recordings heard.
// findTheirs, when given, reads the recorder's sound; else findOurs does.
bool serverMadeTheFlaw(const std::vector<std::int16_t>& take, const std::vector<std::int16_t>& heard,
                       const FlawFinder& findOurs, const FlawFinder& findTheirs, int run);

// One run of a test that compares a recording with what it played, with the server's own recorder
// (ServerRecording) on the source beside it from construction. A flaw in our take that the
// server's recorder heard as well, at the same place, the server made (a cycle it skipped on a
// busy machine), which no client can see: such a run is repeated, at most twice. A flaw only our
// take has is ours, and the test judges it. A gap left by our own player, which ran dry, is
// heard by both as well: the player's underflow count tells it.
class WitnessedRun {
public:
    static constexpr int kMostRuns = 3;

    // run: 1 for the first run, 2 for its first repeat...
    WitnessedRun(const PulseTestServer& server, const std::string& source, std::uint32_t rateHz,
                 const std::string& file, int run);

    // Ends the server's recorder and judges the run by what it heard (the source's first channel)
    // beside our take.
    bool serverMadeTheFlaw(const std::vector<std::int16_t>& take, const FlawFinder& findOurs,
                           const FlawFinder& findTheirs = {});

private:
    ServerRecording m_witness;
    int m_run;
};

}  // namespace testing_audio
