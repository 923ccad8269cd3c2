// The hidden service button: the echo figures of the last test with their limits, the loopback
// check box of the microphone page, or both echo analyses of any WAV file.

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QStringList>
#include <algorithm>
#include <initializer_list>

#include "audio/EchoFigures.h"

#include "mail/MailText.h"
#include "platform/MessageBox.h"
#include "wizard/CProbeGuideDlg.h"

namespace {

constexpr const char* kResultsCaption = "Echo Test Results";
constexpr const char* kAnalysisFile = "WaveFiles/Echo_Test.wav";
constexpr const char* kAnalysisFilter = "wav files (*.wav);;All Files (*.*)";

// The pass limits the texts print: LMS and total echo reduction, residual echo.
constexpr double kLmsLimitDb = 0.0;
constexpr double kTotalLimitDb = 30.0;
constexpr double kResidualLimitDb = -45.0;

// printf's "%5.1f" with a point whatever the user's locale.
std::string db(double value) {
    return mailtext::formatFixed(value, 5, 1);
}

// A figure with its unit; said in words when the file is too short for its windows. A figure
// made from a silent window (-1000 dB) is a figure like any other.
std::string figure(double value, bool fits) {
    return fits ? db(value) + " dB" : "not measured, the file is too short";
}

std::string reductionLines(double lms, double total, bool fits = true) {
    return "\tLMS: \t" + figure(lms, fits) + ",  Limit is " + db(kLmsLimitDb) + " dB\n\tTotal: \t" +
           figure(total, fits) + ",\tLimit is " + db(kTotalLimitDb) + " dB";
}

}  // namespace

std::string CProbeGuideDlg::ChooseAnalysisFile(const std::string& initialFile, const std::string& filter) {
    QFileDialog dialog(nullptr);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(QString::fromStdString(filter).split(";;"));
    dialog.setDefaultSuffix("wav");
    dialog.selectFile(QString::fromStdString(initialFile));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().first().toStdString();
}

void CProbeGuideDlg::OnSecretTest() {
    if (m_page == PAGE_ECHO_TEST && m_echoVerdict >= VERDICT_FAIL) {
        m_hidProtocol.Connect(-1, false, true);
        ReselectSpeaker();
        const std::string product = m_hidProtocol.GetProductName();
        int verdict = VERDICT_FAIL;
        std::string text;
        if (m_hidProtocol.m_protocolVersion >= kEchoStageProtocolLevel) {
            verdict = m_audio.TestEchoReduction(*this, m_lmsEchoDb, m_totalEchoDb);
            text = "Echo Reduction for the connected " + product + ":\n" +
                   reductionLines(m_lmsEchoDb, m_totalEchoDb);
        } else {
            verdict = m_audio.TestResidualEcho(*this, m_totalEchoDb);
            text = "Residual Echo for the connected " + product + " is " + db(m_totalEchoDb) +
                   "dB.  Limit is " + db(kResidualLimitDb) + "dB    ";
        }
        // The picture follows this reading; the test's own verdict stays.
        m_resultPicture->setPixmap(verdict == VERDICT_PASS ? m_passBitmap : m_failBitmap);
        platform::showMessageBox(kResultsCaption, text, platform::mb::kIconInformation);
        return;
    }
    if (m_page == PAGE_MICROPHONE_TEST && m_hidProtocol.IsLoopbackModel()) {
        m_loopbackCheck->setVisible(true);
        return;
    }
    const std::string path = m_chooseAnalysisFile(m_dataDir + kAnalysisFile, kAnalysisFilter);
    if (path.empty()) {
        return;
    }
    // A file that cannot be opened gets the box that says so, and no figures.
    std::unique_ptr<CWaveFileReader> reader;
    if (!CWizardAudio::WaveOpen(reader, path)) {
        return;
    }
    // The windows of each analysis must lie within the sound the file holds.
    const int rate = static_cast<int>(reader->m_pFormat->samplesPerSec);
    const std::uint64_t channelBytes =
        reader->m_dataSize / std::max<std::uint16_t>(reader->m_pFormat->channels, 1);
    reader.reset();
    const auto fits = [&](std::initializer_list<echo_figures::Window> windows) {
        return std::all_of(windows.begin(), windows.end(), [&](const echo_figures::Window& w) {
            return std::uint64_t{echo_figures::channelBytes(w.startSeconds, rate)} +
                       echo_figures::channelBytes(w.lengthSeconds, rate) <=
                   channelBytes;
        });
    };
    const bool reductionFits = fits({echo_figures::kWindowA, echo_figures::kWindowB, echo_figures::kWindowC});
    const bool residualFits = fits({echo_figures::kWindowR});
    if (reductionFits) {
        m_audio.CalcEchoReduction(path, m_lmsEchoDb, m_totalEchoDb);
    }
    const std::string newUnits = "\n\r For new units, Echo Reduction is:\n" +
                                 reductionLines(m_lmsEchoDb, m_totalEchoDb, reductionFits) + "\n\r";
    if (residualFits) {
        m_audio.CalcResidualEcho(path, m_totalEchoDb);
    }
    const std::string oldUnits = "\n\r For old units, Residual Echo is " +
                                 figure(m_totalEchoDb, residualFits) + ",  Limit is " + db(kResidualLimitDb) +
                                 " dB             ";
    platform::showMessageBox(kResultsCaption, newUnits + oldUnits, platform::mb::kIconInformation);
}
