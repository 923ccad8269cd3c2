#include <gtest/gtest.h>

#include <algorithm>

#include "CatalogueBench.h"
#include "platform/MessageBox.h"

namespace {

bool SentAny(const std::vector<int>& codes, std::initializer_list<int> wanted) {
    return std::any_of(codes.begin(), codes.end(), [&wanted](int code) {
        return std::find(wanted.begin(), wanted.end(), code) != wanted.end();
    });
}

struct InterfaceCase {
    const char* label;
    const char* key;
    std::function<void(sim::UnitProfile&)> change;
    int code;
    const char* name;
    bool relays;  // relay or line-select commands were sent
};

class InterfaceDetection : public ::testing::TestWithParam<InterfaceCase> {};

TEST_P(InterfaceDetection, BoardCodeAndName) {
    const InterfaceCase& c = GetParam();
    CatalogueBench bench;
    bench.attach(Modified(c.key, c.change));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    const auto before = bench.mark();
    EXPECT_EQ(bench.protocol.DetectInterfaceType(), c.name);
    EXPECT_EQ(bench.protocol.m_interfaceTypeCode, c.code);
    EXPECT_EQ(SentAny(bench.requestsSince(before), {0x2080, 0x2180, 0x2710, 0x2610}), c.relays);
}

std::string Label(const ::testing::TestParamInfo<InterfaceCase>& info) {
    return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(Branches, InterfaceDetection,
                         ::
                             testing::
                                 Values(InterfaceCase{"TolvinUnknownBoard", "tolvin-sip",
                                                      [](sim::UnitProfile& p) {
                                                          p.interfaceBoardWord = 0x0200;
                                                      },
                                                      0, "", false},
                                        InterfaceCase{
                                            "TolvinSmart", "tolvin-sip",
                                            [](sim::UnitProfile& p) { p.interfaceBoardWord = 0x00FF; }, 5030,
                                            "KR503-Smart", false},
                                        InterfaceCase{
                                            "TolvinSilent", "tolvin-sip",
                                            [](sim::UnitProfile& p) { p.interfaceBoardWord.reset(); }, 0, "",
                                            false},
                                        InterfaceCase{"Velmar6NoBoard", "velmar3",
                                                      [](sim::UnitProfile& p) { p.probe41 = 0x04; }, 3010, "",
                                                      false},
                                        InterfaceCase{"Velmar6Smart", "velmar3",
                                                      [](sim::UnitProfile& p) {
                                                          p.interfaceStatus = sim::StatusWords{0, 1 << 2};
                                                      },
                                                      3030, "KR303 - Smart", false},
                                        InterfaceCase{"Velmar6OtherBoard", "velmar3",
                                                      [](sim::UnitProfile& p) {
                                                          p.interfaceStatus = sim::StatusWords{0, 2 << 2};
                                                      },
                                                      0, "", false},
                                        InterfaceCase{"Velmar6StatusRefused", "velmar3",
                                                      [](sim::UnitProfile& p) { p.interfaceStatus.reset(); },
                                                      0, "", false},
                                        InterfaceCase{"Velmar6Power", "velmar3",
                                                      [](sim::UnitProfile& p) { p.probe40 = 0x80; }, 3040,
                                                      "KR304 - External Power Interface", false},
                                        InterfaceCase{"Velmar6Sip", "velmar3",
                                                      [](sim::UnitProfile& p) { p.probe40 = 0x84; }, 3050,
                                                      "KR305 - SIP Interface", false},
                                        InterfaceCase{"Velmar6NoBoardByProbe", "velmar3",
                                                      [](sim::UnitProfile& p) { p.probe40 = 0x8C; }, 3010, "",
                                                      false},
                                        InterfaceCase{"Velmar5DaisyChain", "velmar-tf",
                                                      [](sim::UnitProfile& p) { p.probe41 = 0x80; }, 3040,
                                                      "KR304 - Daisy Chain Interface", false},
                                        InterfaceCase{"Velmar5LevelBelow10NoLine", "velmar-old",
                                                      [](sim::UnitProfile& p) {
                                                          p.linePresent = {false, false, false, false};
                                                      },
                                                      0, "", false},
                                        InterfaceCase{"Velmar5TwoLinesFromTheStart", "velmar-tf",
                                                      [](sim::UnitProfile& p) {
                                                          p.linePresent = {true, true, true, true};
                                                      },
                                                      3022, "KR302-2L - PSTN 2 Line Analog Interface", true},
                                        InterfaceCase{"Velmar5OneLineFromTheStart", "velmar-tf",
                                                      [](sim::UnitProfile& p) {
                                                          p.linePresent = {true, true, false, false};
                                                      },
                                                      3021, "KR302-1L - PSTN 1 Line Analog Interface", true},
                                        InterfaceCase{
                                            "Velmar5OneLineBehindTheRelay", "velmar-tf",
                                            [](sim::UnitProfile& p) {
                                                p.linePresent = {false, false, false, true};
                                            },
                                            3021,
                                            "KR302-1L - PSTN 1 Line Analog Interface", true},
                                        InterfaceCase{"Velmar5NoLineVideo", "velmar-tf",
                                                      [](sim::UnitProfile& p) {
                                                          p.linePresent = {false, false, false, false};
                                                      },
                                                      3030,
                                                      "KR303/KR305 - Video Codec or Digital phone interface",
                                                      true},
                                        InterfaceCase{"Velmar5NoLineNoBoard", "velmar-tf",
                                                      [](sim::UnitProfile& p) {
                                                          p.linePresent = {false, false, false, false};
                                                          p.probe41 = 0x8C;
                                                      },
                                                      3010, "", true},
                                        InterfaceCase{"KR401UpToFirmware2000", "kr401-backup",
                                                      [](sim::UnitProfile& p) {
                                                          p.firmware = sim::FirmwareVersion{2, 0};
                                                      },
                                                      4010, "", false}),
                         Label);

TEST(InterfaceDetectionLevel9, ALinePresentNamesTheOlderBoardWithoutRelays) {
    CatalogueBench bench;
    bench.attach(Modified("velmar-old", [](sim::UnitProfile& p) { p.protocolLevel = 9; }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    bench.protocol.m_protocolVersion = 9;
    const auto before = bench.mark();
    EXPECT_EQ(bench.protocol.DetectInterfaceType(), "KR302-L - PSTN Line Analog Interface");
    EXPECT_FALSE(SentAny(bench.requestsSince(before), {0x2080, 0x2180, 0x2710, 0x2610}));

    // A known name is returned without asking again.
    const auto again = bench.mark();
    EXPECT_EQ(bench.protocol.GetInterfaceTypeCode(), 3020);
    EXPECT_EQ(bench.protocol.DetectInterfaceType(), "KR302-L - PSTN Line Analog Interface");
    EXPECT_EQ(bench.mark(), again);
}

TEST(InterfaceDetectionFirmware, Firmware5999TakesTheLineProbes) {
    CatalogueBench bench;
    bench.attach(Modified("velmar3", [](sim::UnitProfile& p) { p.probe41 = 0x0C; }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    bench.protocol.m_firmwareNumber = 5999;
    const auto before = bench.mark();
    // Parameter (8, 3) reports a line in every relay state: two lines.
    EXPECT_EQ(bench.protocol.DetectInterfaceType(), "KR302-2L - PSTN 2 Line Analog Interface");
    EXPECT_TRUE(SentAny(bench.requestsSince(before), {0x2080}));

    CatalogueBench newer;
    newer.attach(Modified("velmar3", [](sim::UnitProfile& p) { p.probe41 = 0x0C; }));
    ASSERT_TRUE(newer.protocol.Connect(-1, false, true));
    newer.protocol.m_firmwareNumber = 6000;
    EXPECT_EQ(newer.protocol.DetectInterfaceType(), "");
    EXPECT_EQ(newer.protocol.m_interfaceTypeCode, 3010);
}

TEST(LinePresence, ByProductFamily) {
    CatalogueBench castel;
    ASSERT_TRUE(castel.connect("castel"));
    EXPECT_FALSE(castel.protocol.IsLinePresent());
    castel.protocol.ToggleLineRelay();
    EXPECT_TRUE(castel.protocol.IsLinePresent());
    EXPECT_EQ(castel.requestsSince(castel.mark() - 1).back(), 0x41FF);

    CatalogueBench velmar;
    ASSERT_TRUE(velmar.connect("velmar-old"));
    EXPECT_TRUE(velmar.protocol.IsLinePresent());
    velmar.model().onRequest(0x40FF, Silent());
    EXPECT_FALSE(velmar.protocol.IsLinePresent());

    CatalogueBench other;
    ASSERT_TRUE(other.connect("brevik-kr600"));
    const auto before = other.mark();
    EXPECT_FALSE(other.protocol.IsLinePresent());
    EXPECT_EQ(other.mark(), before);
}

TEST(PicInfo, TheHubHasNoInterfacePicAndNothingIsAsked) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("velmar-controller"));
    const auto before = bench.mark();
    int id = 7;
    int major = 7;
    int minor = 7;
    EXPECT_FALSE(bench.protocol.ReadPicInfo(2, id, major, minor));
    EXPECT_EQ(id, -1);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    EXPECT_EQ(bench.mark(), before);
}

TEST(PicInfo, AFirstRevisionControllerIsAskedAgainAndNamedByWhich) {
    CatalogueBench bench;
    bench.attach(Modified("brevik-kr600", [](sim::UnitProfile& p) {
        p.mainPic = {{4, {12, 3, 255}}, {1, {0, 2, 6}}};
        p.interfacePic = p.mainPic;
    }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    for (const int which : {1, 2}) {
        int id = 0;
        int major = 0;
        int minor = 0;
        EXPECT_TRUE(bench.protocol.ReadPicInfo(which, id, major, minor));
        EXPECT_EQ(id, which == 1 ? 4 : 5);
        EXPECT_EQ(major, 2);
        EXPECT_EQ(minor, 6);
    }
}

TEST(PicInfo, ARefusedFrameFails) {
    CatalogueBench bench;
    bench.attach(Modified("brevik-kr600", [](sim::UnitProfile& p) { p.interfacePic.clear(); }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    int id = 0;
    int major = 0;
    int minor = 0;
    EXPECT_FALSE(bench.protocol.ReadPicInfo(2, id, major, minor));
    EXPECT_EQ(id, -1);
}

class HardwareConfiguration : public ::testing::Test {
protected:
    void SetUp() override {
        boxes = std::make_shared<platform::RecordingMessageBoxHandler>();
        scoped = std::make_unique<platform::ScopedMessageBoxHandler>(boxes);
    }

    std::shared_ptr<platform::RecordingMessageBoxHandler> boxes;
    std::unique_ptr<platform::ScopedMessageBoxHandler> scoped;
    CatalogueBench bench;
    HardwareConfig config;
};

TEST_F(HardwareConfiguration, DecodesEveryField) {
    auto profile = sim::catalogueProfile("brevik-kr600");
    profile.hardwareConfig = sim::HardwareBytes(2, 1, 2, 4, 5, 9, 11, 2, 3);
    bench.attach(profile);
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    const auto before = bench.mark();
    ASSERT_TRUE(bench.protocol.ReadHardwareConfig(config));
    EXPECT_EQ(config.dspType, 5509);
    EXPECT_EQ(config.dspName, "TMS320VC5509");
    EXPECT_EQ(config.clockMhz, 192);
    EXPECT_EQ(config.memoryType, 2);
    EXPECT_EQ(config.config4, 4);
    EXPECT_EQ(config.config5, 5);
    EXPECT_EQ(config.config6, 9);
    EXPECT_EQ(config.hardwareVersion, 11);
    EXPECT_EQ(config.config8, 2);
    EXPECT_EQ(config.config9, 3);
    EXPECT_EQ(bench.requestsSince(before), (std::vector<int>{0x0555, 0xB600, 0xF003}));
}

TEST_F(HardwareConfiguration, ClockCode3KeepsTheDefault) {
    auto profile = sim::catalogueProfile("brevik-kr600");
    profile.hardwareConfig = sim::HardwareBytes(0, 3, 0, 1, 0, 0, 1, 0, 0);
    bench.attach(profile);
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    ASSERT_TRUE(bench.protocol.ReadHardwareConfig(config));
    EXPECT_EQ(config.clockMhz, 108);
}

TEST_F(HardwareConfiguration, AllBytesSetLeaveTheDefaults) {
    ASSERT_TRUE(bench.connect("kr103"));
    ASSERT_TRUE(bench.protocol.ReadHardwareConfig(config));
    EXPECT_EQ(config.clockMhz, 108);
    EXPECT_EQ(config.config5, 15);
    EXPECT_EQ(config.dspType, 0);
    EXPECT_EQ(config.dspName, "");
}

TEST_F(HardwareConfiguration, CancelInTheFirstBoxSendsNothingFurther) {
    ASSERT_TRUE(bench.connect("new-board"));
    boxes->scriptAnswer(platform::id::kCancel);
    const auto before = bench.mark();
    EXPECT_FALSE(bench.protocol.ReadHardwareConfig(config));
    ASSERT_EQ(boxes->count(), 1u);
    const auto box = boxes->shown()[0];
    EXPECT_EQ(box.caption, "Reading Configuration");
    EXPECT_EQ(box.text, "You should remove protection jumper J5 for reading the hardware configuration.   ");
    EXPECT_EQ(box.style, platform::mb::kOkCancel | platform::mb::kIconWarning);
    // Only the link check and the new-board probe went out.
    EXPECT_EQ(bench.requestsSince(before), (std::vector<int>{0x0555, 0x36FF, 0xB600, 0xF005}));
}

TEST_F(HardwareConfiguration, CancelForAnOrrinUnitSendsNeitherB600NorTheFrame) {
    bench.attach(Modified("h880-m", [](sim::UnitProfile& p) { p.probe41 = 0x80; }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    boxes->scriptAnswer(platform::id::kCancel);
    const auto before = bench.mark();
    EXPECT_FALSE(bench.protocol.ReadHardwareConfig(config));
    EXPECT_EQ(boxes->count(), 1u);
    EXPECT_EQ(bench.requestsSince(before), (std::vector<int>{0x0555, 0x41FF}));
}

TEST_F(HardwareConfiguration, FiveTimesOkGivesUp) {
    bench.attach(Modified("h880-m", [](sim::UnitProfile& p) { p.probe41 = 0x80; }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    for (int i = 0; i < 5; ++i) {
        boxes->scriptAnswer(platform::id::kOk);
    }
    const auto before = bench.mark();
    EXPECT_FALSE(bench.protocol.ReadHardwareConfig(config));
    ASSERT_EQ(boxes->count(), 5u);
    EXPECT_EQ(boxes->shown()[0].text,
              "You should release the volume up button for reading the hardware configuration.   ");
    EXPECT_FALSE(SentAny(bench.requestsSince(before), {0xF003}));
}

TEST_F(HardwareConfiguration, AReleasedButtonLetsTheReadGoOn) {
    bench.attach(Modified("h880-m", [](sim::UnitProfile& p) { p.probe41 = 0x80; }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    // The user releases the button while the first box is up.
    auto& model = bench.model();
    int probes = 0;
    model.onRequest(0x41FF, [&probes](std::span<const std::uint8_t>) {
        return sim::SimUnitModel::Reply{{0x41, static_cast<std::uint8_t>(++probes == 1 ? 0x80 : 0x00)}};
    });
    boxes->scriptAnswer(platform::id::kOk);
    EXPECT_TRUE(bench.protocol.ReadHardwareConfig(config));
    EXPECT_EQ(boxes->count(), 1u);
    EXPECT_EQ(config.hardwareVersion, 2);
}

TEST(NetworkTexts, RequestSequenceAndSignedWords) {
    CatalogueBench bench;
    bench.attach(Modified("brevik-kr600", [](sim::UnitProfile& p) { p.sipWords = {0xFFFF, 0, 0x8000, 1}; }));
    ASSERT_TRUE(bench.protocol.Connect(-1, false, true));
    const auto before = bench.mark();
    EXPECT_EQ(bench.protocol.ReadSipVersion(), "-1.0.-32768.1");
    const auto messages = bench.messagesSince(before);
    ASSERT_EQ(messages.size(), 10u);  // four clears, the request, the raise, four reads
    EXPECT_EQ(messages[4][5], 0);     // index 0 ...
    EXPECT_EQ(messages[4][7], 6);     // ... gets the SIP request
    EXPECT_EQ(std::vector<std::uint8_t>(messages[5].begin(), messages[5].begin() + 8),
              (std::vector<std::uint8_t>{0xF0, 0x17, 0x06, 0x02, 0x00, 0x02, 0x00, 0x02}));
    EXPECT_EQ(messages[9][1], 0x0F);
    EXPECT_EQ(messages[9][5], 4);
}

TEST(NetworkTexts, OnlyForTheirLevelsProductsAndBoards) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("brevik-kr600"));
    bench.protocol.m_protocolVersion = 21;
    const auto before = bench.mark();
    EXPECT_EQ(bench.protocol.ReadSipVersion(), "");
    EXPECT_EQ(bench.protocol.ReadMacAddress(), "");
    EXPECT_EQ(bench.protocol.ReadIpAddress(), "");
    EXPECT_EQ(bench.mark(), before);

    CatalogueBench castel;
    ASSERT_TRUE(castel.connect("castel-standalone"));  // level 22, PSTN board
    EXPECT_EQ(castel.protocol.ReadSipVersion(), "");
    EXPECT_EQ(castel.protocol.ReadMacAddress(), "");
    EXPECT_EQ(castel.protocol.m_interfaceTypeCode, 4020);  // detected on the way
}

TEST(NetworkTexts, AnUnansweredReadIsAReadingError) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("tolvin-sip"));
    EXPECT_EQ(bench.protocol.GetInterfaceTypeCode(), 5050);
    sim::SimFaults faults;
    faults.silentAfterRequests = 7;  // the fourth word read goes unanswered
    bench.unit->setFaults(faults);
    EXPECT_EQ(bench.protocol.ReadIpAddress(), "Reading Error");
}

TEST(LinkCheck, IpModeAnswersWithoutSending) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("kr103"));
    const auto before = bench.mark();
    bench.protocol.m_ipMode = true;
    EXPECT_FALSE(bench.protocol.IsConnected());
    bench.protocol.m_ipAnswered = true;
    EXPECT_TRUE(bench.protocol.IsConnected());
    EXPECT_EQ(bench.mark(), before);
}

TEST(LinkCheck, AnUnpluggedUnitClosesTheDevice) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("kr103"));
    bench.protocol.m_hubForwarding = true;
    bench.unit->unplug();
    EXPECT_FALSE(bench.protocol.IsConnected());
    EXPECT_FALSE(bench.protocol.m_deviceOpen);
    EXPECT_FALSE(bench.protocol.m_hubForwarding);
}

}  // namespace
