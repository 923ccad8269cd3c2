#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "audio/CWaveFileReader.h"
#include "audio/CWaveFileWriter.h"
#include "audio/CWaveFormat.h"
#include "tests/audio/TestFiles.h"

using namespace testfiles;

namespace {

std::vector<std::int16_t> ramp(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>(i * 7 - 3000);
    }
    return samples;
}

std::string writeRecording(const TempDir& dir, const std::string& name, std::uint16_t channels,
                           std::uint32_t rate, const std::vector<std::int16_t>& samples) {
    const auto path = dir.file(name);
    CWaveFileWriter writer;
    EXPECT_EQ(writer.Create(path, CWaveFormat(channels, rate, 16)), 1);
    EXPECT_TRUE(writer.Write(samples.data(), static_cast<int>(samples.size() * 2)));
    EXPECT_TRUE(writer.Close());
    return path;
}

}  // namespace

TEST(WaveFormatTest, ComputesAlignAndRateFromChannelsAndBits) {
    const CWaveFormat defaults;
    EXPECT_EQ(defaults.blockAlign, 2);
    EXPECT_EQ(defaults.avgBytesPerSec, 22050u);

    const CWaveFormat stereo(2, 11025, 16);
    EXPECT_EQ(stereo.blockAlign, 4);
    EXPECT_EQ(stereo.avgBytesPerSec, 44100u);

    CWaveFormat twelveBit;
    twelveBit.Set(2, 8000, 12);
    EXPECT_EQ(twelveBit.blockAlign, 2);  // 12 / 8 = 1 byte per channel
    EXPECT_EQ(twelveBit.avgBytesPerSec, 16000u);

    CWaveFormat withExtra(1, 16000, 16);
    withExtra.extraSize = 22;
    CWaveFormat copy;
    copy.CopyFrom(withExtra);
    EXPECT_EQ(copy.extraSize, 0);
    EXPECT_EQ(copy.samplesPerSec, 16000u);

    const auto bytes = CWaveFormat(2, 32000, 16).toBytes();
    EXPECT_EQ(CWaveFormat::fromBytes(bytes), CWaveFormat(2, 32000, 16));
}

TEST(WaveFileWriterTest, RecordingHasTheFixedLayoutAndSizes) {
    TempDir dir;
    const auto samples = ramp(16000);
    const auto path = writeRecording(dir, "rec.wav", 1, 16000, samples);
    const auto bytes = readBytes(path);
    const std::uint32_t dataSize = 32000;
    ASSERT_EQ(bytes.size(), 46u + dataSize);
    EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
    EXPECT_EQ(bytes[4] | bytes[5] << 8 | bytes[6] << 16, static_cast<int>(38 + dataSize));
    EXPECT_EQ(std::memcmp(bytes.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(bytes[16], 18);
    EXPECT_EQ(std::memcmp(bytes.data() + 38, "data", 4), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 46, samples.data(), dataSize), 0);
}

TEST(WaveFileWriterTest, OddDataIsPaddedAndTheNameHoldsNothingUntilClose) {
    TempDir dir;
    const auto path = dir.file("odd.wav");
    CWaveFileWriter writer;
    ASSERT_EQ(writer.Create(path, CWaveFormat(1, 16000, 16)), 1);
    const std::uint8_t three[3] = {1, 2, 3};
    ASSERT_TRUE(writer.Write(three, 3));
    std::fflush(nullptr);
    // Until Close the recording is not under its name.
    CWaveFileReader reader;
    EXPECT_EQ(reader.Open(path), 0);
    EXPECT_EQ(reader.m_lastError, wavefile::kCannotOpen);
    ASSERT_TRUE(writer.Close());
    const auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 46u + 4);
    EXPECT_EQ(bytes[4], 38 + 4);
    EXPECT_EQ(bytes[42], 3);
    EXPECT_EQ(bytes[49], 0);
}

// A finished recording waits under its temporary name: Keep puts it in place, Discard and an
// abandoned writer leave the name as it was.
TEST(WaveFileWriterTest, AFinishedRecordingTakesItsNameOnlyWhenKept) {
    TempDir dir;
    const auto path = dir.file("Echo_Test.wav");
    const auto earlier = readBytes(writeRecording(dir, "Echo_Test.wav", 1, 16000, {7, 7}));
    const std::uint8_t sound[4] = {1, 2, 3, 4};
    const auto entries = [&] { return std::distance(std::filesystem::directory_iterator(dir.path()), {}); };
    for (const char* end : {"discard", "abandon", "keep"}) {
        {
            CWaveFileWriter writer;
            ASSERT_EQ(writer.Create(path, CWaveFormat(1, 16000, 16)), 1);
            ASSERT_TRUE(writer.Write(sound, 4));
            if (std::string(end) != "abandon") {
                ASSERT_TRUE(writer.Finish());
                EXPECT_TRUE(std::filesystem::exists(writer.TemporaryName())) << end;
                EXPECT_EQ(readBytes(path), earlier) << end;
            }
            if (std::string(end) == "discard") {
                writer.Discard();
                EXPECT_FALSE(writer.Keep());
            } else if (std::string(end) == "keep") {
                EXPECT_TRUE(writer.Keep());
            }
        }
        EXPECT_EQ(entries(), 1) << end;  // no temporary file left
    }
    EXPECT_EQ(readBytes(path).size(), 46u + 4);
}

// Temporary recordings of processes that no longer run are removed; those of running
// processes, and other files, are left.
TEST(WaveFileWriterTest, StaleTemporariesOfEndedProcessesAreRemoved) {
    TempDir dir;
    const pid_t ended = ::fork();
    if (ended == 0) {
        ::_exit(0);
    }
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);
    const auto part = [](pid_t pid, int n) {
        return ".Echo_Test.wav." + std::to_string(pid) + "-" + std::to_string(n) + ".part";
    };
    const std::vector<std::string> stale = {part(ended, 0), part(ended, 12)};
    const std::vector<std::string> kept = {part(::getpid(), 0), part(::getppid(), 3),
                                           ".Echo_Test.wav.x-1.part", "Echo_Test.wav",
                                           part(ended, 1) + ".bak"};
    for (const auto& name : stale) {
        writeBytes(dir.file(name), {1});
    }
    for (const auto& name : kept) {
        writeBytes(dir.file(name), {1});
    }
    EXPECT_EQ(CWaveFileWriter::RemoveStaleTemporaries(dir.path().string()), 2);
    for (const auto& name : stale) {
        EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
    }
    for (const auto& name : kept) {
        EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
    }
}

TEST(WaveFileWriterTest, WritingNothingAddsNothing) {
    TempDir dir;
    const auto path = dir.file("empty.wav");
    CWaveFileWriter writer;
    ASSERT_EQ(writer.Create(path, CWaveFormat(1, 16000, 16)), 1);
    const std::vector<std::uint8_t> none;
    EXPECT_TRUE(writer.Write(none.data(), 0));  // an empty vector's data may be null
    EXPECT_FALSE(writer.Write(none.data(), -1));
    ASSERT_TRUE(writer.Close());
    EXPECT_EQ(readBytes(path).size(), 46u);
}

// A full disk: the recording's name keeps the earlier recording, and no part of the failed one
// stays in the folder.
TEST(WaveFileWriterTest, AFailedWriteLeavesTheNameAsItWas) {
    TempDir dir;
    const auto path = writeRecording(dir, "full.wav", 1, 16000, ramp(100));
    const auto earlier = readBytes(path);
    // A child process whose files may not grow past 4096 bytes stands for a full disk.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        CWaveFileWriter writer;
        if (writer.Create(path, CWaveFormat(1, 16000, 16)) != 1) {
            ::_exit(2);
        }
        const auto samples = ramp(8000);
        const bool wrote = writer.Write(samples.data(), static_cast<int>(samples.size() * 2));
        const bool closed = writer.Close();
        const bool named = writer.ErrorText().find(path) != std::string::npos;
        ::_exit(!wrote && !closed && named ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "the write and the close must both report the failure, naming the file";
    EXPECT_EQ(readBytes(path), earlier);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(WaveFileWriterTest, ASymbolicLinkAtTheNameIsReplacedNotFollowed) {
    TempDir dir;
    const auto target = writeRecording(dir, "target.wav", 1, 16000, ramp(10));
    const auto before = readBytes(target);
    const auto path = dir.file("link.wav");
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    writeRecording(dir, "link.wav", 1, 16000, ramp(300));
    EXPECT_EQ(readBytes(target), before);
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(readBytes(path).size(), 46u + 600);
}

TEST(WaveFileWriterTest, CreateFailsInAMissingFolderAndKeepsTheName) {
    TempDir dir;
    CWaveFileWriter writer;
    const auto path = dir.file("missing/rec.wav");
    EXPECT_EQ(writer.Create(path, CWaveFormat(1, 16000, 16)), 0);
    EXPECT_EQ(writer.m_fileName, path);
    EXPECT_FALSE(writer.Write("ab", 2));
}

TEST(WaveFileWriterTest, IndependentToolsReadOurFiles) {
    TempDir dir;
    const auto stereo = ramp(2 * 32000);
    const auto path = writeRecording(dir, "stereo.wav", 2, 32000, stereo);

    std::string soxi;
    for (const char* option : {"-r", "-c", "-b", "-s", "-e"}) {
        const auto result = runCommand(std::string("soxi ") + option + " '" + path + "' 2>&1");
        ASSERT_EQ(result.exitCode, 0) << result.output;
        soxi += result.output;
    }
    EXPECT_EQ(soxi, "32000\n2\n16\n32000\nSigned Integer PCM\n");

    const auto python = runCommand(
        "/usr/bin/python3 -c \"import wave,struct,sys; w=wave.open(sys.argv[1]); "
        "f=w.readframes(w.getnframes()); print(w.getnchannels(), w.getframerate(), w.getsampwidth(), "
        "w.getnframes(), struct.unpack('<h', f[2:4])[0], struct.unpack('<h', f[-2:])[0])\" '" +
        path + "' 2>&1");
    ASSERT_EQ(python.exitCode, 0) << python.output;
    EXPECT_EQ(python.output,
              "2 32000 2 32000 " + std::to_string(stereo[1]) + " " + std::to_string(stereo.back()) + "\n");
}

TEST(WaveFileReaderTest, ReadsWhatTheWriterWrote) {
    TempDir dir;
    const auto samples = ramp(1000);
    const auto path = writeRecording(dir, "mono.wav", 1, 16000, samples);
    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(path), 1) << reader.m_lastError;
    ASSERT_NE(reader.m_pFormat, nullptr);
    EXPECT_EQ(reader.FormatBlockSize(), 18u);
    EXPECT_EQ(reader.m_pFormat->extraSize, 0);
    EXPECT_EQ(reader.m_pFormat->channels, 1);
    EXPECT_EQ(reader.m_pFormat->samplesPerSec, 16000u);
    EXPECT_EQ(reader.m_dataSize, 2000u);
    EXPECT_EQ(reader.m_durationMs, 62u);
    EXPECT_EQ(reader.m_fileName, path);

    std::vector<std::int16_t> back(1200);
    EXPECT_EQ(reader.Read(back.data(), 2400), 2000u);  // only what is left
    EXPECT_EQ(std::memcmp(back.data(), samples.data(), 2000), 0);
    EXPECT_EQ(reader.Read(back.data(), 2400), 0u);
    EXPECT_EQ(reader.m_position, 2000u);

    ASSERT_EQ(reader.SeekData(500), 1);
    EXPECT_EQ(reader.Read(back.data(), 4000), 1500u);
    EXPECT_EQ(back[0], samples[250]);
    ASSERT_EQ(reader.SeekData(2000), 1);
    EXPECT_EQ(reader.Read(back.data(), 4000), 0u);
    ASSERT_EQ(reader.SeekData(9999), 1);
    EXPECT_EQ(reader.Read(back.data(), 4000), 0u);

    reader.Close();
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.m_pFormat, nullptr);
    reader.Close();  // twice is harmless
    EXPECT_EQ(reader.Read(back.data(), 10), 0u);
}

TEST(WaveFileReaderTest, ReadChannelKeepsOneSideOfStereo) {
    TempDir dir;
    std::vector<std::int16_t> stereo;
    for (int i = 0; i < 1024; ++i) {
        stereo.push_back(static_cast<std::int16_t>(i));
        stereo.push_back(static_cast<std::int16_t>(-i));
    }
    const auto path = writeRecording(dir, "st.wav", 2, 32000, stereo);
    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(path), 1);
    std::vector<std::int16_t> out(2048);
    EXPECT_EQ(reader.ReadChannel(out.data(), 1024, 1), 1024u);  // 512 left samples
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[511], 511);
    EXPECT_EQ(reader.ReadChannel(out.data(), 1024, 2), 1024u);
    EXPECT_EQ(out[0], -512);
    EXPECT_EQ(out[511], -1023);
    EXPECT_EQ(reader.ReadChannel(out.data(), 1024, 1), 0u);

    ASSERT_EQ(reader.SeekData(4096 - 6), 1);  // 6 bytes left: one whole frame
    EXPECT_EQ(reader.ReadChannel(out.data(), 100, 1), 2u);
    ASSERT_EQ(reader.SeekData(4096 - 2), 1);  // less than a frame
    EXPECT_EQ(reader.ReadChannel(out.data(), 100, 2), 0u);
    ASSERT_EQ(reader.SeekData(0), 1);
    EXPECT_EQ(reader.ReadChannel(out.data(), 4, 0), 8u);
    EXPECT_EQ(out[1], 0);  // -0: right sample of frame 0
    EXPECT_EQ(out[2], 1);
}

TEST(WaveFileReaderTest, FindsChunksInAnyOrderAmongOthers) {
    TempDir dir;
    std::vector<std::uint8_t> chunks;
    appendChunk(chunks, "LIST", {'a', 'b', 'c'});  // odd size, padded
    std::vector<std::uint8_t> data = {1, 0, 2, 0, 3, 0, 4, 0};
    appendChunk(chunks, "data", data);
    auto format = pcmFormatBody(2, 48000);
    format.insert(format.end(), {0, 0, 9, 9});  // a longer format chunk: the rest is skipped
    appendChunk(chunks, "fmt ", format);
    const auto path = dir.file("order.wav");
    writeBytes(path, riffWave(chunks));
    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(path), 1) << reader.m_lastError;
    EXPECT_EQ(reader.m_pFormat->channels, 2);
    EXPECT_EQ(reader.m_dataSize, 8u);
    std::uint8_t out[8] = {};
    EXPECT_EQ(reader.Read(out, 8), 8u);
    EXPECT_EQ(std::memcmp(out, data.data(), 8), 0);
}

// Each bad file fails with its own code and leaves the reader closed.
struct BadFileCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint32_t expectedError;
};

class WaveFileReaderBadFileTest : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(WaveFileReaderBadFileTest, FailsWithItsCodeAndLeavesNothingOpen) {
    TempDir dir;
    const auto path = dir.file("bad.wav");
    writeBytes(path, GetParam().bytes);
    CWaveFileReader reader;
    EXPECT_EQ(reader.Open(path), 0);
    EXPECT_EQ(reader.m_lastError, GetParam().expectedError) << wavefile::errorText(reader.m_lastError);
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.m_pFormat, nullptr);
    std::uint8_t buffer[16];
    EXPECT_EQ(reader.Read(buffer, sizeof buffer), 0u);
}

namespace {

std::vector<std::uint8_t> withFormat(std::vector<std::uint8_t> format,
                                     std::vector<std::uint8_t> data = {0, 0}) {
    std::vector<std::uint8_t> chunks;
    appendChunk(chunks, "fmt ", format);
    appendChunk(chunks, "data", data);
    return riffWave(chunks);
}

std::vector<std::uint8_t> patched(std::vector<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return bytes;
}

std::vector<std::uint8_t> extensibleFormat() {
    std::vector<std::uint8_t> body;
    appendU16(body, 0xFFFE);
    appendU16(body, 2);
    appendU32(body, 48000);
    appendU32(body, 192000);
    appendU16(body, 4);
    appendU16(body, 16);
    appendU16(body, 22);
    body.resize(body.size() + 22, 0);
    return body;
}

std::vector<std::uint8_t> formatWith(std::size_t at, std::uint32_t value, std::size_t width) {
    auto body = pcmFormatBody(1, 16000);
    for (std::size_t i = 0; i < width; ++i) {
        body[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return body;
}

const std::vector<std::uint8_t> kGood = pcmWave(1, 16000, {1, 2, 3, 4});

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Malformed, WaveFileReaderBadFileTest,
    ::testing::Values(
        BadFileCase{"NotRiff", patched(kGood, 0, 0x58464952 /* RIFX */), wavefile::kInvalidFile},
        BadFileCase{"NotWave", patched(kGood, 8, 0x20495641 /* AVI  */), wavefile::kInvalidFile},
        BadFileCase{"Empty", {}, wavefile::kInvalidFile},
        BadFileCase{"RiffSizePastEnd", patched(kGood, 4, 1000), wavefile::kInvalidFile},
        BadFileCase{"FormatSizePastEnd", patched(kGood, 16, 0xFFFFFFF0u), wavefile::kInvalidFile},
        BadFileCase{"ShortFormat", withFormat({1, 0, 1, 0, 0x80, 0x3E, 0, 0}), wavefile::kCannotRead},
        BadFileCase{"NoData", riffWave([] {
                        std::vector<std::uint8_t> c;
                        appendChunk(c, "fmt ", pcmFormatBody(1, 16000));
                        return c;
                    }()),
                    wavefile::kChunkNotFound},
        BadFileCase{"NoFormat", riffWave([] {
                        std::vector<std::uint8_t> c;
                        appendChunk(c, "data", {0, 0});
                        return c;
                    }()),
                    wavefile::kChunkNotFound},
        BadFileCase{"ExtensibleFormatIsParsedThenRefused", withFormat(extensibleFormat()),
                    wavefile::kUnsupportedFormat},
        BadFileCase{"ExtraBytesMissing", withFormat([] {
                        auto f = extensibleFormat();
                        f.resize(30);
                        return f;
                    }()),
                    wavefile::kCannotRead},
        BadFileCase{"ZeroAverageBytes", withFormat(formatWith(8, 0, 4)), wavefile::kUnsupportedFormat},
        BadFileCase{"ZeroRate", withFormat(formatWith(4, 0, 4)), wavefile::kUnsupportedFormat},
        BadFileCase{"EightBit", withFormat(pcmFormatBody(1, 16000, 8)), wavefile::kUnsupportedFormat},
        BadFileCase{"ThreeChannels", withFormat(pcmFormatBody(3, 16000)), wavefile::kUnsupportedFormat},
        BadFileCase{"WrongBlockAlign", withFormat(formatWith(12, 7, 2)), wavefile::kUnsupportedFormat}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WaveFileReaderTest, DataThatClaimsMoreThanTheFileHoldsIsReadAsFarAsItGoes) {
    TempDir dir;
    // sox writing to a pipe cannot go back to fix its sizes: RIFF and data claim about 2 GB.
    const auto streamed = dir.file("streamed.wav");
    const auto made = runCommand(
        "sox -n -r 16000 -c 1 -b 16 -t wav - synth 0.5 sine 440 2>/dev/null | cat >'" + streamed + "'");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    // An interrupted recorder: its data size is past the end, and an odd byte trails the samples.
    auto cut = patched(pcmWave(1, 16000, {1, 2, 3, 4}), 40, 0xFFFFFFF0u);
    cut.push_back(9);
    const auto interrupted = dir.file("interrupted.wav");
    writeBytes(interrupted, cut);

    struct Case {
        std::string path;
        std::uint32_t dataSize;
        std::uint32_t durationMs;
    };
    for (const auto& c : {Case{streamed, 16000, 500}, Case{interrupted, 8, 0}}) {
        SCOPED_TRACE(c.path);
        CWaveFileReader reader;
        ASSERT_EQ(reader.Open(c.path), 1) << reader.m_lastError;
        EXPECT_EQ(reader.m_dataSize, c.dataSize);
        EXPECT_EQ(reader.m_durationMs, c.durationMs);
        std::vector<std::uint8_t> all(c.dataSize + 100);
        EXPECT_EQ(reader.Read(all.data(), static_cast<std::uint32_t>(all.size())), c.dataSize);
        EXPECT_EQ(reader.m_lastError, wavefile::kNoError);
    }
}

TEST(WaveFileReaderTest, MissingFileCannotBeOpened) {
    CWaveFileReader reader;
    EXPECT_EQ(reader.Open("/nonexistent/folder/x.wav"), 0);
    EXPECT_EQ(reader.m_lastError, wavefile::kCannotOpen);
    EXPECT_STREQ(wavefile::errorText(wavefile::kCannotOpen), "the file cannot be opened");

    // A folder or a pipe opens for reading here, but neither is a file (and a pipe without a
    // writer must not keep the reader waiting).
    TempDir dir;
    const auto pipe = dir.file("Echo_Test.wav");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    for (const auto& path : {dir.file(""), pipe}) {
        EXPECT_EQ(reader.Open(path), 0);
        EXPECT_EQ(reader.m_lastError, wavefile::kCannotOpen) << path;
        EXPECT_FALSE(reader.IsOpen());
    }
}

TEST(WaveFileReaderTest, SizesAbove4MBComputeWithoutOverflow) {
    // 5 MB of data at 8000 Hz mono: data size x 1000 passes 32 bits.
    TempDir dir;
    const std::uint32_t dataBytes = 5u * 1024 * 1024;
    const auto path = dir.file("big.wav");
    CWaveFileWriter writer;
    ASSERT_EQ(writer.Create(path, CWaveFormat(1, 8000, 16)), 1);
    const std::vector<std::uint8_t> block(1024 * 1024, 0);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(writer.Write(block.data(), static_cast<int>(block.size())));
    }
    ASSERT_TRUE(writer.Close());
    CWaveFileReader reader;
    ASSERT_EQ(reader.Open(path), 1);
    EXPECT_EQ(reader.m_dataSize, dataBytes);
    EXPECT_EQ(reader.m_durationMs, static_cast<std::uint32_t>(dataBytes * 1000ull / 16000));
}

// Seeded random mutations of a valid file: the reader must never crash, hang or read more than
// the file holds, whatever the bytes say.
TEST(WaveFileReaderFuzzTest, MutatedFilesNeverCrashOrOverread) {
    TempDir dir;
    std::vector<std::uint8_t> chunks;
    appendChunk(chunks, "LIST", {'I', 'N', 'F', 'O', 'x'});
    appendChunk(chunks, "fmt ", extensibleFormat());
    appendChunk(chunks, "fmt ", pcmFormatBody(2, 32000));
    std::vector<std::uint8_t> data(400);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    appendChunk(chunks, "data", data);
    const std::vector<std::vector<std::uint8_t>> seeds = {riffWave(chunks), pcmWave(1, 16000, ramp(300))};

    std::mt19937 random(20261209);
    const auto path = dir.file("fuzz.wav");
    int opened = 0;
    for (int round = 0; round < 3000; ++round) {
        auto bytes = seeds[round % seeds.size()];
        const int mutations = 1 + static_cast<int>(random() % 8);
        for (int m = 0; m < mutations; ++m) {
            const std::size_t at = random() % bytes.size();
            switch (random() % 4) {
                case 0:
                    bytes[at] = static_cast<std::uint8_t>(random());
                    break;
                case 1:  // a size field set to an extreme
                    for (std::size_t i = at; i < std::min(bytes.size(), at + 4); ++i) {
                        bytes[i] = (random() % 2) ? 0xFF : 0x00;
                    }
                    break;
                case 2:
                    bytes.resize(at + 1);
                    break;
                default:
                    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                 static_cast<std::uint8_t>(random()));
                    break;
            }
        }
        writeBytes(path, bytes);
        CWaveFileReader reader;
        if (reader.Open(path) == 0) {
            EXPECT_FALSE(reader.IsOpen());
            EXPECT_NE(reader.m_lastError, wavefile::kNoError);
            continue;
        }
        ++opened;
        ASSERT_LE(reader.m_dataSize, bytes.size());
        ASSERT_LE(reader.FormatBlockSize(), bytes.size());
        std::vector<std::uint8_t> out(512);
        std::uint64_t total = 0;
        for (int turn = 0; turn < 100; ++turn) {
            const auto got = reader.ReadChannel(out.data(), 256, 1 + turn % 2);
            if (got == 0) {
                break;
            }
            total += got;
        }
        EXPECT_LE(total, reader.m_dataSize);
        EXPECT_EQ(reader.SeekData(static_cast<std::uint32_t>(random())), 1);
    }
    EXPECT_GT(opened, 0);  // the mutations leave some files valid, so both paths ran
}
