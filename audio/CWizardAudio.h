#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "audio/CWaveFileReader.h"
#include "audio/CWaveFileWriter.h"
#include "audio/IDataFolder.h"
#include "platform/Event.h"
#include "platform/Notify.h"
#include "platform/Thread.h"
#include "platform/WaveDevices.h"

// Messages of the audio engine to its notification target.
inline constexpr std::uint32_t WM_APP = 0x8000;
// wParam 0: the play file has been played, or the playing device cannot be opened.
// wParam 1: the recording ended on an error (device, queue, no data).
inline constexpr std::uint32_t WM_AUDIO_DONE = WM_APP + 1;
// lParam: byte count of the recorded block (0..16384), or -1 for the stage mark. The payload
// is the block itself (see CWizardAudio::LevelBlock), unchanged for as long as the receiver
// keeps the message; wParam is the address of its first byte.
inline constexpr std::uint32_t WM_AUDIO_LEVEL = WM_APP + 2;

// What a run plays and records; equal to the wizard page that starts it.
enum AudioMode {
    AUDIO_MODE_NONE = 0,
    AUDIO_MODE_PLAY = 1,
    AUDIO_MODE_MONITOR = 2,
    AUDIO_MODE_RECORD = 3,
    AUDIO_MODE_PLAYBACK = 4,
    AUDIO_MODE_PLAY_RECORD = 5,
    AUDIO_MODE_PLAY_FROM_2S = 6,
};

// Exit codes of the two worker threads.
inline constexpr int SPEAKER_EXIT_OK = 100;
inline constexpr int SPEAKER_EXIT_OPEN_FAILED = 102;
// The device stopped taking or playing the sound before the file's end.
inline constexpr int SPEAKER_EXIT_NOT_PLAYED = 103;
inline constexpr int MIC_EXIT_OK = 200;
inline constexpr int MIC_EXIT_OPEN_FAILED = 202;
inline constexpr int MIC_EXIT_QUEUE_FAILED = 203;
inline constexpr int MIC_EXIT_NO_DATA = 204;

// The audio test engine: plays a file on the unit's speaker and records the unit's
// microphone into a file, on two worker threads, one run at a time.
class CWizardAudio {
public:
    static constexpr std::size_t kLastBlockBytes = 16384;

    explicit CWizardAudio(platform::IWaveDevices& devices);
    virtual ~CWizardAudio();
    CWizardAudio(const CWizardAudio&) = delete;
    CWizardAudio& operator=(const CWizardAudio&) = delete;

    // Starts a run of m_testMode; 1 when started (also when the mode starts nothing), 0 on a
    // failure already shown in a message box. Messages go to target (dropped when null).
    int Start(platform::INotifyTarget* target);

    // Ends the run: stops and waits for both threads, closes the play file; returns 1.
    int Stop();

    // The id of the first device whose product name and the given name agree over the
    // shorter of their lengths; -1 for an empty name or when none agrees.
    static int FindWaveOutDevice(platform::IWaveDevices& devices, const std::string& name);
    static int FindWaveInDevice(platform::IWaveDevices& devices, const std::string& name);

    static int SpeakerThread(CWizardAudio* engine);
    static int MicrophoneThread(CWizardAudio* engine);

    // Block bytes for a run's sample rate: 2048, 4096, 8192 or 16384.
    static std::uint32_t BlockBytesForRate(std::uint32_t sampleRateHz);

    // The recorded block a WM_AUDIO_LEVEL message carries, or null.
    static const std::vector<std::uint8_t>* LevelBlock(const platform::NotifyMessage& message);

    bool IsRunning() const;

    // Why the last run's recording cannot be measured (it could not be written, was cut
    // short, has a gap, or its device went away), naming the cause and the file; empty while
    // the recording is whole. The first fault of a run is kept; Start clears it. Any thread.
    std::string RecordingFault() const;
    void SetRecordingFault(const std::string& fault);

    // The recording of the last run (modes 3 and 5) is finished under a temporary name when its
    // run ends; it takes m_recordFile's name only when the caller keeps it. Keep: true when it
    // is in place now; false, with a recording fault, when the run left none or it cannot be
    // put there (m_recordFile then keeps what it had). Discard: removes it. Both wait for
    // nothing: call them once the run has been stopped; Start and the engine's end discard a
    // recording not kept.
    bool KeepRecording();
    void DiscardRecording();

    // Why the last run's echo recording gives no echo figures although it is whole: it is
    // shorter than the windows the figures measure (reduction: A, B and C; else the residual
    // window), or one of them holds no sound on the figures' channel or on the far-end channel
    // of a two-channel recording. Empty when the figures can be taken; read before the
    // recording is kept.
    std::string EchoSoundFault(bool echoReduction) const;

    // What the devices of the last run lost of its sound: gaps in the playing, recorded sound
    // dropped or missing. Start clears them; a run that writes a recording and lost any sound
    // also gets a recording fault naming the loss.
    platform::WaveStreamCounters LossCounters() const;

    // Measurements on recordings (WizardAudioMeasure.cpp). The caller sets m_playFile and
    // m_recordFile and stops the run that made the recording first.
    static int EstimateDelay(std::span<const std::int16_t> reference,
                             std::span<const std::int16_t> microphone, int rate, int segments, int& delay,
                             double& coherence);
    static void ComplexMultiply(const double* a, const double* b, double* out, int n, bool conjugate);
    int GetFEChannel();
    int MeasureDelay();
    static float CalcRMS(CWaveFileReader& reader, int channel, std::uint32_t offset, std::uint32_t count);
    int CalcEchoReduction(const std::string& path, double& lms, double& total);
    int CalcResidualEcho(const std::string& path, double& residual);
    int TestEchoReduction(const IDataFolder& folder, double& lms, double& total);
    int TestResidualEcho(const IDataFolder& folder, double& residual);
    static bool WaveOpen(std::unique_ptr<CWaveFileReader>& reader, const std::string& path);
    static void ReportReadBeyondEOF(const std::string& file, const std::string& function);
    static void ReportReadError(const std::string& file);

    // Set by the dialog before Start.
    std::string m_recordFile;
    std::string m_playFile;
    std::string m_waveInName;
    std::string m_waveOutName;
    int m_testMode = AUDIO_MODE_NONE;
    // Recorded seconds from which each block is preceded by a stage mark; none until set.
    std::atomic<double> m_markSeconds{std::numeric_limits<double>::infinity()};

    // Run flags, read afresh at every turn of the threads' loops.
    std::atomic<int> m_micRunning{0};
    std::atomic<int> m_speakerRunning{0};

    // Settled by Start before the threads run.
    int m_waveInId = -1;
    int m_waveOutId = -1;
    // The identities of the devices found (see platform::WaveDeviceRef).
    std::string m_waveInKey;
    std::string m_waveOutKey;
    int m_sampleRate = 16000;
    int m_recordChannels = 1;
    platform::INotifyTarget* m_hNotifyWnd = nullptr;

    // Copy of the latest recorded block, written by the microphone thread only.
    std::array<std::uint8_t, kLastBlockBytes> m_lastBlock{};

    std::unique_ptr<CWaveFileWriter> m_pRecordWriter;
    CWaveFileReader m_playReader;
    std::unique_ptr<CWaveFileReader> m_pAnalysisReader;

    // How the threads of the last run ended (0 while running or before any run).
    std::atomic<int> m_speakerExitCode{0};
    std::atomic<int> m_micExitCode{0};

private:
    void post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
              std::shared_ptr<const void> payload = nullptr);
    bool startThread(std::unique_ptr<platform::WorkerThread>& thread, int (*routine)(CWizardAudio*),
                     std::atomic<int>& exitCode);
    // Clears both run flags and wakes both threads from their waits.
    void RequestStop();
    // Adds what a device of the run lost, and names the loss as the recording's fault.
    void NoteLosses(const platform::WaveStreamCounters& lost, bool playing);
    // Joins the threads of an earlier run; false when one of them is still running.
    bool joinThreads(std::uint32_t micTimeoutMs, std::uint32_t speakerTimeoutMs);

    platform::IWaveDevices& m_devices;
    mutable std::mutex m_faultMutex;
    std::string m_recordingFault;
    platform::WaveStreamCounters m_losses;  // guarded by m_faultMutex
    // Signalled by RequestStop, cleared by Start: the threads wait on it beside their devices.
    platform::Event m_stopEvent{platform::Event::Reset::Manual, false};
    // The mode of the running run, taken from m_testMode by Start: the dialog may write
    // m_testMode for its next run while the threads run.
    int m_runMode = AUDIO_MODE_NONE;
    std::string m_runRecordFile;  // the recording of the running run, for its fault text
    std::unique_ptr<platform::WorkerThread> m_pMicThread;
    std::unique_ptr<platform::WorkerThread> m_pSpeakerThread;
};
