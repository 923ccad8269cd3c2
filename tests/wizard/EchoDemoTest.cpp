// The simulated unit's echo-canceller fault on the command line, which the demo passes on.
#include <gtest/gtest.h>

#include "sim/SimAudio.h"
#include "wizard/CProbeGuideApp.h"

namespace {

TEST(EchoDemo, FaultIsTakenForASimulatedUnitOnly) {
    const struct {
        std::vector<std::string> args;
        std::optional<sim::EchoCancellerFault> fault;  // nothing: refused
        const char* error;
    } cases[] = {
        {{"--simulate"}, sim::EchoCancellerFault::None, ""},
        {{"--simulate", "--fault=stuck"}, sim::EchoCancellerFault::Stuck, ""},
        {{"--fault=diverging", "--simulate=tolvin-pstn"}, sim::EchoCancellerFault::Diverging, ""},
        {{"--simulate", "--fault=none"}, sim::EchoCancellerFault::None, ""},
        {{"--fault=stuck"},
         std::nullopt,
         "--fault needs --simulate: only a simulated unit can be given a fault"},
        {{"--simulate", "--fault=broken"},
         std::nullopt,
         "unknown fault \"broken\"; the faults are: none stuck diverging"},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto options = ParseWizardCommandLine(c.args, error);
        ASSERT_EQ(options.has_value(), c.fault.has_value()) << c.args.back();
        EXPECT_EQ(error, c.error);
        if (options) {
            EXPECT_EQ(options->simulatedFault, *c.fault) << c.args.back();
        }
    }
}

TEST(EchoDemo, SimulatedUnitPlaysTheFaultyCanceller) {
    WizardOptions options;
    options.simulatedModel = "brevik-kr600";
    options.simulatedFault = sim::EchoCancellerFault::Diverging;
    const auto platform = WizardPlatform::Create(options, "/nonexistent/bin/quenlor-probe-guide");
    const auto& audio = dynamic_cast<sim::SimAudio&>(platform->services().waveDevices);
    EXPECT_EQ(audio.config().acoustic.fault, sim::EchoCancellerFault::Diverging);
}

}  // namespace
