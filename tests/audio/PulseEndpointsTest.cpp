#include "platform/PulseEndpoints.h"

#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "audio/AudioEndpoints.h"
#include "platform/PulseContext.h"
#include "tests/audio/PulseServerTest.h"
#include "tests/audio/PulseTestServer.h"
#include "tests/support/SessionLocale.h"

namespace {

using platform::EndpointFlow;
using platform::PulseEndpoints;
using testing_audio::PulseTestServer;

constexpr auto kRender = EndpointFlow::Render;
constexpr auto kCapture = EndpointFlow::Capture;

// The first number pactl prints for a device's volume ("Volume: front-left: 32768 /  50% ...").
long rawVolume(const PulseTestServer& server, const std::string& command) {
    const std::string text = server.pactlOutput(command);
    const auto colon = text.find(": ", text.find("front-left"));
    return colon == std::string::npos ? -1 : std::strtol(text.c_str() + colon + 2, nullptr, 10);
}

class PulseEndpointsTest : public testing_audio::PulseServerTest {
protected:
    PulseEndpoints service;
};

TEST_F(PulseEndpointsTest, ListsSinksAndSourcesButNoMonitorsInServerOrder) {
    auto render = service.activeEndpoints(kRender);
    ASSERT_TRUE(render) << render.error().what;
    ASSERT_EQ(render.value().size(), 3u);
    EXPECT_EQ(render.value()[0].id, "builtin");
    EXPECT_EQ(render.value()[0].friendlyName, "Built-in Audio");
    EXPECT_EQ(render.value()[1].friendlyName, "Qnlr Speakerphone");
    EXPECT_EQ(render.value()[2].friendlyName, "Speakers (Qnlr Speakerphone B)");

    auto capture = service.activeEndpoints(kCapture);
    ASSERT_TRUE(capture) << capture.error().what;
    ASSERT_EQ(capture.value().size(), 3u);
    EXPECT_EQ(capture.value()[0].id, "builtin_mic");
    EXPECT_EQ(capture.value()[1].friendlyName, "Microphone (Qnlr Speakerphone)");
    EXPECT_EQ(capture.value()[2].id, "qnlr_b_mic");
}

TEST_F(PulseEndpointsTest, FindsTheUnitsEndpointsAndCountsBothUnits) {
    CAudioEndpoints endpoints(&service);
    EXPECT_EQ(endpoints.GetSpeakerName(), "Qnlr Speakerphone");
    EXPECT_EQ(endpoints.speakerIndex(), 1);
    // The speaker's monitor ("Monitor of Qnlr Speakerphone") comes first on the server but is
    // no microphone.
    EXPECT_EQ(endpoints.GetMicrophoneName(), "Microphone (Qnlr Speakerphone)");
    EXPECT_EQ(endpoints.microphoneIndex(), 1);
    EXPECT_TRUE(endpoints.IsBrandSpeaker());
    EXPECT_EQ(endpoints.CountSpeakerphones(), 2);
    EXPECT_EQ(endpoints.GetEndpointCount(1), 3);
    EXPECT_EQ(endpoints.GetEndpointCount(0), 3);

    endpoints.SelectSpeakerByName("Qnlr Speakerphone B");
    EXPECT_EQ(endpoints.speakerIndex(), 2);
    endpoints.SelectSpeakerByName("Built-in");
    EXPECT_EQ(endpoints.speakerIndex(), 0);
}

TEST_F(PulseEndpointsTest, SpeakerVolumeReachesTheServerOnTheScalarScale) {
    CAudioEndpoints endpoints(&service);
    EXPECT_EQ(endpoints.SetSpeakerVolume(0), 0);
    EXPECT_EQ(rawVolume(*s_server, "get-sink-volume qnlr_a"), 0);
    EXPECT_EQ(endpoints.GetSpeakerVolume(), 0);

    EXPECT_EQ(endpoints.SetSpeakerVolume(65535), 0);
    EXPECT_EQ(rawVolume(*s_server, "get-sink-volume qnlr_a"), PA_VOLUME_NORM);
    EXPECT_EQ(endpoints.GetSpeakerVolume(), 65535);

    EXPECT_EQ(endpoints.SetSpeakerVolume(13107), 0);
    EXPECT_EQ(rawVolume(*s_server, "get-sink-volume qnlr_a"), std::lround(0.2 * PA_VOLUME_NORM));
    const int readBack = endpoints.GetSpeakerVolume();
    EXPECT_TRUE(readBack == 13107 || readBack == 13106) << readBack;

    ASSERT_EQ(s_server->pactl("set-sink-volume qnlr_a 32768"), 0);  // half of normal
    EXPECT_EQ(endpoints.GetSpeakerVolume(), 32767);
    ASSERT_EQ(s_server->pactl("set-sink-volume qnlr_a 150%"), 0);  // above normal reads as full
    EXPECT_EQ(endpoints.GetSpeakerVolume(), 65535);

    EXPECT_EQ(endpoints.SetSpeakerVolume(65536), -1);
    EXPECT_EQ(rawVolume(*s_server, "get-sink-volume qnlr_a"), std::lround(1.5 * PA_VOLUME_NORM));
    // The other sinks were never touched.
    EXPECT_EQ(rawVolume(*s_server, "get-sink-volume builtin"), PA_VOLUME_NORM);
}

TEST_F(PulseEndpointsTest, MicrophoneLevelIsLinearInDbAcrossTheRangeAndReadsBackAsSet) {
    CAudioEndpoints endpoints(&service);
    auto range = service.volumeRangeDb(kCapture, "qnlr_a_mic");
    ASSERT_TRUE(range) << range.error().what;
    EXPECT_EQ(range.value().minDb, -6.0f);  // software volumes: -6..+6 dB about normal
    EXPECT_EQ(range.value().maxDb, 6.0f);

    // The mixer-only default, the middle, the ends.
    for (int level : {0, 9215, 32768, 65535}) {
        SCOPED_TRACE(level);
        ASSERT_EQ(endpoints.SetMicrophoneVolume(level), 0);
        const double wantDb = -6.0 + 12.0 * level / 65535.0;
        auto db = service.volumeDb(kCapture, "qnlr_a_mic");
        ASSERT_TRUE(db) << db.error().what;
        EXPECT_NEAR(db.value(), wantDb, 0.01);  // the server keeps volumes in steps of 1/65536
        // On the server: its software dB is 60 * log10(volume / normal).
        EXPECT_NEAR(rawVolume(*s_server, "get-source-volume qnlr_a_mic"),
                    std::pow(10.0, wantDb / 60.0) * PA_VOLUME_NORM, 1.0);
        // Read back as set, so that loading the level and setting it again keeps it.
        EXPECT_NEAR(endpoints.GetMicrophoneVolume(), level, 2.0);
    }
    EXPECT_EQ(endpoints.SetMicrophoneVolume(-1), -1);
    EXPECT_NEAR(endpoints.GetMicrophoneVolume(), 65535, 2.0);
    ASSERT_EQ(s_server->pactl("set-source-volume qnlr_a_mic 0"), 0);
    EXPECT_EQ(endpoints.GetMicrophoneVolume(), 0);
    EXPECT_EQ(rawVolume(*s_server, "get-source-volume qnlr_b_mic"), PA_VOLUME_NORM);
}

TEST_F(PulseEndpointsTest, UnmuteClearsTheServersMute) {
    CAudioEndpoints endpoints(&service);
    ASSERT_EQ(s_server->pactl("set-sink-mute qnlr_a 1"), 0);
    ASSERT_EQ(s_server->pactl("set-source-mute qnlr_a_mic 1"), 0);
    ASSERT_EQ(s_server->pactl("set-sink-mute qnlr_b 1"), 0);
    EXPECT_TRUE(service.isMuted(kRender, "qnlr_a").value());

    EXPECT_EQ(endpoints.UnmuteSpeaker(), 0);
    EXPECT_EQ(endpoints.UnmuteMicrophone(), 0);
    EXPECT_EQ(s_server->pactlOutput("get-sink-mute qnlr_a"), "Mute: no\n");
    EXPECT_EQ(s_server->pactlOutput("get-source-mute qnlr_a_mic"), "Mute: no\n");
    EXPECT_EQ(s_server->pactlOutput("get-sink-mute qnlr_b"), "Mute: yes\n");

    EXPECT_TRUE(service.setMute(kCapture, "qnlr_b_mic", true));
    EXPECT_TRUE(service.isMuted(kCapture, "qnlr_b_mic").value());
}

TEST_F(PulseEndpointsTest, UnknownEndpointsAndBadLevelsAreErrors) {
    auto missing = service.volumeScalar(kRender, "qnlr_a.monitor");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().what.find("qnlr_a.monitor"), std::string::npos) << missing.error().what;
    EXPECT_FALSE(service.setVolumeScalar(kCapture, "qnlr_a.monitor", 0.5f));
    EXPECT_FALSE(service.setVolumeScalar(kRender, "qnlr_a", std::nanf("")));
    EXPECT_FALSE(service.setVolumeDb(kCapture, "qnlr_a_mic", 6.5f));
    EXPECT_FALSE(service.setVolumeDb(kCapture, "qnlr_a_mic", -6.5f));
    EXPECT_FALSE(service.setOwnStreamVolume("nowhere", 1.0f));
    ScopedSessionLocale session;
    const auto rejected = service.setVolumeDb(kCapture, "qnlr_a_mic", 6.5f);
    ASSERT_FALSE(rejected);
    EXPECT_NE(rejected.error().what.find(": 6.500000 is out of range"), std::string::npos)
        << rejected.error().what;
}

// A playback stream of this process on a sink, silent and corked.
class OwnStream {
public:
    OwnStream(const std::string& sink) : m_pulse(platform::PulseContext::Config{}) {
        if (!m_pulse.ensureConnected()) {
            return;
        }
        platform::PulseLock lock(m_pulse.mainloop());
        const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 1};
        m_stream.reset(pa_stream_new(m_pulse.context(), "own stream", &spec, nullptr));
        pa_stream_connect_playback(m_stream.get(), sink.c_str(), nullptr, PA_STREAM_START_CORKED, nullptr,
                                   nullptr);
    }
    ~OwnStream() {
        if (m_stream) {
            platform::PulseLock lock(m_pulse.mainloop());
            m_stream.reset();
        }
    }
    bool waitReady() {
        for (int i = 0; i < 200 && m_stream; ++i) {
            {
                platform::PulseLock lock(m_pulse.mainloop());
                if (pa_stream_get_state(m_stream.get()) == PA_STREAM_READY) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    platform::PulseContext m_pulse;
    platform::PulseStreamPtr m_stream;
};

TEST_F(PulseEndpointsTest, SpeakerVolumeSetsTheProgramsOwnStreamsToFull) {
    auto none = service.ownStreamVolumes("qnlr_a");
    ASSERT_TRUE(none) << none.error().what;
    EXPECT_TRUE(none.value().empty());

    OwnStream onUnit("qnlr_a");
    OwnStream elsewhere("builtin");
    ASSERT_TRUE(onUnit.waitReady());
    ASSERT_TRUE(elsewhere.waitReady());
    ASSERT_TRUE(service.setOwnStreamVolume("qnlr_a", 0.25f));
    ASSERT_TRUE(service.setOwnStreamVolume("builtin", 0.25f));
    EXPECT_EQ(service.ownStreamVolumes("qnlr_a").value(), std::vector<float>{0.25f});

    CAudioEndpoints endpoints(&service);
    EXPECT_EQ(endpoints.SetSpeakerVolume(40000), 0);
    EXPECT_EQ(service.ownStreamVolumes("qnlr_a").value(), std::vector<float>{1.0f});
    EXPECT_EQ(service.ownStreamVolumes("builtin").value(), std::vector<float>{0.25f});
}

TEST(PulseEndpointsWithoutServer, NoServerMeansNoEndpointAndNoSpawnedServer) {
    const auto dir = std::filesystem::temp_directory_path() / ("qpg-noserver-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "home/.config/pulse");
    // Even a client configuration that asks for autospawn must not start a server (libpulse
    // never spawns one for root, so this part only bites when the tests run as a user).
    std::ofstream(dir / "client.conf") << "autospawn = yes\n";
    {
        testing_audio::ScopedEnv noServer("PULSE_SERVER", std::nullopt);
        testing_audio::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.string());
        testing_audio::ScopedEnv config("PULSE_CLIENTCONFIG", (dir / "client.conf").string());
        PulseEndpoints service;
        auto render = service.activeEndpoints(kRender);
        EXPECT_FALSE(render);
        CAudioEndpoints endpoints(&service);
        EXPECT_EQ(endpoints.GetSpeakerName(), "");
        EXPECT_EQ(endpoints.GetMicrophoneName(), "");
        EXPECT_EQ(endpoints.CountSpeakerphones(), 0);
        EXPECT_EQ(endpoints.GetEndpointCount(1), -1);
        EXPECT_EQ(endpoints.SetSpeakerVolume(100), -1);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "pulse/native"));
    std::filesystem::remove_all(dir);
}

TEST(PulseEndpointsWithoutServer, ASilentServerIsAnErrorNotAHang) {
    // A socket that accepts connections and never answers them.
    const std::string path =
        std::filesystem::temp_directory_path() / ("qpg-silent-" + std::to_string(::getpid()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ::unlink(path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    {
        testing_audio::ScopedEnv silent("PULSE_SERVER", "unix:" + path);
        platform::PulseContext::Config config;
        config.connectTimeoutMs = 300;
        PulseEndpoints service(config);
        auto render = service.activeEndpoints(kRender);
        ASSERT_FALSE(render);
        EXPECT_NE(render.error().what.find("no answer"), std::string::npos) << render.error().what;
        CAudioEndpoints endpoints(&service);
        EXPECT_EQ(endpoints.CountSpeakerphones(), 0);
    }
    ::close(fd);
    ::unlink(path.c_str());
}

TEST(PulseEndpointsRestart, ReconnectsAfterTheServerCameBack) {
    PulseEndpoints service;
    {
        PulseTestServer first;
        ASSERT_TRUE(first.running()) << first.failure();
        ASSERT_TRUE(service.activeEndpoints(kRender));
    }
    EXPECT_FALSE(service.activeEndpoints(kRender));  // the server is gone: an error, no hang
    PulseTestServer second;
    ASSERT_TRUE(second.running()) << second.failure();
    auto render = service.activeEndpoints(kRender);
    ASSERT_TRUE(render) << render.error().what;
    EXPECT_EQ(render.value().size(), 3u);
}

}  // namespace
