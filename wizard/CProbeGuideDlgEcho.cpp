// The echo test of page 5: the start of each run, its chain of far-end, delay and echo runs for
// model 83, the stage marks and the level meter while it records, and the verdict at its end.

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/MessageBox.h"
#include "platform/System.h"
#include "wizard/CProbeGuideDlg.h"
#include "wizard/SpeakerDelay.h"

namespace {

// The unit switches the test drives: 0x15 and 0x0E are saved and restored around the test,
// 0x06 and 0x01 bypass the echo canceller's stages until the stage marks let them in.
constexpr std::uint16_t kSwitch15 = 0x15;
constexpr std::uint16_t kSwitch0E = 0x0E;
constexpr std::uint16_t kSwitch06 = 0x06;
constexpr std::uint16_t kSwitch01 = 0x01;
constexpr int kSwitchOnBit = 0x200;

constexpr int kSpeakerDelayModel = 83;

constexpr double kFirstMarkSeconds = 2.0;
constexpr double kSecondMarkSeconds = 6.0;
constexpr double kMarksDoneSeconds = 9.0;

// Routing sources and the two recorded channels.
constexpr std::uint8_t kRecordLeft = 25;
constexpr std::uint8_t kRecordRight = 26;
constexpr std::uint8_t kFarEndA = 31;
constexpr std::uint8_t kFarEndB = 32;
constexpr std::uint8_t kMicrophone = 8;

constexpr const char* kTestCaption = "Test";
constexpr const char* kUnitSilentText = "The unit stopped answering.";
// The unit settles a measured delay it has stored before it is identified again.
constexpr std::uint32_t kSettleAfterMeasureMs = 20;

struct StepFiles {
    const char* play;
    const char* record;
};
constexpr StepFiles kFarEndFiles{"WaveFiles/FE_Play.wav", "WaveFiles/FE_Test.wav"};
constexpr StepFiles kDelayFiles{"WaveFiles/Delay_Play.wav", "WaveFiles/Delay_Test.wav"};
constexpr StepFiles kEchoFiles{"WaveFiles/VoicePlayback.wav", "WaveFiles/Echo_Test.wav"};

bool hasStages(const CProbeGuideDlg& dlg) {
    return dlg.m_hidProtocol.m_protocolVersion >= kEchoStageProtocolLevel;
}

void setFiles(CProbeGuideDlg& dlg, const StepFiles& files) {
    dlg.m_audio.m_playFile = dlg.m_installDir + files.play;
    dlg.m_audio.m_recordFile = dlg.m_dataDir + files.record;
}

void sendRecordRouting(CHIDProtocol& unit, std::uint8_t left, std::uint8_t right) {
    unit.SetRouting(left, kRecordLeft);
    unit.SetRouting(right, kRecordRight);
}

// A switch read names the switch with bit 7 set (0x8095 reads switch 0x15).
void saveSwitchStates(CProbeGuideDlg& dlg) {
    constexpr std::uint16_t kReadBit = 0x80;
    CHIDProtocol& unit = dlg.m_hidProtocol;
    dlg.m_savedState15 = unit.SendCommand(SWITCH_READ + kReadBit + kSwitch15, kCommandTimeoutMs);
    dlg.m_savedState0E = unit.SendCommand(SWITCH_READ + kReadBit + kSwitch0E, kCommandTimeoutMs);
}

// Switches off again what was off before the test. A state that was never read (-1, also the
// state before the first reading) has the on bit set, so nothing is sent for it.
void restoreSavedSwitches(CProbeGuideDlg& dlg) {
    if ((dlg.m_savedState15 & kSwitchOnBit) == 0) {
        dlg.m_hidProtocol.SendCommand(SWITCH_OFF + kSwitch15, kCommandTimeoutMs);
    }
    if ((dlg.m_savedState0E & kSwitchOnBit) == 0) {
        dlg.m_hidProtocol.SendCommand(SWITCH_OFF + kSwitch0E, kCommandTimeoutMs);
    }
}

// Ends the test for the unit, once, whichever way out the test takes (a verdict, Stop, Next,
// Back, closing the dialog, a run that cannot start, a chain that cannot go on, a test that
// could not measure): the recording routing, the stage switches that no stage mark has switched
// off yet switched off and the saved switch states restored, so that no test state of the echo
// canceller is stored later. A recording that was not kept is discarded. Nothing goes to a unit
// that has stopped answering.
void endTest(CProbeGuideDlg& dlg, bool restoreRouting) {
    dlg.m_actionButton->setText(kTestCaption);
    dlg.m_audio.DiscardRecording();
    if (!dlg.m_echoTestActive) {
        return;
    }
    dlg.m_echoTestActive = false;
    dlg.m_echoStep = ECHO_STEP_NONE;
    CHIDProtocol& unit = dlg.m_hidProtocol;
    if (restoreRouting) {
        sendRecordRouting(unit, kRecordLeft, kRecordRight);
    }
    if (hasStages(dlg)) {
        if (dlg.m_switch01On) {
            unit.SendCommand(SWITCH_OFF + kSwitch01, kCommandTimeoutMs);
        }
        if (dlg.m_switch06On) {
            unit.SendCommand(SWITCH_OFF + kSwitch06, kCommandTimeoutMs);
        }
        restoreSavedSwitches(dlg);
    }
    dlg.m_switch01On = false;
    dlg.m_switch06On = false;
    // A silent unit stays cut off until it is detected again.
    if (!unit.UnitWentSilent()) {
        unit.StopWhenSilent(false);
    }
}

// A test that could not measure the unit: the unit restored, the run's recording discarded, no
// verdict and no picture, and a box that says why.
void endWithoutMeasurement(CProbeGuideDlg& dlg, const std::string& cause, bool restoreRouting) {
    endTest(dlg, restoreRouting);
    dlg.m_resultPicture->setVisible(false);
    platform::showMessageBox("Echo Test", cause + "\nThe echo test gives no verdict.",
                             platform::mb::kIconWarning);
}

// Identifies the unit again. A unit that has stopped answering keeps the protocol level it had:
// the level of an identification that got no answer says nothing about the unit.
void reidentify(CHIDProtocol& unit) {
    const int level = unit.m_protocolVersion;
    unit.Connect(-1, false, true);
    if (unit.UnitWentSilent()) {
        unit.m_protocolVersion = level;
    }
}

// Whether the echo run's recording, with the block that a stage mark precedes, has reached
// `mark` seconds. The engine posts a mark with every block from that time on, so marks posted
// before the dialog moved to the next mark arrive after it did; they must not switch the next
// stage in early. The block's length is taken as the last one's, with half a block more for
// the engine's rounding.
bool echoRecordingReached(const CProbeGuideDlg& dlg, double mark) {
    const double bytesPerSecond = 2.0 * dlg.m_audio.m_recordChannels * dlg.m_audio.m_sampleRate;
    const double withBlock = static_cast<double>(dlg.m_echoRecordedBytes) + 1.5 * dlg.m_echoBlockBytes;
    return withBlock >= mark * bytesPerSecond;
}

// The sub-step a Test press starts on model 83, chosen by the delay radios; nullopt when the
// typed delay is refused (its box shown, nothing sent), or when a chained start after the
// far-end run finds neither "Measure Speaker Delay" nor a typed delay chosen any more.
std::optional<int> chooseDelayStep(CProbeGuideDlg& dlg, bool& saveStates) {
    const int step = dlg.m_echoStep;
    if (step == ECHO_STEP_NONE && dlg.m_measureDelayRadio->isChecked()) {
        saveStates = true;
        return ECHO_STEP_FAR_END;
    }
    if (step == ECHO_STEP_FAR_END || dlg.m_manualDelayRadio->isChecked()) {
        if (dlg.m_manualDelayRadio->isChecked()) {
            dlg.UpdateData(true);
            const std::optional<int> delay = speaker_delay::typedDelay(dlg.m_speakerDelay, true);
            if (!delay) {
                return std::nullopt;
            }
            speaker_delay::storeIfChanged(dlg.m_hidProtocol, *delay, 0);
            reidentify(dlg.m_hidProtocol);
            return ECHO_STEP_ECHO;
        }
        if (dlg.m_measureDelayRadio->isChecked()) {
            return ECHO_STEP_DELAY;
        }
        // Keeping step 1 would start far-end runs without end.
        return std::nullopt;
    }
    if (step == ECHO_STEP_DELAY || dlg.m_eraseDelayRadio->isChecked()) {
        return ECHO_STEP_ECHO;
    }
    return step;
}

}  // namespace

void CProbeGuideDlg::AbortEchoTest() {
    if (!m_echoTestActive) {
        return;
    }
    StopAudio();
    m_playing = false;
    endTest(*this, true);
}

std::string CProbeGuideDlg::MeasurementFault() {
    if (m_hidProtocol.UnitWentSilent()) {
        return kUnitSilentText;
    }
    std::string fault = m_audio.RecordingFault();
    // A thread that could not open its device, or a recording that has not been put in place,
    // leaves the file of an earlier run under the recording's name.
    if (fault.empty() && m_audio.m_speakerExitCode != SPEAKER_EXIT_OK) {
        fault = "The sound device " + m_audio.m_waveOutName + " did not play " + m_audio.m_playFile + ".";
    }
    if (fault.empty() && (m_audio.IsRunning() || m_audio.m_micExitCode != MIC_EXIT_OK)) {
        fault = "The sound device " + m_audio.m_waveInName + " did not record " + m_audio.m_recordFile + ".";
    }
    return fault;
}

void CProbeGuideDlg::StartEchoRun() {
    m_resultPicture->setVisible(false);
    if (m_playing) {
        AbortEchoTest();
        return;
    }
    if (!m_echoTestActive) {
        // A new test: the unit is watched for silence until the test ends.
        m_hidProtocol.StopWhenSilent(true);
    }
    m_unitId = m_hidProtocol.GetUnitId();
    m_actionButton->setText("Stop");
    m_audio.m_markSeconds = kFirstMarkSeconds;

    bool saveStates = true;
    int step = ECHO_STEP_ECHO;
    if (m_hidProtocol.m_productCode == kSpeakerDelayModel) {
        saveStates = false;
        const std::optional<int> chosen = chooseDelayStep(*this, saveStates);
        if (!chosen) {
            endTest(*this, true);
            return;
        }
        step = *chosen;
    }
    m_echoStep = step;
    if (saveStates) {
        saveSwitchStates(*this);
    }
    m_echoTestActive = true;
    for (const std::uint16_t sw : {kSwitch15, kSwitch0E, kSwitch06, kSwitch01}) {
        m_hidProtocol.SendCommand(SWITCH_ON + sw, kCommandTimeoutMs);
    }
    m_switch01On = true;
    m_switch06On = true;
    if (!m_mixerOnly) {
        NotifyAudioSetup();
    }
    switch (m_echoStep) {
        case ECHO_STEP_FAR_END:
            sendRecordRouting(m_hidProtocol, kFarEndA, kFarEndB);
            setFiles(*this, kFarEndFiles);
            break;
        case ECHO_STEP_DELAY:
            sendRecordRouting(m_hidProtocol, static_cast<std::uint8_t>(m_farEndCode), kMicrophone);
            setFiles(*this, kDelayFiles);
            break;
        default:
            // Step 0 ("Do not re-adjust Delay") sets no routing, but records and judges the
            // echo files even after a far-end or delay run was cut short.
            if (m_echoStep == ECHO_STEP_ECHO) {
                sendRecordRouting(m_hidProtocol, kRecordLeft, kRecordRight);
            }
            setFiles(*this, kEchoFiles);
            m_audio.m_markSeconds = kFirstMarkSeconds;
            break;
    }
    if (m_hidProtocol.UnitWentSilent()) {
        endWithoutMeasurement(*this, kUnitSilentText, true);
        return;
    }
    m_audio.m_testMode = m_page;
    m_echoRecordedBytes = 0;
    m_echoBlockBytes = 0;
    if (StartAudio() == 0) {
        StopAudio();
        endTest(*this, true);
        return;
    }
    m_playing = true;
}

void CProbeGuideDlg::FinishEchoRun() {
    reidentify(m_hidProtocol);
    ReselectSpeaker();
    sendRecordRouting(m_hidProtocol, kRecordLeft, kRecordRight);
    // Nothing is judged or stored from a run that could not measure, and its recording never
    // takes the place of the one kept: the recording is kept only once it can be measured.
    const bool echoRun = m_echoStep != ECHO_STEP_FAR_END && m_echoStep != ECHO_STEP_DELAY;
    std::string fault = MeasurementFault();
    if (fault.empty() && echoRun) {
        fault = m_audio.EchoSoundFault(hasStages(*this));
    }
    if (fault.empty() && !m_audio.KeepRecording()) {
        fault = m_audio.RecordingFault();
    }
    if (!fault.empty()) {
        endWithoutMeasurement(*this, fault, false);
        return;
    }
    switch (m_echoStep) {
        case ECHO_STEP_FAR_END: {
            const int channel = m_audio.GetFEChannel();
            if (channel == -1) {
                platform::showMessageBox("Echo Test", "No far-end signal was detected !\n\r",
                                         platform::mb::kIconWarning);
                endTest(*this, false);
                return;
            }
            m_farEndCode = channel == 1 ? kFarEndA : kFarEndB;
            OnActionButton();
            return;
        }
        case ECHO_STEP_DELAY: {
            // A failed measurement (negative, also as a 16-bit word) leaves the unit's delay.
            const int delay = static_cast<std::int16_t>(m_audio.MeasureDelay());
            if (delay >= 0 && speaker_delay::storeIfChanged(m_hidProtocol, delay, kSettleAfterMeasureMs)) {
                m_speakerDelay = std::to_string(delay);
                UpdateData(false);
            }
            reidentify(m_hidProtocol);
            OnActionButton();
            return;
        }
        default:
            break;
    }
    if (hasStages(*this)) {
        m_echoVerdict = m_audio.TestEchoReduction(*this, m_lmsEchoDb, m_totalEchoDb);
        endTest(*this, false);
    } else {
        m_echoVerdict = m_audio.TestResidualEcho(*this, m_totalEchoDb);
        // Below level 6 the step stays for the next Test.
        const int step = m_echoStep;
        endTest(*this, false);
        m_echoStep = step;
    }
    m_resultPicture->setPixmap(m_echoVerdict == VERDICT_PASS ? m_passBitmap : m_failBitmap);
    m_resultPicture->setVisible(true);
    ShowPage();
}

long CProbeGuideDlg::OnAudioLevel(std::uintptr_t wParam, std::intptr_t lParam) {
    if (lParam < 0) {
        // Stage mark: let the canceller's adaptive stage in at 2 s, its non-linear stage at 6 s.
        if (m_page != PAGE_ECHO_TEST || !hasStages(*this)) {
            return 0;
        }
        const double mark = m_audio.m_markSeconds.load();
        if (!echoRecordingReached(*this, mark)) {
            return 0;
        }
        if (mark == kFirstMarkSeconds) {
            m_hidProtocol.SendCommandNoReply(SWITCH_OFF + kSwitch01);
            m_switch01On = false;
            m_audio.m_markSeconds = kSecondMarkSeconds;
            platform::sleepMs(10);
            return 0;
        }
        if (mark == kSecondMarkSeconds) {
            m_hidProtocol.SendCommandNoReply(SWITCH_OFF + kSwitch06);
            m_switch06On = false;
            m_audio.m_markSeconds = kMarksDoneSeconds;
        }
        platform::sleepMs(10);
        return 0;
    }
    if (m_page != PAGE_MICROPHONE_TEST && m_page != PAGE_RECORDING && m_page != PAGE_ECHO_TEST) {
        return 0;
    }
    if (m_page == PAGE_ECHO_TEST) {
        m_echoRecordedBytes += static_cast<std::uint64_t>(lParam);
        m_echoBlockBytes = static_cast<std::uint64_t>(lParam);
    }
    // The first quarter of the block's bytes, as 16-bit samples; a stopped run ends the scan.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(wParam);
    const std::intptr_t count = lParam / 4;
    int peak = 0;
    for (std::intptr_t i = 0; i < count && m_audio.m_micRunning.load() != 0; ++i) {
        std::int16_t sample = 0;
        std::memcpy(&sample, bytes + 2 * i, sizeof sample);
        peak = std::max(peak, std::abs(static_cast<int>(sample)));
    }
    m_levelDb = peak >= 1 ? 20.0 * std::log10(static_cast<double>(peak)) : 0.0;
    const int position = static_cast<int>(m_levelDb);
    for (QProgressBar* bar : {m_levelLow, m_levelHigh}) {
        bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
    }
    return 0;
}
