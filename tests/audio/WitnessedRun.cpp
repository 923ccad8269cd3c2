#include "tests/audio/WitnessedRun.h"

#include <cmath>
#include <iostream>

namespace testing_audio {

bool sameFlaw(const RecordingFlaw& ours, const RecordingFlaw& theirs) {
    return ours.kind == theirs.kind && std::abs(ours.atSeconds - theirs.atSeconds) <= 0.03;
}

bool serverMadeTheFlaw(const std::vector<std::int16_t>& take, const std::vector<std::int16_t>& heard,
                       const FlawFinder& findOurs, const FlawFinder& findTheirs, int run) {
    const auto ours = findOurs(take);
    if (!ours) {
        return false;
    }
    const auto theirs = (findTheirs ? findTheirs : findOurs)(heard);
    std::cout << "run " << run << ": our take has " << ours->what << " at " << ours->atSeconds
              << " s; the server's recorder heard "
              << (theirs ? theirs->what + " at " + std::to_string(theirs->atSeconds) + " s"
                         : std::string("it whole"))
              << std::endl;
    return theirs && sameFlaw(*ours, *theirs) && run < WitnessedRun::kMostRuns;
}

WitnessedRun::WitnessedRun(const PulseTestServer& server, const std::string& source, std::uint32_t rateHz,
                           const std::string& file, int run)
    : m_witness(server, source, rateHz, file), m_run(run) {
    if (!m_witness.waitStarted()) {
        std::cout << "run " << m_run << ": the server's recorder did not start" << std::endl;
    }
}

bool WitnessedRun::serverMadeTheFlaw(const std::vector<std::int16_t>& take, const FlawFinder& findOurs,
                                     const FlawFinder& findTheirs) {
    return testing_audio::serverMadeTheFlaw(take, m_witness.stop(), findOurs, findTheirs, m_run);
}

}  // namespace testing_audio
