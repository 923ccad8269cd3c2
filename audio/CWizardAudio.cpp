#include "audio/CWizardAudio.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "audio/CWaveFormat.h"
#include "audio/RecordingMeasures.h"
#include "platform/MessageBox.h"
#include "platform/System.h"

namespace {

// Waits that Stop allows each thread; a thread that needs longer is joined later, before
// anything it uses is released.
constexpr std::uint32_t kMicStopWaitMs = 3000;
constexpr std::uint32_t kSpeakerStopWaitMs = 1000;

bool modePlays(int mode) {
    return mode == AUDIO_MODE_PLAY || mode == AUDIO_MODE_PLAYBACK || mode == AUDIO_MODE_PLAY_RECORD ||
           mode == AUDIO_MODE_PLAY_FROM_2S;
}

bool modeRecords(int mode) {
    return mode == AUDIO_MODE_MONITOR || mode == AUDIO_MODE_RECORD || mode == AUDIO_MODE_PLAY_RECORD;
}

bool modeWritesRecording(int mode) {
    return mode == AUDIO_MODE_RECORD || mode == AUDIO_MODE_PLAY_RECORD;
}

int findDevice(platform::IWaveDevices& devices, platform::WaveDirection direction, const std::string& name,
               std::string* key = nullptr) {
    // An empty name would agree with every device: the run would judge whatever device
    // happens to be first, so it matches none.
    if (name.empty()) {
        return -1;
    }
    const auto list = devices.devices(direction);
    for (std::size_t id = 0; id < list.size(); ++id) {
        const auto& product = list[id].name;
        const std::size_t length = std::min(product.size(), name.size());
        // Product names may be cut short by the platform, and stored names may be the
        // beginning of a device name: compare over the shorter of the two.
        if (length > 0 && product.compare(0, length, name, 0, length) == 0) {
            if (key != nullptr) {
                *key = list[id].key;
            }
            return static_cast<int>(id);
        }
    }
    return -1;
}

void showError(const std::string& caption, const std::string& text) {
    platform::showMessageBox(caption, text, platform::mb::kIconError);
}

}  // namespace

CWizardAudio::CWizardAudio(platform::IWaveDevices& devices) : m_devices(devices) {}

CWizardAudio::~CWizardAudio() {
    RequestStop();
    // The threads use the play reader and the writer: wait for them before those go.
    if (m_pMicThread) {
        m_pMicThread->join(platform::kInfinite);
    }
    if (m_pSpeakerThread) {
        m_pSpeakerThread->join(platform::kInfinite);
    }
    // A recording nobody kept never replaces the one under its name.
    if (m_pRecordWriter) {
        m_pRecordWriter->Discard();
    }
    m_playReader.Close();
}

int CWizardAudio::FindWaveOutDevice(platform::IWaveDevices& devices, const std::string& name) {
    return findDevice(devices, platform::WaveDirection::Output, name);
}

int CWizardAudio::FindWaveInDevice(platform::IWaveDevices& devices, const std::string& name) {
    return findDevice(devices, platform::WaveDirection::Input, name);
}

std::uint32_t CWizardAudio::BlockBytesForRate(std::uint32_t sampleRateHz) {
    if (sampleRateHz < 12000) {
        return 2048;
    }
    if (sampleRateHz < 18000) {
        return 4096;
    }
    if (sampleRateHz < 36000) {
        return 8192;
    }
    return 16384;
}

const std::vector<std::uint8_t>* CWizardAudio::LevelBlock(const platform::NotifyMessage& message) {
    if (message.message != WM_AUDIO_LEVEL || !message.payload) {
        return nullptr;
    }
    return static_cast<const std::vector<std::uint8_t>*>(message.payload.get());
}

std::string CWizardAudio::RecordingFault() const {
    std::lock_guard lock(m_faultMutex);
    return m_recordingFault;
}

void CWizardAudio::SetRecordingFault(const std::string& fault) {
    std::lock_guard lock(m_faultMutex);
    if (m_recordingFault.empty()) {
        m_recordingFault = fault;
    }
}

platform::WaveStreamCounters CWizardAudio::LossCounters() const {
    std::lock_guard lock(m_faultMutex);
    return m_losses;
}

void CWizardAudio::NoteLosses(const platform::WaveStreamCounters& lost, bool playing) {
    if (!lost.any()) {
        return;
    }
    {
        std::lock_guard lock(m_faultMutex);
        m_losses += lost;
    }
    if (!modeWritesRecording(m_runMode)) {
        return;
    }
    std::string causes;
    const auto add = [&causes](const std::string& cause) { causes += (causes.empty() ? "" : "; ") + cause; };
    if (playing && lost.underflows != 0) {
        add("the playing ran dry " + std::to_string(lost.underflows) +
            " time(s), leaving gaps in the sound played");
    }
    if (lost.overflows != 0 || lost.discardedBytes != 0) {
        const double bytesPerMs = 2.0 * m_recordChannels * m_sampleRate / 1000.0;
        char text[160];
        std::snprintf(text, sizeof text, "%.0f ms of %s sound found no room and was dropped (%u overflow(s))",
                      static_cast<double>(lost.discardedBytes) / bytesPerMs, playing ? "played" : "recorded",
                      lost.overflows);
        add(text);
    }
    if (lost.holes != 0) {
        add("the sound server left " + std::to_string(lost.holes) + " gap(s) in the recorded sound");
    }
    SetRecordingFault("Sound was lost while " + m_runRecordFile + " was recorded: " + causes + ".");
}

void CWizardAudio::RequestStop() {
    m_micRunning = 0;
    m_speakerRunning = 0;
    m_stopEvent.set();
}

bool CWizardAudio::IsRunning() const {
    return (m_pMicThread && m_pMicThread->isRunning()) || (m_pSpeakerThread && m_pSpeakerThread->isRunning());
}

void CWizardAudio::post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                        std::shared_ptr<const void> payload) {
    if (m_hNotifyWnd != nullptr) {
        m_hNotifyWnd->post({message, wParam, lParam, std::move(payload)});
    }
}

bool CWizardAudio::joinThreads(std::uint32_t micTimeoutMs, std::uint32_t speakerTimeoutMs) {
    if (m_pMicThread && m_pMicThread->join(micTimeoutMs)) {
        m_pMicThread.reset();
    }
    if (m_pSpeakerThread && m_pSpeakerThread->join(speakerTimeoutMs)) {
        m_pSpeakerThread.reset();
    }
    return !m_pMicThread && !m_pSpeakerThread;
}

bool CWizardAudio::startThread(std::unique_ptr<platform::WorkerThread>& thread, int (*routine)(CWizardAudio*),
                               std::atomic<int>& exitCode) {
    exitCode = 0;
    try {
        thread = std::make_unique<platform::WorkerThread>();
        return thread->start([this, routine, &exitCode] { exitCode = routine(this); });
    } catch (const std::system_error&) {
        thread.reset();
        return false;
    }
}

int CWizardAudio::Start(platform::INotifyTarget* target) {
    // Threads of an earlier run that Stop could not wait for still use the files.
    RequestStop();
    if (!joinThreads(kMicStopWaitMs, kSpeakerStopWaitMs)) {
        showError("WizardAudio", "The previous test is still stopping\nPlease try again");
        return 0;
    }
    m_hNotifyWnd = target;
    if (m_pRecordWriter) {
        m_pRecordWriter->Discard();  // an earlier run's recording that was not kept
    }
    {
        std::lock_guard lock(m_faultMutex);
        m_recordingFault.clear();
        m_losses = {};
    }
    m_stopEvent.reset();
    m_recordChannels = 1;
    m_sampleRate = 16000;
    const int mode = m_testMode;
    m_runMode = mode;
    m_runRecordFile = m_recordFile;
    if (!modePlays(mode) && !modeRecords(mode)) {
        return 1;
    }

    if (modePlays(mode)) {
        m_playReader.Close();
        if (m_playReader.Open(m_playFile) == 0) {
            showError("WizardAudio", "Unable to open file: " + m_playFile);
            return 0;
        }
        m_sampleRate = static_cast<int>(m_playReader.m_pFormat->samplesPerSec);
        if (mode == AUDIO_MODE_PLAY_FROM_2S) {
            m_playReader.SeekData(4u * static_cast<std::uint32_t>(m_sampleRate));
        }
        // Never fall back to the system's default device: the test would judge the
        // computer's own sound card instead of the unit.
        // The device is opened by the identity found here: should the list change before the
        // speaker thread opens it, the position found may hold another device by then.
        m_waveOutId = findDevice(m_devices, platform::WaveDirection::Output, m_waveOutName, &m_waveOutKey);
        if (m_waveOutId < 0) {
            m_playReader.Close();
            showError("WizardAudio",
                      "Unable to find the playing device: " + m_waveOutName + "\nStopping test");
            return 0;
        }
    }
    if (modeRecords(mode)) {
        m_waveInId = findDevice(m_devices, platform::WaveDirection::Input, m_waveInName, &m_waveInKey);
        if (m_waveInId < 0) {
            m_playReader.Close();
            showError("WizardAudio",
                      "Unable to find the recording device: " + m_waveInName + "\nStopping test");
            return 0;
        }
    }
    if (modeWritesRecording(mode)) {
        m_pRecordWriter.reset();  // discards an earlier run's recording that was not kept
        try {
            m_pRecordWriter = std::make_unique<CWaveFileWriter>();
        } catch (const std::bad_alloc& error) {
            platform::showMessageBox("Error", std::string(error.what()).substr(0, 255),
                                     platform::mb::kIconError);
            m_playReader.Close();
            return 0;
        }
        if (mode == AUDIO_MODE_PLAY_RECORD) {
            m_recordChannels = m_playReader.m_pFormat->channels;
        }
        const CWaveFormat format(static_cast<std::uint16_t>(m_recordChannels),
                                 static_cast<std::uint32_t>(m_sampleRate), 16);
        if (m_pRecordWriter->Create(m_recordFile, format) == 0) {
            m_playReader.Close();
            showError("WizardAudio", "Unable to open file: " + m_recordFile);
            return 0;
        }
    }

    if (modePlays(mode)) {
        m_speakerRunning = 1;
        if (!startThread(m_pSpeakerThread, &CWizardAudio::SpeakerThread, m_speakerExitCode)) {
            m_speakerRunning = 0;
            showError("RecUtilDlg", "Unable to create SpeakerThread");
            return 0;
        }
    }
    if (modeRecords(mode)) {
        m_micRunning = 1;
        if (!startThread(m_pMicThread, &CWizardAudio::MicrophoneThread, m_micExitCode)) {
            m_micRunning = 0;
            showError("RecUtilDlg", "Unable to create MicThread");
            return 0;
        }
    }
    return 1;
}

bool CWizardAudio::KeepRecording() {
    if (m_pMicThread || !m_pRecordWriter || !m_pRecordWriter->IsFinished()) {
        SetRecordingFault("The recording " + m_runRecordFile + " was not finished.");
        return false;
    }
    if (!m_pRecordWriter->Keep()) {
        SetRecordingFault(m_pRecordWriter->ErrorText());
        return false;
    }
    return true;
}

void CWizardAudio::DiscardRecording() {
    if (!m_pMicThread && m_pRecordWriter) {
        m_pRecordWriter->Discard();
    }
}

std::string CWizardAudio::EchoSoundFault(bool echoReduction) const {
    const bool pending = !m_pMicThread && m_pRecordWriter && m_pRecordWriter->IsFinished();
    const std::string path = pending ? m_pRecordWriter->TemporaryName() : m_recordFile;
    return recording_measures::echoSoundFault(path, m_runRecordFile, echoReduction);
}

int CWizardAudio::Stop() {
    // Both threads are told at once and woken from their waits; then each is waited for.
    RequestStop();
    if (m_pMicThread && m_pMicThread->join(kMicStopWaitMs)) {
        m_pMicThread.reset();
    }
    if (m_pSpeakerThread && m_pSpeakerThread->join(kSpeakerStopWaitMs)) {
        m_pSpeakerThread.reset();
    }
    // The speaker thread reads the play file: close it only once that thread has ended.
    if (!m_pSpeakerThread) {
        m_playReader.Close();
    } else {
        platform::debugOutput("CWizardAudio::Stop: SpeakerThread still running, play file left open\n");
    }
    return 1;
}
