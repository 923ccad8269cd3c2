// The two action buttons, whose meaning follows the page, and the end of an audio run.
//
// Page sub-states driven here: 2 -> 3 (Record) -> 2 (Stop Recording or the record limit),
// 2 -> 4 (Playback) -> 2, 5 -> 6 (Listen) -> 5. Every return to page 2 resumes the monitoring
// run that feeds the level meter.

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QSlider>

#include "platform/MessageBox.h"
#include "platform/System.h"
#include "wizard/CProbeGuideDlg.h"

namespace {

constexpr int kHubProductCode = 786;
constexpr int kHubAttachedBit = 3;

constexpr const char* kVoiceFile = "WaveFiles/VoicePlayback.wav";
constexpr const char* kMusicFile = "WaveFiles/MusicPlayback.wav";
constexpr const char* kMicRecordingFile = "WaveFiles/MicRecorded.wav";
// The echo test records under this name; Listen must find it on a case-sensitive file system.
constexpr const char* kEchoRecordingFile = "WaveFiles/Echo_Test.wav";

// A hub without an attached unit has nothing to test. Its main processor's status frame tells;
// a failed status read lets the action go on.
bool hubRefuses(CHIDProtocol& unit) {
    if (unit.m_productCode != kHubProductCode || unit.TestStatusBit(kHubAttachedBit, false, 1) != 0) {
        return false;
    }
    platform::showMessageBox("Probe Guide",
                             "You are connected to Quenlor Power Hub \n\rwhich has no attached device!",
                             platform::mb::kIconWarning);
    return true;
}

}  // namespace

void CProbeGuideDlg::EndRecording(bool tellFault) {
    KillTimer(TIMER_RECORD_LIMIT);
    StopAudio();
    // A recording that recorded without a fault takes its name; a failed one never replaces
    // the one kept.
    std::string fault;
    if (m_page == PAGE_RECORDING) {
        fault = m_audio.RecordingFault();
        if (fault.empty() && m_audio.m_micExitCode != MIC_EXIT_OK) {
            fault =
                "The sound device " + m_audio.m_waveInName + " did not record " + m_audio.m_recordFile + ".";
        }
        if (fault.empty() && !m_audio.KeepRecording()) {
            fault = m_audio.RecordingFault();
        }
        if (fault.empty()) {
            m_micRecordingKept = true;
        } else {
            m_audio.DiscardRecording();
        }
    }
    UndoLoopback();
    if (!fault.empty() && tellFault) {
        platform::showMessageBox("Probe Guide", "The microphone recording could not be kept.\n" + fault,
                                 platform::mb::kIconWarning);
    }
}

void CProbeGuideDlg::OnActionButton() {
    // Stop Recording: the page goes back to monitoring the microphone.
    // Playback is offered once there is a recording of this session to play.
    const auto stopRecording = [this](bool started) {
        EndRecording(started);
        m_actionButton->setText("Record");
        m_micSlider->setEnabled(true);
        m_recordingGroup->setEnabled(true);
        m_secondActionButton->setEnabled(m_micRecordingKept);
        m_page = PAGE_MICROPHONE_TEST;
        m_audio.m_testMode = AUDIO_MODE_MONITOR;
        StartAudio();
    };
    if (hubRefuses(m_hidProtocol)) {
        return;
    }
    m_audio.m_waveOutName = m_playbackDevice;
    m_audio.m_waveInName = m_endpoints.GetMicrophoneName();

    CHIDProtocol& unit = m_hidProtocol;
    const bool loopback = unit.IsLoopbackModel() && m_loopbackCheck->isChecked();
    switch (m_page) {
        case PAGE_WELCOME:
            // Applied by the next volume load.
            m_defaultVolumesRequested = true;
            break;
        case PAGE_SPEAKER_TEST:
            if (!m_playing) {
                m_actionButton->setText("Stop");
                m_secondActionButton->setEnabled(false);
                m_audio.m_playFile = m_installDir + kVoiceFile;
                m_audio.m_testMode = AUDIO_MODE_PLAY;
                m_playing = true;
                if (StartAudio() != 0) {
                    break;
                }
                // A run that cannot start (its box shown) leaves the page idle, as Stop does.
            }
            m_actionButton->setText("Play Voice");
            m_secondActionButton->setEnabled(true);
            StopAudio();
            m_playing = false;
            break;
        case PAGE_MICROPHONE_TEST:  // Record
            StopAudio();
            m_actionButton->setText("Stop Recording");
            m_secondActionButton->setEnabled(false);
            m_page = PAGE_RECORDING;
            m_micSlider->setEnabled(false);
            m_recordingGroup->setEnabled(false);
            m_audio.m_testMode = AUDIO_MODE_RECORD;
            // Playback plays what is recorded now; the record file already names it.
            m_audio.m_playFile = m_dataDir + kMicRecordingFile;
            // What is switched on here is undone, whatever the check box says by then.
            m_loopbackOn = loopback;
            if (loopback) {
                unit.SetParameterItem(6, 13, 0, 1);
                unit.SetParameterBit(6, 1, 1);
                unit.SetRegisterBit(2);
                unit.SetRouting(8, 25);
                unit.SendCommand(SWITCH_ON + 0x06, kCommandTimeoutMs);
                unit.SendCommand(SWITCH_ON + 0x01, kCommandTimeoutMs);
                platform::sleepMs(100);
            }
            SetTimer(TIMER_RECORD_LIMIT, kRecordLimitMs);
            if (StartAudio() == 0) {
                // A recording that cannot start (its box shown) ends as Stop Recording ends it.
                stopRecording(false);
                break;
            }
            if (loopback) {
                for (int i = 0; i < 3; ++i) {
                    unit.SetRegisterBit(3);
                }
                unit.SetRegisterBit(6);
            }
            break;
        case PAGE_RECORDING:  // Stop Recording, also at the record limit
            stopRecording(true);
            break;
        case PAGE_ECHO_TEST:
            StartEchoRun();
            break;
        case PAGE_FINISH:
            OnEmailResults();
            break;
        default:
            break;
    }
}

void CProbeGuideDlg::OnSecondActionButton() {
    if (hubRefuses(m_hidProtocol)) {
        return;
    }
    m_endpoints.SelectSpeakerByName(m_playbackDevice);
    m_audio.m_waveOutName = m_playbackDevice;
    m_audio.m_waveInName = m_endpoints.GetMicrophoneName();
    m_audio.m_testMode = m_page;

    // A play run of this button: the other button waits, this one stops the run. A run that
    // cannot start (its box shown) is stopped at once, which leaves the page idle.
    bool startFailed = false;
    const auto play = [this, &startFailed](const std::string& file) {
        m_actionButton->setEnabled(false);
        m_secondActionButton->setText("Stop");
        m_audio.m_playFile = file;
        m_playing = true;
        startFailed = StartAudio() == 0;
    };
    const auto act = [&] {
        switch (m_page) {
            case PAGE_SPEAKER_TEST:
                if (m_playing) {
                    m_actionButton->setEnabled(true);
                    m_secondActionButton->setText("Play Music");
                    StopAudio();
                    m_playing = false;
                } else {
                    play(m_installDir + kMusicFile);
                }
                break;
            case PAGE_MICROPHONE_TEST:  // Playback
                StopAudio();
                m_page = PAGE_PLAYING_RECORDING;
                m_audio.m_testMode = AUDIO_MODE_PLAYBACK;
                play(m_dataDir + kMicRecordingFile);
                break;
            case PAGE_PLAYING_RECORDING:  // stop the playback, also at its end
                StopAudio();
                m_page = PAGE_MICROPHONE_TEST;
                m_audio.m_testMode = AUDIO_MODE_MONITOR;
                m_playing = false;
                m_actionButton->setEnabled(true);
                m_secondActionButton->setText("Playback");
                StartAudio();
                break;
            case PAGE_ECHO_TEST:  // Listen to the echo recording from its 2 s mark
                m_page = PAGE_LISTENING_ECHO;
                m_audio.m_testMode = AUDIO_MODE_PLAY_FROM_2S;
                play(m_dataDir + kEchoRecordingFile);
                break;
            case PAGE_LISTENING_ECHO:  // stop listening, also at its end
                m_page = PAGE_ECHO_TEST;
                m_actionButton->setEnabled(true);
                m_secondActionButton->setText("Listen");
                StopAudio();
                m_playing = false;
                break;
            default:
                break;
        }
    };
    act();
    if (startFailed) {
        act();
    }
}

void CProbeGuideDlg::UndoLoopback() {
    if (!m_loopbackOn) {
        return;
    }
    m_loopbackOn = false;
    CHIDProtocol& unit = m_hidProtocol;
    unit.SetRouting(25, 25);
    unit.SetParameterItem(6, 13, 0, 2);
    unit.SetParameterBit(6, 1, 1);
    unit.ClearRegisterBit(2);
    unit.ClearRegisterBit(3);
    unit.ClearRegisterBit(6);
    unit.SendCommand(SWITCH_OFF + 0x01, kCommandTimeoutMs);
    unit.SendCommand(SWITCH_OFF + 0x06, kCommandTimeoutMs);
}

long CProbeGuideDlg::OnAudioDone(std::uintptr_t, std::intptr_t) {
    StopAudio();
    m_playing = false;
    m_actionButton->setEnabled(true);
    // A recording that ended by itself has nothing to play yet: Stop Recording decides whether
    // it is kept, and with it whether Playback is offered.
    m_secondActionButton->setEnabled(m_page != PAGE_RECORDING);
    if (m_page == PAGE_PLAYING_RECORDING || m_page == PAGE_LISTENING_ECHO) {
        OnSecondActionButton();
        ShowPage();
    } else if (m_page == PAGE_ECHO_TEST) {
        FinishEchoRun();
    } else {
        ShowPage();
    }
    return 0;
}
