#pragma once

#include <QPushButton>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/UnitCatalogue.h"
#include "tests/wizard/WizardFixture.h"

using Trace = std::vector<std::string>;

// The echo page on a simulated unit, and the unit commands of the echo test as readable tokens.
class EchoFixture : public WizardFixture {
protected:
    // The dialog on `model`, connected, on the echo page as Next from the microphone page
    // leaves it.
    void openEchoPage(const std::string& model = "brevik-kr600", sim::SimAudioConfig audio = fastAudio()) {
        start(model, std::move(audio));
        openEchoPageOnStartedDialog();
    }
    void openEchoPageOnStartedDialog() {
        ASSERT_TRUE(dlg->m_hidProtocol.Connect(-1, false, true));
        dlg->FillPlaybackDevices();
        dlg->m_page = PAGE_ECHO_TEST;
        dlg->m_echoStep = ECHO_STEP_NONE;
        dlg->m_audio.m_testMode = PAGE_ECHO_TEST;
        dlg->m_audio.m_playFile = dlg->m_installDir + "WaveFiles/VoicePlayback.wav";
        dlg->m_audio.m_recordFile = dlg->m_dataDir + "WaveFiles/Echo_Test.wav";
    }

    // Puts a first-generation unit in the place of the unit's HID interface: its firmware (1.9)
    // predates the protocol levels, so the wizard gives it level 0. It shares the unit's state,
    // which the acoustic path plays, and its canceller has no stage switches.
    void swapInLevelZeroUnit() {
        sim::UnitProfile profile = sim::catalogueProfile("velmar-old");
        profile.firmware = sim::FirmwareVersion{1, 9};
        profile.protocolLevel = 11;  // answers the routing frames
        const std::shared_ptr<sim::UnitState> shared(std::shared_ptr<sim::UnitState>{},
                                                     &desktop->unitState());
        const auto listed = desktop->hidBus().listInterfaces();
        for (const auto& path : listed.value()) {
            desktop->hidBus().detach(path);
        }
        hid = sim::makeUnit(profile, shared);
        desktop->hidBus().attach(hid);
    }

    // The dialog on a first-generation unit (swapInLevelZeroUnit), on the echo page.
    void openLevelZeroEchoPage(sim::SimAudioConfig audio = fastAudio()) {
        makeDesktop("velmar-old", std::move(audio));
        swapInLevelZeroUnit();
        startDialog();
        openEchoPageOnStartedDialog();
    }

    // Presses Test and waits until the test (every chained run) has ended.
    bool runEchoTest(int timeoutMs = 30000) {
        dlg->OnActionButton();
        return waitUntil([&] { return !dlg->m_playing; }, timeoutMs);
    }

    // The echo test's commands that the unit received since `from` (an index into its written
    // reports): switch words and store commands in hexadecimal, "route a,b", "delay[i]=v" for a
    // write of the speaker delay, and "connect" for the protocol-level query of an
    // identification. Every other message is left out.
    Trace trace(std::size_t from = 0) const {
        Trace out;
        const auto reports = unitHid().writtenReports();
        for (std::size_t i = from; i < reports.size(); ++i) {
            if (std::string token = describe(reports[i]); !token.empty()) {
                out.push_back(token);
            }
        }
        return out;
    }
    std::size_t reportMark() const { return unitHid().writtenReports().size(); }
    sim::SimHidUnit& unitHid() const { return hid ? *hid : *desktop->unit(); }

    static std::string describe(const std::vector<std::uint8_t>& r) {
        if (r.size() < 9) {
            return {};
        }
        char text[32];
        if (r[1] == 0xF0) {
            if (r[2] == 0x15 || r[2] == 0x06) {
                std::snprintf(text, sizeof text, "route %d,%d", r[7], r[8]);
                return text;
            }
            if (r[2] == 0x0E && r[4] == 0 && r[5] == 13) {
                std::snprintf(text, sizeof text, "delay[%d]=%d", r[6], r[7] << 8 | r[8]);
                return text;
            }
            return {};
        }
        const int word = r[1] << 8 | r[2];
        const int low = r[2] & 0x7F;
        const bool testSwitch = low == 0x01 || low == 0x06 || low == 0x0E || low == 0x15;
        if (((r[1] == 0x80 || r[1] == 0x84 || r[1] == 0x86) && testSwitch) || word == 0xB102 ||
            word == 0x0636) {
            std::snprintf(text, sizeof text, "%04X", word);
            return text;
        }
        return r[1] == 0xA4 ? "connect" : "";
    }

    std::shared_ptr<sim::SimHidUnit> hid;  // the unit put in by swapInLevelZeroUnit
};
