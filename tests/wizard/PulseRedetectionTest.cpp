// Re-detection on a real sound server whose unit devices come later than the kernel's device
// event, as a session manager may bring them, and after the server restarted.
#include <atomic>
#include <sstream>
#include <vector>

#include "platform/DeviceChanges.h"
#include "platform/PulseDeviceChanges.h"
#include "platform/PulseEndpoints.h"
#include "platform/PulseWaveDevices.h"
#include "tests/audio/PulseTestServer.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/CProbeGuideApp.h"

namespace {

using platform::EndpointFlow;
using platform::EndpointStatus;
using platform::Result;

constexpr const char* kConnectText = "Connect a device and click the 'next >' button to start the test.";

// The server's endpoint service, counting its listings: every re-detection lists the endpoints,
// so a test can wait until one has run.
class CountedEndpoints final : public platform::IAudioEndpoints {
public:
    int listings() const { return m_listings; }

    Result<std::vector<platform::AudioEndpointInfo>> activeEndpoints(EndpointFlow flow) override {
        ++m_listings;
        return m_service.activeEndpoints(flow);
    }
    Result<float> volumeScalar(EndpointFlow flow, const std::string& id) override {
        return m_service.volumeScalar(flow, id);
    }
    EndpointStatus setVolumeScalar(EndpointFlow flow, const std::string& id, float scalar) override {
        return m_service.setVolumeScalar(flow, id, scalar);
    }
    Result<platform::VolumeRangeDb> volumeRangeDb(EndpointFlow flow, const std::string& id) override {
        return m_service.volumeRangeDb(flow, id);
    }
    Result<float> volumeDb(EndpointFlow flow, const std::string& id) override {
        return m_service.volumeDb(flow, id);
    }
    EndpointStatus setVolumeDb(EndpointFlow flow, const std::string& id, float db) override {
        return m_service.setVolumeDb(flow, id, db);
    }
    Result<bool> isMuted(EndpointFlow flow, const std::string& id) override {
        return m_service.isMuted(flow, id);
    }
    EndpointStatus setMute(EndpointFlow flow, const std::string& id, bool muted) override {
        return m_service.setMute(flow, id, muted);
    }
    Result<std::vector<float>> ownStreamVolumes(const std::string& renderId) override {
        return m_service.ownStreamVolumes(renderId);
    }
    EndpointStatus setOwnStreamVolume(const std::string& renderId, float scalar) override {
        return m_service.setOwnStreamVolume(renderId, scalar);
    }

private:
    platform::PulseEndpoints m_service;
    std::atomic<int> m_listings{0};
};

class PulseRedetection : public WizardFixture {
protected:
    // The server without the units' devices, and the wizard on it showing that no unit is there.
    void startWithoutUnits(std::uint32_t resubscribeRetryMs = 500) {
        server = std::make_unique<testing_audio::PulseTestServer>();
        ASSERT_TRUE(server->running()) << server->failure();
        unplugServerUnits();
        ASSERT_FALSE(HasFatalFailure());
        makeDesktop("");
        endpoints = std::make_unique<CountedEndpoints>();
        waveDevices = std::make_unique<platform::PulseWaveDevices>();
        serverChanges = std::make_unique<platform::PulseDeviceChanges>(platform::PulseContext::Config{},
                                                                       resubscribeRetryMs);
        // The wizard's device changes as the program makes them: the kernel's (here the
        // simulator's) and the server's.
        changes = std::make_unique<platform::DeviceChangeSources>(
            std::vector<platform::IDeviceChanges*>{&desktop->deviceChanges(), serverChanges.get()});
        const std::string source =
            std::getenv("QPG_SOURCE_DIR") != nullptr ? std::getenv("QPG_SOURCE_DIR") : ".";
        services.reset(new WizardServices{desktop->hidBus(), endpoints.get(), *waveDevices, changes.get(),
                                          source + "/resources/", DefaultDataDir()});
        dlg = std::make_unique<CProbeGuideDlg>(*services);
        dlg->OnInitDialog();
        ASSERT_EQ(dlg->m_instructions, kConnectText);
        ASSERT_TRUE(serverChanges->subscribed());
    }

    // Takes the unit's sinks and sources off the server, leaving the built-in card: the
    // microphones first, which the sinks' monitors feed.
    void unplugServerUnits() {
        std::istringstream modules(server->pactlOutput("list short modules"));
        std::vector<std::string> units;
        for (std::string line; std::getline(modules, line);) {
            if (line.find("qnlr") != std::string::npos) {
                units.push_back(line.substr(0, line.find('\t')));
            }
        }
        ASSERT_FALSE(units.empty());
        for (auto unit = units.rbegin(); unit != units.rend(); ++unit) {
            ASSERT_EQ(server->pactl("unload-module " + *unit), 0) << *unit;
        }
    }

    void plugServerUnitSink() {
        ASSERT_EQ(server->pactl("load-module module-null-sink sink_name=qnlr_a rate=48000 "
                                "\"sink_properties='device.description=\\\"Qnlr Speakerphone\\\"'\""),
                  0);
    }

    bool foundUnit() const { return dlg->m_instructions.rfind("You are testing", 0) == 0; }

    // The joined sources listen to the simulator's changes: they go before the simulator does.
    void TearDown() override {
        dlg.reset();
        changes.reset();
        WizardFixture::TearDown();
    }

    std::unique_ptr<testing_audio::PulseTestServer> server;
    std::unique_ptr<CountedEndpoints> endpoints;
    std::unique_ptr<platform::PulseWaveDevices> waveDevices;
    std::unique_ptr<platform::PulseDeviceChanges> serverChanges;
    std::unique_ptr<platform::DeviceChangeSources> changes;
};

TEST_F(PulseRedetection, TheWelcomePageFindsAUnitWhoseSinkComesAfterTheDeviceEvent) {
    startWithoutUnits();
    ASSERT_FALSE(HasFatalFailure());

    // The unit is plugged in: the kernel tells at once, and its re-detection finds no unit yet.
    const int listings = endpoints->listings();
    desktop->deviceChanges().raise(platform::devchange::kArrival);
    ASSERT_TRUE(waitUntil([&] { return endpoints->listings() > listings; }));
    ASSERT_EQ(dlg->m_instructions, kConnectText);

    // Its sink reaches the server later.
    plugServerUnitSink();
    EXPECT_TRUE(waitUntil([&] { return foundUnit(); }));
    EXPECT_TRUE(foundUnit()) << dlg->m_instructions;
}

TEST_F(PulseRedetection, TheServersDeviceChangesReachTheWizardAfterTheServerRestarted) {
    // Subscribing again waits long enough for the server to be back with its devices before
    // anyone could be told of them (a server that takes longer tells of them as they come).
    startWithoutUnits(3000);
    ASSERT_FALSE(HasFatalFailure());

    // The server restarts on the same socket with both units' devices.
    ASSERT_TRUE(server->restart()) << server->failure();
    EXPECT_TRUE(waitUntil([&] { return dlg->m_instructions != kConnectText; }, 10000));
    EXPECT_EQ(dlg->m_instructions.rfind("There are 2 Quenlor devices connected.", 0), 0u)
        << dlg->m_instructions;

    // Its later changes reach the wizard as well: the devices go, and come again.
    unplugServerUnits();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(waitUntil([&] { return dlg->m_instructions == kConnectText; }));
    plugServerUnitSink();
    EXPECT_TRUE(waitUntil([&] { return foundUnit(); }));
    EXPECT_TRUE(foundUnit()) << dlg->m_instructions;
}

}  // namespace
