#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <array>
#include <cstdio>
#include <vector>

#include "device/HidViewerRecord.h"
#include "platform/DesktopMessages.h"
#include "platform/DeviceChanges.h"
#include "platform/MessageBox.h"
#include "wizard/Artwork.h"
#include "wizard/CProbeGuideDlg.h"
#include "wizard/CRegHelper.h"

namespace {

constexpr const char* kVolumesHint = "Use the 'Default Volumes' To reset to default volume level.";

// The save query: bit 0 of its reply asks for the store command.
constexpr std::uint16_t CMD_SAVE_QUERY = 0xB7FF;

std::string format(const char* pattern, int number) {
    std::array<char, 256> text{};
    std::snprintf(text.data(), text.size(), pattern, number);
    return text.data();
}

}  // namespace

int CProbeGuideDlg::ShowPage() {
    const bool product83 = m_hidProtocol.m_productCode == 83;
    QWidget* const finishFields[] = {m_emailLabel, m_commentsLabel, m_nameEdit, m_emailEdit, m_commentsEdit};
    // Shows or hides a control and sets whether it takes input.
    const auto set = [](QWidget* w, bool shown, bool enabled) {
        w->setVisible(shown);
        w->setEnabled(enabled);
    };
    const auto pageIcon = [this](const char* name) {
        m_pageIcon->setPixmap(LoadArtwork(name, m_pageIcon->size()));
    };
    const auto showLevelMeter = [this](bool shown) {
        m_levelLow->setVisible(shown);
        m_levelHigh->setVisible(shown);
    };
    const auto showFinishFields = [&](bool shown) {
        for (QWidget* w : finishFields) {
            w->setVisible(shown);
        }
    };
    const auto showDelayControls = [this](bool shown) {
        for (QWidget* w :
             std::initializer_list<QWidget*>{m_measureDelayRadio, m_eraseDelayRadio, m_keepDelayRadio,
                                             m_manualDelayRadio, m_delayEdit, m_delayLabel}) {
            w->setVisible(shown);
        }
    };

    // The speaker and microphone pages: both volume groups show, and only the page's own group
    // and slider take input.
    const auto layOutTestPage = [&](const char* icon, bool microphone, const char* action,
                                    const char* second) {
        pageIcon(icon);
        set(m_recordingGroup, true, microphone);
        set(m_playbackGroup, true, !microphone);
        showLevelMeter(true);
        set(m_micSlider, true, microphone);
        set(m_speakerSlider, true, !microphone);
        m_actionButton->setText(action);
        m_actionButton->setVisible(true);
        m_secondActionButton->setText(second);
        m_secondActionButton->setVisible(true);
        m_backButton->setEnabled(true);
        m_nextButton->setEnabled(true);
        m_exitButton->setVisible(false);
    };

    switch (m_page) {
        case PAGE_WELCOME: {
            m_title = "Welcome to Quenlor Device Probe Guide";
            const int count = m_endpoints.CountSpeakerphones();
            if (count == 0) {
                m_instructions = "Connect a device and click the 'next >' button to start the test.";
            } else if (count > 1) {
                m_instructions = format(
                    "There are %d Quenlor devices connected. Disconnect all devices except the one "
                    "you want to test, and click the 'Next >' button to start the test.",
                    count);
            } else if (m_hidProtocol.Connect(-1, false, true)) {
                ReselectSpeaker();
                m_mixerOnly = false;
                m_instructions =
                    "You are testing " + m_hidProtocol.GetProductName() + " device.\n" + kVolumesHint;
            } else {
                m_mixerOnly = true;
                m_instructions = std::string("You are testing Quenlor device.\n") + kVolumesHint;
            }
            pageIcon("page-info");
            set(m_recordingGroup, false, m_recordingGroup->isEnabled());
            set(m_playbackGroup, false, m_playbackGroup->isEnabled());
            showLevelMeter(false);
            m_micSlider->setVisible(false);
            m_speakerSlider->setVisible(false);
            m_actionButton->setText("Default Volumes");
            set(m_actionButton, true, count == 1);
            m_secondActionButton->setVisible(false);
            m_backButton->setEnabled(false);
            m_exitButton->setVisible(false);
            m_nameLabel->setVisible(false);
            m_playbackDeviceCombo->setVisible(false);
            showFinishFields(false);
            break;
        }
        case PAGE_SPEAKER_TEST:
            m_title = "Speaker Test";
            m_instructions =
                "To test the speaker, push the 'Play Voice' or 'Play Music' buttons, and set the "
                "volume to an adequate level.";
            layOutTestPage("page-speaker", false, "Play Voice", "Play Music");
            if (product83) {
                m_nameLabel->setText("Playback Device :");
            }
            m_nameLabel->setVisible(product83);
            m_playbackDeviceCombo->setVisible(product83);
            showFinishFields(false);
            break;
        case PAGE_MICROPHONE_TEST:
            m_title = "Microphone Test";
            m_instructions = "To test the microphone, speak to it and set the volume to an adequate level.";
            layOutTestPage("page-microphone", true, "Record", "Playback");
            // Only a recording of this session is played, never one an earlier session left.
            m_secondActionButton->setEnabled(m_micRecordingKept);
            m_nameLabel->setVisible(false);
            m_playbackDeviceCombo->setVisible(false);
            showDelayControls(false);
            m_setDelayButton->setVisible(false);
            showFinishFields(false);
            break;
        case PAGE_ECHO_TEST:
            if (product83) {
                ReadSpeakerDelay();
            }
            m_title = "Echo Test";
            m_instructions = m_echoVerdict == VERDICT_FAIL
                                 ? "It is recommended to re-test the echo\nwhile keeping quiet."
                                 : "Please be quiet during this test.";
            pageIcon("page-info");
            set(m_recordingGroup, false, false);
            set(m_playbackGroup, false, false);
            showLevelMeter(true);
            set(m_micSlider, false, false);
            set(m_speakerSlider, false, false);
            m_actionButton->setText("Test");
            m_actionButton->setVisible(true);
            m_secondActionButton->setVisible(false);
            m_secondActionButton->setText("Listen to Residual Echo");
            m_secondActionButton->setEnabled(m_echoVerdict >= 0);
            m_backButton->setEnabled(true);
            m_nextButton->setEnabled(true);
            m_exitButton->setVisible(false);
            m_nameLabel->setVisible(false);
            m_playbackDeviceCombo->setVisible(false);
            showDelayControls(product83);
            if (!product83) {
                m_setDelayButton->setVisible(false);
            } else if (m_manualDelayRadio->isChecked()) {
                m_setDelayButton->setVisible(true);
            }
            showFinishFields(false);
            break;
        case PAGE_FINISH:
            if (m_echoVerdict == VERDICT_PASS) {
                m_title = "Quenlor device testing ended succesfully.";
            } else if (m_echoVerdict == VERDICT_FAIL) {
                m_title = "Your Quenlor Device failed the echo test.";
            } else if (m_echoVerdict == VERDICT_NONE) {
                m_title = "You are about to leave the probe guide.";
            }
            m_instructions =
                "You can email test results to Quenlor support, save the volume levels as "
                "defaults to the device and exit, or exit without saving.";
            pageIcon("page-info");
            m_recordingGroup->setVisible(false);
            m_playbackGroup->setVisible(false);
            showLevelMeter(false);
            m_micSlider->setVisible(false);
            m_speakerSlider->setVisible(false);
            m_actionButton->setText("Email Results");
            set(m_actionButton, true, m_echoVerdict >= 0);
            m_secondActionButton->setVisible(false);
            m_backButton->setEnabled(true);
            m_exitButton->setVisible(true);
            m_nameLabel->setText("Your Name :");
            m_nameLabel->setVisible(true);
            m_playbackDeviceCombo->setVisible(false);
            showDelayControls(false);
            m_setDelayButton->setVisible(false);
            showFinishFields(true);
            break;
        default:
            // The sub-states of the test actions keep the layout of their page.
            showFinishFields(false);
            break;
    }
    return UpdateData(false) ? 1 : 0;
}

void CProbeGuideDlg::OnNext() {
    const bool loopbackModel = m_hidProtocol.IsLoopbackModel();
    switch (m_page) {
        case PAGE_WELCOME: {
            FillPlaybackDevices();
            if (m_endpoints.CountSpeakerphones() != 1) {
                break;
            }
            ReselectSpeaker();
            m_audio.m_waveOutName = m_endpoints.GetSpeakerName();
            // The welcome page had been laid out with one speakerphone: go on. Otherwise the
            // page is laid out again with the new count first.
            if (m_actionButton->isEnabled()) {
                m_page = PAGE_SPEAKER_TEST;
            }
            m_actionButton->setEnabled(true);
            if (!m_hidProtocol.IsConnected()) {
                m_hidProtocol.Connect(-1, false, true);
            }
            if (m_hidProtocol.IsConnected()) {
                ReselectSpeaker();
                NotifyAudioSetup();
                m_mixerOnly = false;
            } else {
                m_mixerOnly = true;
            }
            LoadVolumes();
            break;
        }
        case PAGE_SPEAKER_TEST:
            m_audio.m_waveInName = m_endpoints.GetMicrophoneName();
            if (m_playing) {
                StopAudio();
                m_playing = false;
            }
            if (loopbackModel) {
                m_loopbackCheck->setVisible(false);
            }
            EnterMicrophonePage();
            break;
        case PAGE_MICROPHONE_TEST:
        case PAGE_RECORDING:
        case PAGE_PLAYING_RECORDING:
            EndRecording();
            m_playing = false;
            m_page = PAGE_ECHO_TEST;
            m_echoStep = ECHO_STEP_NONE;
            m_audio.m_testMode = PAGE_ECHO_TEST;
            m_audio.m_playFile = m_installDir + "WaveFiles/VoicePlayback.wav";
            m_audio.m_recordFile = m_dataDir + "WaveFiles/Echo_Test.wav";
            if (loopbackModel) {
                m_loopbackCheck->setVisible(false);
            }
            break;
        case PAGE_ECHO_TEST:
        case PAGE_LISTENING_ECHO:
            AbortEchoTest();
            StopAudio();
            m_playing = false;
            m_page = PAGE_FINISH;
            m_resultPicture->setVisible(false);
            m_nextButton->setText("Save Setting and Exit");
            m_exitButton->setText("Exit without saving");
            m_exitButton->setVisible(true);
            break;
        case PAGE_FINISH:
            SaveSettingAndExit();
            return;
        default:
            break;
    }
    EndNavigation();
}

void CProbeGuideDlg::EnterMicrophonePage() {
    // The microphone page monitors the level for the meter while the unit is there.
    m_page = PAGE_MICROPHONE_TEST;
    m_levelDb = 0.0;
    m_audio.m_testMode = PAGE_MICROPHONE_TEST;
    m_audio.m_playFile = m_dataDir + "WaveFiles/MicRecorded.wav";
    m_audio.m_recordFile = m_audio.m_playFile;
    if (m_devicePresent) {
        StartAudio();
    }
}

void CProbeGuideDlg::EndNavigation() {
    m_actionButton->setEnabled(true);
    m_secondActionButton->setEnabled(true);
    ShowPage();
}

void CProbeGuideDlg::SaveSettingAndExit() {
    // A unit that has been opened must get the store command: when it does not answer (it was
    // unplugged, or stopped answering), the box says so and the dialog stays open, to try again
    // or to exit without saving.
    const auto reached = [this](int reply) {
        if (reply != -1) {
            return true;
        }
        platform::showMessageBox("Probe Guide",
                                 "The settings could not be stored in the Quenlor device: it does not "
                                 "answer.\nConnect the device and try again, or use 'Exit without saving'.",
                                 platform::mb::kIconWarning);
        return false;
    };
    int micValue = m_micVolume;
    int speakerValue = m_speakerVolume;
    if (m_mixerOnly) {
        // Endpoint levels 0..65535 become the unit's steps 0..24.
        micValue = m_micVolume * 24 / 65535;
        speakerValue = m_speakerVolume * 24 / 65535;
    } else if (!reached(m_hidProtocol.SendCommand(CMD_STORE_SETTINGS, kCommandTimeoutMs))) {
        return;
    }
    CRegHelper settings;
    settings.SetRoot(HKEY_CURRENT_USER);
    if (settings.OpenKey("Software\\Kestu\\Quenlor Audio Setup")) {
        settings.SetDword("Microphone Volume", static_cast<std::uint32_t>(micValue));
        settings.SetDword("Speaker Volume", static_cast<std::uint32_t>(speakerValue));
        settings.SetDword("From PC Volume", 24);
        settings.SetDword("To PC Volume", 24);
    }
    ReportUnsavedSettings(settings);
    // Without a unit opened (mixer-only) these commands get no answer, as expected.
    const int product = m_hidProtocol.m_productCode;
    int stored = 0;
    if ((product == 23 || product == 4119) && m_hidProtocol.m_firmwareNumber >= 2001) {
        stored = m_hidProtocol.SendCommand(CMD_STORE_SETTINGS, kCommandTimeoutMs);
    } else {
        const int reply = m_hidProtocol.SendCommand(CMD_SAVE_QUERY, kCommandTimeoutMs);
        if (reply != -1 && (reply & 1) != 0) {
            stored = m_hidProtocol.SendCommand(CMD_STORE_SETTINGS, kCommandTimeoutMs);
        }
    }
    if (!m_mixerOnly && !reached(stored)) {
        return;
    }
    accept();
}

void CProbeGuideDlg::OnBack() {
    switch (m_page) {
        case PAGE_SPEAKER_TEST:
            if (m_playing) {
                StopAudio();
                m_playing = false;
            }
            m_page = PAGE_WELCOME;
            break;
        case PAGE_MICROPHONE_TEST:
        case PAGE_RECORDING:
        case PAGE_PLAYING_RECORDING:
            EndRecording();
            m_playing = false;
            m_page = PAGE_SPEAKER_TEST;
            FillPlaybackDevices();
            if (m_hidProtocol.IsLoopbackModel()) {
                m_loopbackCheck->setVisible(false);
            }
            break;
        case PAGE_ECHO_TEST:
        case PAGE_LISTENING_ECHO:
            AbortEchoTest();
            StopAudio();
            m_playing = false;
            m_resultPicture->setVisible(false);
            EnterMicrophonePage();
            if (m_hidProtocol.IsLoopbackModel()) {
                m_loopbackCheck->setVisible(false);
            }
            break;
        case PAGE_FINISH:
            m_resultPicture->setVisible(false);
            m_nextButton->setText("Next >");
            m_exitButton->setVisible(false);
            m_page = PAGE_ECHO_TEST;
            m_echoStep = ECHO_STEP_NONE;
            break;
        default:
            break;
    }
    EndNavigation();
}

void CProbeGuideDlg::DetectDevice() {
    // A unit that stopped answering may answer again once it is found anew.
    if (m_hidProtocol.UnitWentSilent()) {
        m_hidProtocol.StopWhenSilent(false);
    }
    FillPlaybackDevices();
    const int count = m_endpoints.CountSpeakerphones();
    if (count == 0) {
        m_presencePicture->setPixmap(m_absentBitmap);
        m_devicePresent = false;
    } else if (count == 1) {
        if (m_hidProtocol.Connect(-1, false, true)) {
            m_presencePicture->setPixmap(m_presentBitmap);
            ReselectSpeaker();
            m_mixerOnly = false;
        } else {
            m_mixerOnly = true;
        }
        m_devicePresent = true;
    } else {
        m_devicePresent = m_hidProtocol.Connect(-1, false, true);
        m_presencePicture->setPixmap(m_devicePresent ? m_presentBitmap : m_absentBitmap);
    }
    // The layout of the page is that of its idle state: a running action keeps its captions
    // and enablings ("Stop" stays "Stop").
    struct ButtonState {
        QPushButton* button;
        QString caption;
        bool enabled;
    };
    std::vector<ButtonState> running;
    if (m_playing) {
        for (QPushButton* button : {m_actionButton, m_secondActionButton}) {
            running.push_back({button, button->text(), button->isEnabled()});
        }
    }
    ShowPage();
    for (const ButtonState& state : running) {
        state.button->setText(state.caption);
        state.button->setEnabled(state.enabled);
    }
}

long CProbeGuideDlg::OnDeviceChange(std::uintptr_t event, std::intptr_t) {
    if (event == platform::devchange::kNodesChanged || event == platform::devchange::kArrival ||
        event == platform::devchange::kRemoveComplete) {
        // A burst of notifications gives one detection, after the last of them.
        KillTimer(TIMER_REDETECT);
        SetTimer(TIMER_REDETECT, kRedetectMs);
    }
    return 1;
}

void CProbeGuideDlg::OnTimer(int id) {
    if (id == TIMER_RECORD_LIMIT) {
        OnActionButton();
    } else if (id == TIMER_REDETECT) {
        KillTimer(TIMER_REDETECT);
        DetectDevice();
    }
}

void CProbeGuideDlg::NotifyAudioSetup() {
    if (const auto window = platform::findWindow(kAudioSetupWindowTitle)) {
        platform::postMessage(*window, WM_AUDIO_SETUP_NOTIFY, 0, 1);
    }
}
