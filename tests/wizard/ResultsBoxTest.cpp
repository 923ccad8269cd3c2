// The service button: the results box with the echo figures and their limits, the loopback check
// box, and the analysis of a chosen WAV file, with the texts compared byte for byte.
#include <locale.h>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QTimer>
#include <cstdarg>
#include <filesystem>

#include "audio/CWaveFileWriter.h"
#include "tests/wizard/EchoTestSupport.h"

namespace {

// printf in the "C" locale, as the program writes its figures whatever the session's locale.
std::string cFormat(const char* format, ...) {
    const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    const locale_t session = ::uselocale(c);
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ::uselocale(session);
    ::freelocale(c);
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
    openLevelZeroEchoPage();
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

// Files that cannot give every figure: no results box for a file that cannot be opened, and
// words instead of a number for a figure whose windows the file does not hold. A figure made
// from a silent window (-1000 dB) is shown as the number it is.
struct UnmeasuredCase {
    const char* name;
    double soundSeconds;    // noise from the start
    double silentSeconds;   // silence after it
    double keptSeconds;     // the file cut here (a truncated file); 0: not cut; < 0: no file
    const char* reduction;  // in the new units' half; nullptr: figures only
    const char* residual;   // in the old units' half; nullptr: a figure
};

class UnmeasuredFile : public ResultsBox, public ::testing::WithParamInterface<UnmeasuredCase> {};

TEST_P(UnmeasuredFile, SaysSoInsteadOfAFigure) {
    const auto& c = GetParam();
    openEchoPage();
    const std::string path = dlg->m_dataDir + "WaveFiles/Analysed.wav";
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (c.keptSeconds >= 0) {
        constexpr int kRate = 16000;
        std::vector<std::int16_t> samples(
            static_cast<std::size_t>((c.soundSeconds + c.silentSeconds) * kRate));
        std::uint32_t seed = 1;
        for (std::size_t i = 0; i < static_cast<std::size_t>(c.soundSeconds * kRate); ++i) {
            seed = seed * 1664525u + 1013904223u;
            samples[i] = static_cast<std::int16_t>(static_cast<int>(seed >> 20) - 2048);
        }
        CWaveFileWriter writer;
        ASSERT_EQ(writer.Create(path, CWaveFormat(1, kRate, 16)), 1);
        ASSERT_TRUE(writer.Write(samples.data(), static_cast<int>(samples.size() * 2)));
        ASSERT_TRUE(writer.Close());
        if (c.keptSeconds > 0) {
            std::filesystem::resize_file(path, 46 + static_cast<std::uintmax_t>(c.keptSeconds * kRate * 2));
        }
    }
    dlg->m_lmsEchoDb = 1.5;
    dlg->m_totalEchoDb = 2.5;
    chooseWith(path);
    dlg->OnSecretTest();

    const auto shown = boxes->shown();
    if (c.keptSeconds < 0) {
        ASSERT_EQ(shown.size(), 1u);  // the analysis's own: the file cannot be opened
        EXPECT_NE(shown[0].caption, "Echo Test Results");
        EXPECT_EQ(dlg->m_lmsEchoDb, 1.5);
        EXPECT_EQ(dlg->m_totalEchoDb, 2.5);
        return;
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "Echo Test Results");
    const std::string& text = shown[0].text;
    const auto split = text.find("For old units");
    ASSERT_NE(split, std::string::npos) << text;
    const std::string newUnits = text.substr(0, split);
    const std::string oldUnits = text.substr(split);
    for (const auto& [half, expected] : {std::pair{newUnits, c.reduction}, std::pair{oldUnits, c.residual}}) {
        if (expected != nullptr) {
            EXPECT_NE(half.find(expected), std::string::npos) << half;
        } else {
            EXPECT_EQ(half.find("not measured"), std::string::npos) << half;
        }
    }
}

constexpr const char* kTooShort = "not measured, the file is too short";
constexpr const char* kFromSilence = "Total: \t971.2 dB";  // A - (-1000)
constexpr const char* kResidualFromSilence = "Residual Echo is -1000.0 dB,";

INSTANTIATE_TEST_SUITE_P(Files, UnmeasuredFile,
                         ::testing::Values(UnmeasuredCase{"cannotOpen", 0, 0, -1, nullptr, nullptr},
                                           UnmeasuredCase{"truncated", 10, 0, 5, kTooShort, nullptr},
                                           UnmeasuredCase{"tooShortForBoth", 3, 0, 0, kTooShort, kTooShort},
                                           UnmeasuredCase{"silentAfter6s", 6, 4, 0, kFromSilence, nullptr},
                                           UnmeasuredCase{"silentAfter2s", 2, 8, 0, nullptr,
                                                          kResidualFromSilence},
                                           UnmeasuredCase{"whole", 10, 0, 0, nullptr, nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

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
