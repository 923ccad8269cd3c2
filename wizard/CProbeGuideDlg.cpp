#include "wizard/CProbeGuideDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QTextDocument>
#include <QTimer>

#include "platform/DeviceChanges.h"
#include "ui_CProbeGuideDlg.h"
#include "wizard/Artwork.h"
#include "wizard/CRegHelper.h"
#include "wizard/GuiMessageBoxHandler.h"

namespace {

// Font faces of the dialog: Arial, or the metric-compatible face that stands in for it.
const QStringList kArialFaces{"Arial", "Liberation Sans"};

QFont arialFont(int pixelHeight, int weight) {
    QFont font;
    font.setFamilies(kArialFaces);
    font.setPixelSize(pixelHeight);
    font.setWeight(static_cast<QFont::Weight>(weight));
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

std::string withSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

}  // namespace

// Hands the audio engine's messages to the GUI thread in posting order. Each run of the engine
// gets a tag; a message is stamped with the tag of the run that was current when it was
// posted and is dropped on arrival when that run has been stopped since.
class CProbeGuideDlg::AudioMessagePump final : public platform::INotifyTarget {
public:
    explicit AudioMessagePump(CProbeGuideDlg& dialog) : m_dialog(dialog) {}

    void post(platform::NotifyMessage message) override {
        std::lock_guard lock(m_mutex);
        if (m_closed) {
            return;
        }
        const int tag = m_postingTag;
        // The lambda keeps the message, and with it the payload, alive until it is handled.
        QMetaObject::invokeMethod(
            &m_dialog,
            [this, tag, message = std::move(message)] {
                if (tag == m_acceptedTag) {
                    m_dialog.OnNotifyMessage(message);
                }
            },
            Qt::QueuedConnection);
    }

    // A new run: its messages are accepted until endRun. Called on the GUI thread before the
    // engine's threads start.
    int beginRun() {
        std::lock_guard lock(m_mutex);
        m_postingTag = ++m_lastTag;
        m_acceptedTag = m_postingTag;
        return m_postingTag;
    }

    // The run is over: what it posted and is still queued gets dropped.
    void endRun() { m_acceptedTag = 0; }

    // No more posts reach the dialog (it is going).
    void close() {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_acceptedTag = 0;
    }

private:
    CProbeGuideDlg& m_dialog;
    std::mutex m_mutex;
    bool m_closed = false;
    int m_lastTag = 0;
    int m_postingTag = 0;
    int m_acceptedTag = 0;  // read and set on the GUI thread only
};

CProbeGuideDlg::CProbeGuideDlg(WizardServices& services, QWidget* parent)
    : QDialog(parent),
      m_services(services),
      m_ui(std::make_unique<Ui::CProbeGuideDlg>()),
      m_titleFont(arialFont(32, 900)),
      m_textFont(arialFont(20, 500)),
      m_audio(services.waveDevices),
      m_endpoints(services.endpoints),
      m_hidProtocol(services.hidBus),
      m_pump(std::make_unique<AudioMessagePump>(*this)) {
    m_ui->setupUi(this);
    // The template's font: MS Sans Serif 10 pt, drawn with the Arial metrics of its stand-in.
    setFont(arialFont(13, 400));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(size());

    m_levelLow = m_ui->IDC_1000;
    m_levelHigh = m_ui->IDC_1002;
    m_pageIcon = m_ui->IDC_1011;
    m_recordingGroup = m_ui->IDC_1010;
    m_playbackGroup = m_ui->IDC_1013;
    m_micSlider = m_ui->IDC_1005;
    m_speakerSlider = m_ui->IDC_1007;
    m_actionButton = m_ui->IDC_1001;
    m_secondActionButton = m_ui->IDC_1006;
    m_backButton = m_ui->IDC_1004;
    m_nextButton = m_ui->IDC_1003;
    m_exitButton = m_ui->IDC_1014;
    m_resultPicture = m_ui->IDC_1012;
    m_nameEdit = m_ui->IDC_1019;
    m_emailEdit = m_ui->IDC_1020;
    m_commentsEdit = m_ui->IDC_1021;
    m_delayEdit = m_ui->IDC_1026;
    m_delayLabel = m_ui->IDC_1027;
    m_nameLabel = m_ui->IDC_1016;
    m_emailLabel = m_ui->IDC_1017;
    m_commentsLabel = m_ui->IDC_1018;
    m_loopbackCheck = m_ui->IDC_1022;
    m_playbackDeviceCombo = m_ui->IDC_1023;
    m_measureDelayRadio = m_ui->IDC_1024;
    m_manualDelayRadio = m_ui->IDC_1025;
    m_eraseDelayRadio = m_ui->IDC_1028;
    m_keepDelayRadio = m_ui->IDC_1029;
    m_setDelayButton = m_ui->IDC_1030;
    m_presencePicture = m_ui->IDC_1031;

    m_delayEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), m_delayEdit));
    m_ui->IDC_1009->installEventFilter(this);

    m_recordLimitTimer = new QTimer(this);
    m_redetectTimer = new QTimer(this);
    for (auto [timer, id] :
         {std::pair{m_recordLimitTimer, TIMER_RECORD_LIMIT}, {m_redetectTimer, TIMER_REDETECT}}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, id = id] { OnTimer(id); });
    }

    // The message map.
    connect(m_actionButton, &QPushButton::clicked, this, [this] { OnActionButton(); });
    connect(m_secondActionButton, &QPushButton::clicked, this, [this] { OnSecondActionButton(); });
    connect(m_nextButton, &QPushButton::clicked, this, [this] { OnNext(); });
    connect(m_backButton, &QPushButton::clicked, this, [this] { OnBack(); });
    connect(m_exitButton, &QPushButton::clicked, this, [this] { OnExitWithoutSaving(); });
    connect(m_ui->IDC_1015, &QPushButton::clicked, this, [this] { OnSecretTest(); });
    connect(m_playbackDeviceCombo, &QComboBox::activated, this, [this] { OnPlaybackDeviceChange(); });
    connect(m_measureDelayRadio, &QRadioButton::clicked, this, [this] { OnMeasureDelay(); });
    connect(m_manualDelayRadio, &QRadioButton::clicked, this, [this] { OnSetDelayManually(); });
    connect(m_eraseDelayRadio, &QRadioButton::clicked, this, [this] { OnEraseDelay(); });
    connect(m_keepDelayRadio, &QRadioButton::clicked, this, [this] { OnKeepDelay(); });
    connect(m_setDelayButton, &QPushButton::clicked, this, [this] { OnSetDelay(); });
    connect(m_ui->IDOK, &QPushButton::clicked, this, [this] {
        UpdateData(true);
        accept();
    });
    // A scroll by the user reaches OnVScroll once the slider has taken its new value.
    for (QSlider* slider : {m_micSlider, m_speakerSlider}) {
        connect(
            slider, &QSlider::actionTriggered, this, [this, slider] { OnVScroll(slider); },
            Qt::QueuedConnection);
    }

    if (m_services.deviceChanges != nullptr) {
        m_services.deviceChanges->setListener([this](std::uintptr_t event) {
            QMetaObject::invokeMethod(
                this, [this, event] { OnDeviceChange(event, 0); }, Qt::QueuedConnection);
        });
    }

    m_hIcon = LoadArtworkIcon("app");
}

CProbeGuideDlg::~CProbeGuideDlg() {
    if (m_services.deviceChanges != nullptr) {
        m_services.deviceChanges->setListener({});
    }
    EndRunningWork();
    // The engine's threads post to the pump: stop them before the pump goes.
    StopAudio();
    m_pump->close();
}

platform::INotifyTarget& CProbeGuideDlg::notifyTarget() {
    return *m_pump;
}

int CProbeGuideDlg::StartAudio() {
    m_pump->beginRun();
    return m_audio.Start(m_pump.get());
}

void CProbeGuideDlg::StopAudio() {
    GuiMessageBoxHandler::runServingBoxes([this] { m_audio.Stop(); });
    m_pump->endRun();
}

void CProbeGuideDlg::OnNotifyMessage(const platform::NotifyMessage& message) {
    if (message.message == WM_AUDIO_DONE) {
        OnAudioDone(message.wParam, message.lParam);
    } else if (message.message == WM_AUDIO_LEVEL) {
        OnAudioLevel(message.wParam, message.lParam);
    }
}

void CProbeGuideDlg::SetTimer(int id, int ms) {
    QTimer* timer = id == TIMER_RECORD_LIMIT ? m_recordLimitTimer
                    : id == TIMER_REDETECT   ? m_redetectTimer
                                             : nullptr;
    if (timer != nullptr) {
        timer->start(ms);
    }
}

void CProbeGuideDlg::KillTimer(int id) {
    QTimer* timer = id == TIMER_RECORD_LIMIT ? m_recordLimitTimer
                    : id == TIMER_REDETECT   ? m_redetectTimer
                                             : nullptr;
    if (timer != nullptr) {
        timer->stop();
    }
}

bool CProbeGuideDlg::UpdateData(bool saveAndValidate) {
    struct Exchange {
        std::string& member;
        QLabel* label;
        QLineEdit* edit;
        bool typedStays;  // what the user typed since the field was filled is kept
    };
    const Exchange exchanges[] = {
        {m_title, m_ui->IDC_1008, nullptr, false},     {m_instructions, m_ui->IDC_1009, nullptr, false},
        {m_userName, nullptr, m_nameEdit, true},       {m_userEmail, nullptr, m_emailEdit, true},
        {m_speakerDelay, nullptr, m_delayEdit, false},
    };
    for (const auto& e : exchanges) {
        if (saveAndValidate || (e.typedStays && e.edit->isModified())) {
            e.member = (e.label != nullptr ? e.label->text() : e.edit->text()).toStdString();
        } else if (e.label != nullptr) {
            e.label->setText(QString::fromStdString(e.member));
        } else if (e.edit->text().toStdString() != e.member) {
            e.edit->setText(QString::fromStdString(e.member));
        }
    }
    if (saveAndValidate || m_commentsEdit->document()->isModified()) {
        m_comments = m_commentsEdit->toPlainText().toStdString();
    } else if (m_commentsEdit->toPlainText().toStdString() != m_comments) {
        m_commentsEdit->setPlainText(QString::fromStdString(m_comments));
        m_commentsEdit->document()->setModified(false);
    }
    if (!saveAndValidate && m_emailing) {
        ShowEmailingState();
    }
    fitLabelFont(m_ui->IDC_1008, m_titleFont);
    fitLabelFont(m_ui->IDC_1009, m_textFont);
    updateInstructionsColour();
    return true;
}

void CProbeGuideDlg::fitLabelFont(QLabel* label, const QFont& font) {
    // A text longer than its label is drawn smaller rather than cut off.
    QFont fitted = font;
    const QRect room = label->contentsRect();
    const int flags = int(label->alignment()) | (label->wordWrap() ? int(Qt::TextWordWrap) : 0);
    while (fitted.pixelSize() > 12) {
        const QRect needed = QFontMetrics(fitted).boundingRect(room, flags, label->text());
        if (needed.height() <= room.height() && needed.width() <= room.width()) {
            break;
        }
        fitted.setPixelSize(fitted.pixelSize() - 1);
    }
    if (label->font() != fitted) {
        label->setFont(fitted);
    }
}

void CProbeGuideDlg::updateInstructionsColour() {
    // The instructions are red on the echo page and black elsewhere.
    QLabel* instructions = m_ui->IDC_1009;
    const QColor wanted = m_page == PAGE_ECHO_TEST ? QColor(255, 0, 0) : QColor(0, 0, 0);
    if (instructions->palette().color(QPalette::WindowText) != wanted) {
        QPalette palette = instructions->palette();
        palette.setColor(QPalette::WindowText, wanted);
        instructions->setPalette(palette);
    }
}

bool CProbeGuideDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_ui->IDC_1009 && event->type() == QEvent::Paint) {
        updateInstructionsColour();
    }
    return QDialog::eventFilter(watched, event);
}

bool CProbeGuideDlg::OnInitDialog() {
    // The window menu: a separator, then the device information and the About box.
    m_systemMenu = new QMenu(this);
    m_systemMenu->addAction(tr("&Close"), this, [this] { reject(); });
    m_systemMenu->addSeparator();
    m_systemMenu->addAction("About Device ...", this, [this] { OnSysCommand(IDM_DEVICE_INFO); })
        ->setData(IDM_DEVICE_INFO);
    m_systemMenu->addAction("&About Quenlor's Probe Guide...", this, [this] { OnSysCommand(IDM_ABOUTBOX); })
        ->setData(IDM_ABOUTBOX);
    AppendWindowMenu();
    setWindowIcon(m_hIcon);
    m_presentBitmap = LoadArtwork("present", m_presencePicture->size());
    m_absentBitmap = LoadArtwork("absent", m_presencePicture->size());
    // Absent until a detection finds the unit.
    m_presencePicture->setPixmap(m_absentBitmap);

    m_ui->IDC_1008->setFont(m_titleFont);
    for (QWidget* w : std::initializer_list<QWidget*>{
             m_ui->IDC_1009,    m_recordingGroup,      m_playbackGroup,      m_nameEdit,
             m_emailEdit,       m_commentsEdit,        m_nameLabel,          m_emailLabel,
             m_commentsLabel,   m_playbackDeviceCombo, m_measureDelayRadio,  m_manualDelayRadio,
             m_eraseDelayRadio, m_keepDelayRadio,      m_delayLabel,         m_delayEdit,
             m_setDelayButton,  m_actionButton,        m_secondActionButton, m_backButton,
             m_nextButton,      m_exitButton}) {
        w->setFont(m_textFont);
    }

    m_totalEchoDb = 0.0;
    m_lmsEchoDb = 0.0;
    m_defaultVolumesRequested = false;
    m_echoVerdict = VERDICT_NONE;

    // Position 0 is the top of a slider: the loudest volume.
    m_micSlider->setRange(0, 65535);
    m_micSlider->setValue(65535);
    m_micSlider->setTickInterval(8191);
    m_micSlider->setSingleStep(1);
    m_micSlider->setPageStep(10922);
    m_speakerSlider->setRange(0, 24);
    m_speakerSlider->setValue(24);
    m_speakerSlider->setTickInterval(3);
    m_speakerSlider->setSingleStep(1);
    m_speakerSlider->setPageStep(4);

    m_installDir = m_services.defaultInstallDir;
    m_dataDir = m_services.defaultDataDir;
    {
        CRegHelper settings;
        settings.SetRoot(HKEY_CURRENT_USER);
        if (settings.OpenKey("Software\\Kestu\\Quenlor Probe Guide")) {
            settings.GetString("User Name", m_userName);
            settings.GetString("User Email", m_userEmail);
            settings.GetString("Install Directory", m_installDir);
            settings.GetString("Data Directory", m_dataDir);
        }
    }
    // Names are appended to the folders directly.
    m_installDir = withSlash(m_installDir);
    m_dataDir = withSlash(m_dataDir);
    // Recordings that a process which no longer runs left unfinished.
    CWaveFileWriter::RemoveStaleTemporaries(m_dataDir + "WaveFiles");

    m_page = PAGE_WELCOME;
    m_micVolume = 12;
    m_speakerVolume = 12;

    m_passBitmap = LoadArtwork("pass", m_resultPicture->size());
    m_failBitmap = LoadArtwork("fail", m_resultPicture->size());
    m_resultPicture->setVisible(false);

    DetectDevice();

    m_levelLow->setRange(56, 83);
    m_levelHigh->setRange(84, 90);
    m_levelLow->reset();
    m_levelHigh->reset();
    m_levelHigh->raise();
    m_levelLow->setStyleSheet(meterStyle("meter-low"));
    m_levelHigh->setStyleSheet(meterStyle("meter-high"));

    m_loopbackCheck->setChecked(false);
    FillPlaybackDevices();
    m_measureDelayRadio->setChecked(true);
    m_delayEdit->setEnabled(false);

    m_playing = false;
    m_unitId.clear();
    return true;
}

QString CProbeGuideDlg::meterStyle(const QString& artwork) {
    // The bar is drawn from our artwork; the frame is a plain bordered trough.
    return QStringLiteral(
               "QProgressBar { border: 1px solid #7a7a7a; background: #f0f0f0; }"
               "QProgressBar::chunk { border-image: url(%1) 0 0 0 0 stretch stretch; }")
        .arg(ArtworkPath(artwork));
}

void CProbeGuideDlg::OnExitWithoutSaving() {
    accept();
}

void CProbeGuideDlg::EndRunningWork() {
    AbortEmail();
    AbortEchoTest();
    KillTimer(TIMER_RECORD_LIMIT);
    if (m_loopbackOn) {
        StopAudio();
        UndoLoopback();
    }
}

void CProbeGuideDlg::done(int result) {
    EndRunningWork();
    QDialog::done(result);
}
