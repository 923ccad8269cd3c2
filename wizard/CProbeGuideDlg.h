#pragma once

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/AudioEndpoints.h"
#include "audio/CWizardAudio.h"
#include "audio/IDataFolder.h"
#include "device/HIDProtocol.h"
#include "platform/Notify.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimer;
class QToolButton;
class CRegHelper;

namespace Ui {
class CProbeGuideDlg;
}

namespace platform {
class IAudioEndpoints;
class IDeviceChanges;
class IHidBus;
class IWaveDevices;
}  // namespace platform

// The wizard's pages; a run started from a page uses the page number as its AudioMode.
enum WizardPage {
    PAGE_WELCOME = 0,
    PAGE_SPEAKER_TEST = 1,
    PAGE_MICROPHONE_TEST = 2,
    PAGE_RECORDING = 3,
    PAGE_PLAYING_RECORDING = 4,
    PAGE_ECHO_TEST = 5,
    PAGE_LISTENING_ECHO = 6,
    PAGE_FINISH = 7,
};

// Sub-step of the echo test.
enum EchoStep {
    ECHO_STEP_NONE = 0,
    ECHO_STEP_FAR_END = 1,
    ECHO_STEP_DELAY = 2,
    ECHO_STEP_ECHO = 3,
};

enum EchoVerdict {
    VERDICT_NONE = -1,
    VERDICT_FAIL = 0,
    VERDICT_PASS = 1,
};

// Units of this protocol level or more have the echo canceller's stage switches and are judged
// by their echo reduction; older ones by their residual echo.
inline constexpr int kEchoStageProtocolLevel = 6;

// The dialog's timers.
inline constexpr int TIMER_RECORD_LIMIT = 1;
inline constexpr int kRecordLimitMs = 5000;
inline constexpr int TIMER_REDETECT = 2;
inline constexpr int kRedetectMs = 300;

// WM_AUDIO_SETUP_NOTIFY (device/HidViewerRecord.h) goes to the sibling setup program's window.
inline constexpr const char* kAudioSetupWindowTitle = "Quenlor Audio Setup";

// Commands of the window menu.
inline constexpr int IDM_ABOUTBOX = 16;
inline constexpr int IDM_DEVICE_INFO = 32;

// Unit command words the wizard's actions send by role; ss is a unit switch.
inline constexpr std::uint16_t SWITCH_READ = 0x8000;  // + ss; reply bit 0x200 set: the switch is on
inline constexpr std::uint16_t SWITCH_ON = 0x8600;    // + ss
inline constexpr std::uint16_t SWITCH_OFF = 0x8400;   // + ss
inline constexpr std::uint16_t CMD_STORE_PARAMETERS = 0xB102;
inline constexpr std::uint16_t CMD_STORE_SETTINGS = 0xB100;
inline constexpr std::uint32_t kCommandTimeoutMs = 1000;

// What the wizard runs on: the machine's HID devices, audio endpoints and wave devices, or
// the simulated unit's. Chosen once at start-up and handed to the dialog by reference.
struct WizardServices {
    platform::IHidBus& hidBus;
    platform::IAudioEndpoints* endpoints = nullptr;
    platform::IWaveDevices& waveDevices;
    platform::IDeviceChanges* deviceChanges = nullptr;
    // The folders used when the settings name none; both end with '/'.
    std::string defaultInstallDir;
    std::string defaultDataDir;
};

// The wizard: one modal dialog whose current page decides what its controls show and what
// its buttons do. It owns the audio engine, the endpoint finder and the device link.
//
// Every handler runs on the GUI thread. The audio engine's threads reach the dialog only
// through the messages they post (WM_AUDIO_DONE, WM_AUDIO_LEVEL), which are handed to the
// GUI thread in posting order.
//
// The members mirror the dialog's state and are public so that tests can read them.
class CProbeGuideDlg : public QDialog, public IDataFolder {
    Q_OBJECT

public:
    explicit CProbeGuideDlg(WizardServices& services, QWidget* parent = nullptr);
    ~CProbeGuideDlg() override;

    std::string dataDirectory() const override { return m_dataDir; }

    // --- Frame ---
    // The steps of the dialog's start-up; called once after construction, before exec().
    bool OnInitDialog();
    // true: controls to members; false: members to controls.
    bool UpdateData(bool saveAndValidate);
    void OnExitWithoutSaving();
    // The messages the audio engine posts, dispatched on the GUI thread.
    void OnNotifyMessage(const platform::NotifyMessage& message);
    platform::INotifyTarget& notifyTarget();
    // Single-shot dialog timers by id (TIMER_RECORD_LIMIT, TIMER_REDETECT).
    void SetTimer(int id, int ms);
    void KillTimer(int id);
    // Start and stop the audio engine for the dialog. Every run gets a new tag; messages that a
    // stopped run posted are dropped on arrival, so a late WM_AUDIO_DONE never ends the next run.
    int StartAudio();
    void StopAudio();

    // --- Pages, navigation and re-detection ---
    int ShowPage();
    void OnNext();
    void OnBack();
    void DetectDevice();
    // Event codes: 7 nodes changed, 0x8000 arrival, 0x8004 removal complete. Returns 1.
    long OnDeviceChange(std::uintptr_t event, std::intptr_t data);
    void OnTimer(int id);
    void NotifyAudioSetup();
    // Next on the finish page: stores the volumes for the setup program, asks the unit to keep
    // its settings, and ends the dialog.
    void SaveSettingAndExit();
    // The microphone page with its level monitoring, reached by Next or Back.
    void EnterMicrophonePage();
    // Every Next and Back ends here: both action buttons enabled, the page laid out.
    void EndNavigation();

    // --- Volumes and playback device ---
    void OnVScroll(QSlider* slider);
    void LoadVolumes();
    void SetDefaultVolumes();
    void FillPlaybackDevices();
    void OnPlaybackDeviceChange();
    void ReselectSpeaker();

    // --- Window menu ---
    // Linux desktops give a dialog no system menu of its own: a small menu button at the
    // dialog's top right, in the title row, opens m_systemMenu. OnInitDialog calls this once
    // after building the menu.
    void AppendWindowMenu();
    // Window-menu commands: IDM_ABOUTBOX, IDM_DEVICE_INFO; any other id does nothing.
    void OnSysCommand(int id);
    QToolButton* m_windowMenuButton = nullptr;

    // --- Test actions ---
    void OnActionButton();
    void OnSecondActionButton();
    // Undoes the microphone test's Ethernet loopback when Record switched it on, whatever the
    // check box says now; every way out of a recording calls it.
    void UndoLoopback();
    // Every way out of a recording: the record limit off, the run stopped, the loopback undone.
    // A whole recording is kept; one that failed is not, and when tellFault a box says why
    // (the run that could not start has shown its own).
    void EndRecording(bool tellFault = true);
    bool m_loopbackOn = false;
    // A microphone recording has been kept since the dialog opened: Playback and the results
    // e-mail use MicRecorded.wav only then, never one left by an earlier session.
    bool m_micRecordingKept = false;

    // --- Echo test, level meter and verdict ---
    // The page-5 branch of OnActionButton, and the page-5 end of a run in OnAudioDone.
    void StartEchoRun();
    void FinishEchoRun();
    // Every way out of a running echo test ends here: the run stopped and the unit left as a
    // finished test leaves it. Does nothing when no test is running.
    void AbortEchoTest();
    // The end of the dialog: a sending in progress aborted (never reported as sent), a running
    // echo test or loopback recording ended as its own Stop ends it.
    void EndRunningWork();
    // Why the run that has just ended cannot be measured (the unit stopped answering, the
    // recording is not whole), naming the cause and the file; empty when it can.
    std::string MeasurementFault();
    // The unit is in the state the echo test sets, from its first switch command until the
    // test ends and restores it.
    bool m_echoTestActive = false;
    // The stage switches 0x01 and 0x06 that the test switched on and no stage mark has switched
    // off since: the end of the test switches them off.
    bool m_switch01On = false;
    bool m_switch06On = false;
    long OnAudioDone(std::uintptr_t wParam, std::intptr_t lParam);
    // wParam: address of the recorded block's first byte; lParam: its byte count, or negative
    // for the stage mark.
    long OnAudioLevel(std::uintptr_t wParam, std::intptr_t lParam);
    // Bytes of the echo run recorded so far, and of its latest block, counted from the level
    // messages: a stage mark that the recording has not reached (one posted before the
    // previous mark was handled) is dropped.
    std::uint64_t m_echoRecordedBytes = 0;
    std::uint64_t m_echoBlockBytes = 0;

    // --- Speaker-delay controls ---
    void ReadSpeakerDelay();
    void OnSetDelay();
    void OnMeasureDelay();
    void OnSetDelayManually();
    void OnEraseDelay();
    void OnKeepDelay();

    // --- Results box and file analysis ---
    void OnSecretTest();
    // Asks for the WAV file to analyse, starting at initialFile and offering the filter (Qt
    // syntax); returns the chosen path, empty when cancelled. Tests replace it.
    using AnalysisFileChooser =
        std::function<std::string(const std::string& initialFile, const std::string& filter)>;
    static std::string ChooseAnalysisFile(const std::string& initialFile, const std::string& filter);
    AnalysisFileChooser m_chooseAnalysisFile = &CProbeGuideDlg::ChooseAnalysisFile;

    // --- Results e-mail ---
    void OnEmailResults();
    // Takes the page's texts and the device block (which asks the unit) on the GUI thread and
    // starts a worker that remembers the name and address, reads the mail settings and the
    // recordings, and sends the message; OnEmailSent follows with the result. 1: started.
    int SendResultsEmail();
    // The end of a sending, on the GUI thread: the page says whether the message went.
    void OnEmailSent(int sent);
    // Ends a sending in progress without a word: its connection is shut down and the worker
    // waited for.
    void AbortEmail();
    bool IsEmailing() const { return m_emailing; }
    // A box naming the settings file that could not be written; nothing when all went in.
    void ReportUnsavedSettings(const CRegHelper& settings);

    WizardServices& m_services;
    std::unique_ptr<Ui::CProbeGuideDlg> m_ui;

    // Members in the order the dialog declares them.
    QIcon m_hIcon;
    QFont m_titleFont;
    QFont m_textFont;
    QProgressBar* m_levelLow = nullptr;   // 1000
    QProgressBar* m_levelHigh = nullptr;  // 1002
    std::string m_title;                  // 1008
    std::string m_instructions;           // 1009
    std::string m_unitId;
    QLabel* m_pageIcon = nullptr;                 // 1011
    QGroupBox* m_recordingGroup = nullptr;        // 1010
    QGroupBox* m_playbackGroup = nullptr;         // 1013
    QSlider* m_micSlider = nullptr;               // 1005
    QSlider* m_speakerSlider = nullptr;           // 1007
    QPushButton* m_actionButton = nullptr;        // 1001
    QPushButton* m_secondActionButton = nullptr;  // 1006
    QPushButton* m_backButton = nullptr;          // 1004
    QPushButton* m_nextButton = nullptr;          // 1003
    QPushButton* m_exitButton = nullptr;          // 1014
    QRadioButton* m_measureDelayRadio = nullptr;  // 1024
    QRadioButton* m_eraseDelayRadio = nullptr;    // 1028
    QRadioButton* m_keepDelayRadio = nullptr;     // 1029
    QRadioButton* m_manualDelayRadio = nullptr;   // 1025
    QPushButton* m_setDelayButton = nullptr;      // 1030
    QComboBox* m_playbackDeviceCombo = nullptr;   // 1023
    int m_page = PAGE_WELCOME;
    int m_echoStep = ECHO_STEP_NONE;
    std::string m_playbackDevice;
    CWizardAudio m_audio;
    CAudioEndpoints m_endpoints;
    CHIDProtocol m_hidProtocol;
    bool m_mixerOnly = false;
    bool m_playing = false;
    bool m_defaultVolumesRequested = false;
    bool m_devicePresent = false;
    int m_echoVerdict = VERDICT_NONE;
    double m_totalEchoDb = 0.0;
    double m_lmsEchoDb = 0.0;
    double m_levelDb = 0.0;
    int m_micVolume = 12;
    int m_speakerVolume = 12;
    int m_savedState15 = -1;
    int m_savedState0E = -1;
    int m_farEndCode = 31;
    QLabel* m_resultPicture = nullptr;  // 1012
    QPixmap m_passBitmap;
    QPixmap m_failBitmap;
    std::string m_installDir;
    std::string m_dataDir;
    QLabel* m_nameLabel = nullptr;             // 1016
    QLabel* m_emailLabel = nullptr;            // 1017
    QLabel* m_commentsLabel = nullptr;         // 1018
    QLineEdit* m_nameEdit = nullptr;           // 1019
    QLineEdit* m_emailEdit = nullptr;          // 1020
    QPlainTextEdit* m_commentsEdit = nullptr;  // 1021
    QLineEdit* m_delayEdit = nullptr;          // 1026
    QLabel* m_delayLabel = nullptr;            // 1027
    std::string m_userName;
    std::string m_userEmail;
    std::string m_comments;
    std::string m_speakerDelay;
    QPixmap m_presentBitmap;
    QPixmap m_absentBitmap;
    QLabel* m_presencePicture = nullptr;   // 1031
    QCheckBox* m_loopbackCheck = nullptr;  // 1022
    // The window menu built by OnInitDialog: "&Close", a separator, "About Device ..." (data
    // IDM_DEVICE_INFO) and "&About Quenlor's Probe Guide..." (data IDM_ABOUTBOX).
    QMenu* m_systemMenu = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Every end of the dialog (Escape, the window's close button, the exit buttons) first ends
    // a running test the way the test's own Stop does, and aborts a sending in progress.
    void done(int result) override;

private:
    class AudioMessagePump;
    class ResultsEmailJob;
    // While a message is sent, every layout keeps "Emailing ..." and the page's buttons off.
    void ShowEmailingState();
    void updateInstructionsColour();
    static void fitLabelFont(QLabel* label, const QFont& font);
    static QString meterStyle(const QString& artwork);

    std::unique_ptr<AudioMessagePump> m_pump;
    QTimer* m_recordLimitTimer = nullptr;
    QTimer* m_redetectTimer = nullptr;
    bool m_emailing = false;
    std::shared_ptr<ResultsEmailJob> m_emailJob;
};
