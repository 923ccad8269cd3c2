// The scripted walk's work on the speaker and microphone pages: the play runs, a recording
// through the simulated microphone and its playback.
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "audio/CWaveFileReader.h"
#include "mail/MailText.h"
#include "tests/wizard/walk/WizardWalk.h"

// Play Voice and Play Music, a picture of each while it plays; each button stops its own run.
void playVoiceAndMusic(WizardWalk& walk) {
    CProbeGuideDlg& dlg = walk.dlg;
    for (auto [button, name] : {std::pair{dlg.m_actionButton, "playing-voice"},
                                std::pair{dlg.m_secondActionButton, "playing-music"}}) {
        walk.click(button);
        walk.wait(800);
        if (!dlg.m_playing || !dlg.m_audio.IsRunning()) {
            walk.fail(std::string(name) + ": nothing plays");
            return;
        }
        walk.snapshot(name);
        walk.click(button);
        if (dlg.m_playing) {
            walk.fail(std::string(name) + ": the button did not stop the run");
            return;
        }
    }
}

// Record through the simulated microphone for a moment, print what the recording
// holds, then play it back and wait for its end, with a picture of each state.
void recordAndPlayBack(WizardWalk& walk) {
    CProbeGuideDlg& dlg = walk.dlg;
    walk.click(dlg.m_actionButton);
    if (dlg.m_page != PAGE_RECORDING) {
        walk.fail("Record did not start a recording");
        return;
    }
    walk.wait(400);
    walk.snapshot("recording");
    walk.wait(400);
    walk.click(dlg.m_actionButton);
    if (dlg.m_page != PAGE_MICROPHONE_TEST) {
        walk.fail("Stop Recording did not end the recording");
        return;
    }
    CWaveFileReader reader;
    if (reader.Open(dlg.m_dataDir + "WaveFiles/MicRecorded.wav") != 1 || reader.m_dataSize == 0) {
        walk.fail("the recording cannot be read or is empty");
        return;
    }
    std::vector<std::int16_t> samples(reader.m_dataSize / 2);
    reader.Read(samples.data(), static_cast<std::uint32_t>(samples.size() * 2));
    int peak = 1;
    for (const auto s : samples) {
        peak = std::max(peak, std::abs(static_cast<int>(s)));
    }
    std::cout << "  recording: " << mailtext::formatFixed(reader.m_durationMs / 1000.0, 0, 1) << " s, peak "
              << mailtext::formatFixed(20.0 * std::log10(peak / 32768.0), 0, 1) << " dBFS\n";

    walk.click(dlg.m_secondActionButton);
    if (dlg.m_page != PAGE_PLAYING_RECORDING) {
        walk.fail("Playback did not start");
        return;
    }
    walk.wait(500);
    walk.snapshot("playing-recording");
    if (!walk.waitUntil([&] { return dlg.m_page == PAGE_MICROPHONE_TEST; }, 15000)) {
        walk.fail("the playback of the recording did not end");
        return;
    }
    walk.snapshot("recording-played");
}
