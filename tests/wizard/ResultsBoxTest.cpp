// The service button: the results box with the echo figures and their limits, the loopback check
// box, and the analysis of a chosen WAV file, with the texts compared byte for byte.
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QTimer>
#include <cstdarg>
#include <filesystem>

#include "tests/wizard/EchoTestSupport.h"

namespace {

std::string cFormat(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

class ResultsBox : public EchoFixture {
protected:
    // An echo recording in the data folder, as a finished test leaves it.
    std::string placeEchoRecording() {
        const std::string path = dlg->m_dataDir + "WaveFiles/Echo_Test.wav";
        std::filesystem::copy_file(voiceFile(), path, std::filesystem::copy_options::overwrite_existing);
        return path;
    }
    std::string voiceFile() const { return dlg->m_installDir + "WaveFiles/VoicePlayback.wav"; }

    void chooseWith(std::string chosen) {
        dlg->m_chooseAnalysisFile = [this, chosen](const std::string& initial, const std::string& filter) {
            asked.emplace_back(initial, filter);
            return chosen;
        };
    }

    std::vector<std::pair<std::string, std::string>> asked;
};

void expectOneResultsBox(const platform::RecordingMessageBoxHandler& boxes, const std::string& text) {
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.shown()[0].caption, "Echo Test Results");
    EXPECT_EQ(boxes.shown()[0].style, platform::mb::kIconInformation);
    EXPECT_EQ(boxes.shown()[0].text, text);
}

TEST_F(ResultsBox, AfterAVerdictShowsTheEchoReductionWithItsLimits) {
    openEchoPage("tolvin-pstn");
    const std::string recording = placeEchoRecording();
    dlg->m_echoVerdict = VERDICT_FAIL;
    chooseWith("");
    dlg->OnSecretTest();

    double lms = 0.0;
    double total = 0.0;
    const int verdict = dlg->m_audio.CalcEchoReduction(recording, lms, total);
    const std::string product = dlg->m_hidProtocol.GetProductName();
    ASSERT_FALSE(product.empty());
    expectOneResultsBox(
        *boxes,
        cFormat("Echo Reduction for the connected %s:\n\tLMS: \t%5.1f dB,  Limit is %5.1f dB\n\tTotal: "
                "\t%5.1f dB,\tLimit is %5.1f dB",
                product.c_str(), lms, 0.0, total, 30.0));
    EXPECT_EQ(dlg->m_lmsEchoDb, lms);
    EXPECT_EQ(dlg->m_totalEchoDb, total);
    // The picture follows the figures; the verdict and the picture's visibility stay.
    EXPECT_EQ(dlg->m_resultPicture->pixmap().cacheKey(),
              (verdict == VERDICT_PASS ? dlg->m_passBitmap : dlg->m_failBitmap).cacheKey());
    EXPECT_TRUE(dlg->m_resultPicture->isHidden());
    EXPECT_EQ(dlg->m_echoVerdict, VERDICT_FAIL);
    EXPECT_TRUE(asked.empty());
}

TEST_F(ResultsBox, BelowLevelSixShowsTheResidualEcho) {
    makeDesktop("velmar-old");
    swapInLevelZeroUnit();
    startDialog();
    openEchoPageOnStartedDialog();
    const std::string recording = placeEchoRecording();
    dlg->m_echoVerdict = VERDICT_PASS;
    dlg->OnSecretTest();

    double residual = 0.0;
    dlg->m_audio.CalcResidualEcho(recording, residual);
    expectOneResultsBox(*boxes,
                        cFormat("Residual Echo for the connected %s is %5.1fdB.  Limit is %5.1fdB    ",
                                dlg->m_hidProtocol.GetProductName().c_str(), residual, -45.0));
}

TEST_F(ResultsBox, AnalysesTheChosenFileForNewAndOldUnits) {
    openEchoPage();
    chooseWith(voiceFile());
    dlg->OnSecretTest();

    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].first, dlg->m_dataDir + "WaveFiles/Echo_Test.wav");
    EXPECT_EQ(asked[0].second, "wav files (*.wav);;All Files (*.*)");
    double lms = 0.0;
    double total = 0.0;
    double residual = 0.0;
    dlg->m_audio.CalcEchoReduction(voiceFile(), lms, total);
    dlg->m_audio.CalcResidualEcho(voiceFile(), residual);
    const std::string text =
        cFormat(
            "\n\r For new units, Echo Reduction is:\n\tLMS: \t%5.1f dB,  Limit is %5.1f dB\n\tTotal: \t%5.1f "
            "dB,\tLimit is %5.1f dB\n\r",
            lms, 0.0, total, 30.0) +
        cFormat("\n\r For old units, Residual Echo is %5.1f dB,  Limit is %5.1f dB             ", residual,
                -45.0);
    expectOneResultsBox(*boxes, text);
    EXPECT_EQ(dlg->m_lmsEchoDb, lms);
    EXPECT_EQ(dlg->m_totalEchoDb, residual);
}

TEST_F(ResultsBox, MicrophonePageOfALoopbackModelRevealsTheLoopbackBoxOnly) {
    for (const auto& [model, revealed] : {std::pair{"brevik-kr600", true}, std::pair{"kr401", false}}) {
        dlg.reset();
        start(model);
        ASSERT_TRUE(dlg->m_hidProtocol.Connect(-1, false, true));
        dlg->m_page = PAGE_MICROPHONE_TEST;
        dlg->m_loopbackCheck->setVisible(false);
        asked.clear();
        chooseWith("");  // cancelled
        dlg->OnSecretTest();
        EXPECT_EQ(!dlg->m_loopbackCheck->isHidden(), revealed) << model;
        EXPECT_EQ(asked.size(), revealed ? 0u : 1u) << model;
        EXPECT_EQ(boxes->count(), 0u);
    }
}

TEST_F(ResultsBox, TheFileDialogOffersWavFilesFromTheEchoRecording) {
    QStringList filters;
    QStringList selected;
    QString suffix;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            filters = dialog->nameFilters();
            selected = dialog->selectedFiles();
            suffix = dialog->defaultSuffix();
            dialog->reject();
        }
    });
    poll.start(10);
    std::filesystem::create_directories(dataHome.path() + "/WaveFiles");
    const std::string initial = dataHome.path() + "/WaveFiles/Echo_Test.wav";
    EXPECT_EQ(CProbeGuideDlg::ChooseAnalysisFile(initial, "wav files (*.wav);;All Files (*.*)"), "");
    EXPECT_EQ(filters, (QStringList{"wav files (*.wav)", "All Files (*.*)"}));
    EXPECT_EQ(selected, QStringList{QString::fromStdString(initial)});
    EXPECT_EQ(suffix, "wav");
}

}  // namespace
