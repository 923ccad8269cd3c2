#include <gtest/gtest.h>

#include "CatalogueBench.h"

namespace {

TEST(ProductFamilies, SiblingCodesAndVarnholtCodesBelongToTheirFamilies) {
    for (const int code : {19, 20, 21, 22, 275, 276, 277, 278, 53504, 53505, 4354}) {
        EXPECT_TRUE(CHIDProtocol::IsOrrinCode(code)) << code;
    }
    EXPECT_FALSE(CHIDProtocol::IsOrrinCode(18));
    EXPECT_FALSE(CHIDProtocol::IsOrrinCode(23 | 0x100));
    for (const int code : {18, 274, 54016, 530}) {
        EXPECT_TRUE(CHIDProtocol::IsVelmarCode(code)) << code;
    }
    EXPECT_TRUE(CHIDProtocol::IsKR103Code(32767));
    EXPECT_TRUE(CHIDProtocol::IsKR401Code(4119));
    EXPECT_FALSE(CHIDProtocol::IsKR401Code(24));
    EXPECT_TRUE(CHIDProtocol::IsTolvinCode(1044));

    // The hub belongs to no family.
    EXPECT_FALSE(CHIDProtocol::IsOrrinCode(786) || CHIDProtocol::IsVelmarCode(786) ||
                 CHIDProtocol::IsTolvinCode(786) || CHIDProtocol::IsKR103Code(786) ||
                 CHIDProtocol::IsKR401Code(786));

    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    protocol.m_productCode = 83;
    EXPECT_TRUE(protocol.IsLoopbackModel());
    protocol.m_productCode = 1043;
    EXPECT_FALSE(protocol.IsLoopbackModel());
    EXPECT_TRUE(protocol.IsTolvinFamily());
}

TEST(ProductFamilies, FamilySelectorsAcceptTheirGroupsOnly) {
    EXPECT_TRUE(CHIDProtocol::MatchFamilySelector(275, -2));
    EXPECT_TRUE(CHIDProtocol::MatchFamilySelector(53504, -2));
    EXPECT_FALSE(CHIDProtocol::MatchFamilySelector(32767, -3));
    EXPECT_TRUE(CHIDProtocol::MatchFamilySelector(29, -3));
    EXPECT_TRUE(CHIDProtocol::MatchFamilySelector(4354, -4));
    EXPECT_FALSE(CHIDProtocol::MatchFamilySelector(19, -5));
    EXPECT_TRUE(CHIDProtocol::MatchFamilySelector(277, -5));
    EXPECT_TRUE(CHIDProtocol::MatchFamilySelector(791, -6));
    EXPECT_FALSE(CHIDProtocol::MatchFamilySelector(786, -7));
    EXPECT_TRUE(CHIDProtocol::MatchFamilySelector(54016, -7));
    EXPECT_TRUE(CHIDProtocol::MatchFamilySelector(4113, -8));
    EXPECT_TRUE(CHIDProtocol::MatchFamilySelector(340, -9));
    EXPECT_FALSE(CHIDProtocol::MatchFamilySelector(83, -10));
    for (const int selector : {-1, -11, 0, 18}) {
        EXPECT_FALSE(CHIDProtocol::MatchFamilySelector(18, selector)) << selector;
    }
}

TEST(ProductFamilies, SupportedDevicesByVendorProductAndButtons) {
    EXPECT_TRUE(CHIDProtocol::IsSupportedDevice(0x3B59, 12345, 0));
    EXPECT_FALSE(CHIDProtocol::IsSupportedDevice(0x3B59, 12345, 1));
    EXPECT_TRUE(CHIDProtocol::IsSupportedDevice(0x0556, 21, 0));
    EXPECT_FALSE(CHIDProtocol::IsSupportedDevice(0x0556, 22, 0));
    EXPECT_TRUE(CHIDProtocol::IsSupportedDevice(0x2E71, 53505, 0));
    EXPECT_FALSE(CHIDProtocol::IsSupportedDevice(0x2E71, 18, 0));
    EXPECT_FALSE(CHIDProtocol::IsSupportedDevice(0x046D, 18, 0));
}

TEST(LevelSteps, MappingsMeetAtTheirEdgesAndRoundTrip) {
    EXPECT_EQ(CHIDProtocol::LevelToSliderValue(0), 0);
    EXPECT_EQ(CHIDProtocol::LevelToSliderValue(1), 75);
    EXPECT_EQ(CHIDProtocol::LevelToSliderValue(10), 2500);
    EXPECT_EQ(CHIDProtocol::LevelToSliderValue(24), 65535);
    EXPECT_EQ(CHIDProtocol::SliderValueToLevel(0), 0);
    EXPECT_EQ(CHIDProtocol::SliderValueToLevel(50), 0);
    EXPECT_EQ(CHIDProtocol::SliderValueToLevel(51), 1);
    EXPECT_EQ(CHIDProtocol::SliderValueToLevel(62000), 23);
    EXPECT_EQ(CHIDProtocol::SliderValueToLevel(62001), 24);
    EXPECT_EQ(CHIDProtocol::SliderValueToLevel(65535), 24);
    EXPECT_EQ(CHIDProtocol::SliderValueToLevel(-5), 0);
    for (int step = 0; step <= 24; ++step) {
        EXPECT_EQ(CHIDProtocol::SliderValueToLevel(CHIDProtocol::LevelToSliderValue(step)), step);
    }
}

TEST(LevelSteps, StepsOutsideTheTableAreClamped) {
    // A register's low six bits reach up to 63.
    EXPECT_EQ(CHIDProtocol::LevelToSliderValue(63), 65535);
    EXPECT_EQ(CHIDProtocol::LevelToSliderValue(25), 65535);
    EXPECT_EQ(CHIDProtocol::LevelToSliderValue(-1), 0);
}

TEST(SendCommandNoReply, WritesOneReportWithoutReadingOrAddressing) {
    CatalogueBench bench;
    ASSERT_TRUE(bench.connect("tolvin-sip"));  // 11-byte reports
    const auto before = bench.mark();
    EXPECT_TRUE(bench.protocol.SendCommandNoReply(0x8401));
    const auto messages = bench.messagesSince(before);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], (std::vector<std::uint8_t>{0x84, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(bench.model().state().switchOn(0x01));

    bench.protocol.OpenDevice(false, false);
    EXPECT_FALSE(bench.protocol.SendCommandNoReply(0x8406));
    EXPECT_EQ(bench.unit->writeCount(), before + 1);
}

TEST(SendCommandNoReply, RefusesAnOutputReportTooShortForTheWord) {
    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    sim::SimHidUnit::Config config;
    config.productId = 83;
    config.inputReportLength = 9;
    config.outputReportLength = 2;
    auto unit = std::make_shared<sim::SimHidUnit>(config, std::make_shared<sim::SimUnitModel>(83, 0));
    bus.attach(unit);
    protocol.RefreshDeviceList();
    protocol.m_selectedDevice = 0;
    protocol.OpenDevice(true, false);
    ASSERT_TRUE(protocol.m_deviceOpen);
    EXPECT_FALSE(protocol.SendCommandNoReply(0x8401));
    EXPECT_EQ(unit->writeCount(), 0u);
}

TEST(RefreshDeviceList, ListsThePresentInterfacesAgain) {
    CatalogueBench bench;
    bench.attach("kr103");
    bench.protocol.RefreshDeviceList();
    EXPECT_EQ(bench.protocol.m_devices.size(), 1u);
    bench.attach("orrin-pcs");
    bench.protocol.RefreshDeviceList();
    ASSERT_EQ(bench.protocol.m_devices.size(), 2u);
    EXPECT_EQ(bench.protocol.m_devices[1].attributes.productId, 20);
}

}  // namespace
