// Re-detection on a real sound server whose unit devices come later than the kernel's device
// event, as a session manager may bring them.
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

constexpr const char* kConnectText = "Connect a device and click the 'next >' button to start the test.";

class PulseRedetection : public WizardFixture {
protected:
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

    // The joined sources listen to the simulator's changes: they go before the simulator does.
    void TearDown() override {
        dlg.reset();
        changes.reset();
        WizardFixture::TearDown();
    }

    std::unique_ptr<testing_audio::PulseTestServer> server;
    std::unique_ptr<platform::PulseEndpoints> endpoints;
    std::unique_ptr<platform::PulseWaveDevices> waveDevices;
    std::unique_ptr<platform::PulseDeviceChanges> serverChanges;
    std::unique_ptr<platform::DeviceChangeSources> changes;
};

TEST_F(PulseRedetection, TheWelcomePageFindsAUnitWhoseSinkComesAfterTheDeviceEvent) {
    server = std::make_unique<testing_audio::PulseTestServer>();
    ASSERT_TRUE(server->running()) << server->failure();
    unplugServerUnits();
    ASSERT_FALSE(HasFatalFailure());
    makeDesktop("");
    endpoints = std::make_unique<platform::PulseEndpoints>();
    waveDevices = std::make_unique<platform::PulseWaveDevices>();
    serverChanges = std::make_unique<platform::PulseDeviceChanges>();
    // The wizard's device changes as the program makes them: the kernel's (here the
    // simulator's) and the server's.
    changes = std::make_unique<platform::DeviceChangeSources>(
        std::vector<platform::IDeviceChanges*>{&desktop->deviceChanges(), serverChanges.get()});
    const std::string source = std::getenv("QPG_SOURCE_DIR") != nullptr ? std::getenv("QPG_SOURCE_DIR") : ".";
    services.reset(new WizardServices{desktop->hidBus(), endpoints.get(), *waveDevices, changes.get(),
                                      source + "/resources/", DefaultDataDir()});
    dlg = std::make_unique<CProbeGuideDlg>(*services);
    dlg->OnInitDialog();
    ASSERT_EQ(dlg->m_instructions, kConnectText);
    ASSERT_TRUE(serverChanges->subscribed());

    // The unit is plugged in: the kernel tells at once, and its re-detection finds no unit yet.
    desktop->deviceChanges().raise(platform::devchange::kArrival);
    processEvents(1000);
    ASSERT_EQ(dlg->m_instructions, kConnectText);

    // Its sink reaches the server 1 s after the event.
    ASSERT_EQ(server->pactl("load-module module-null-sink sink_name=qnlr_a rate=48000 "
                            "\"sink_properties='device.description=\\\"Qnlr Speakerphone\\\"'\""),
              0);
    EXPECT_TRUE(waitUntil([&] { return dlg->m_instructions != kConnectText; }, 5000));
    EXPECT_EQ(dlg->m_instructions.rfind("You are testing", 0), 0u) << dlg->m_instructions;
}

}  // namespace
