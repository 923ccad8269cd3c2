#include <gtest/gtest.h>

#include "CatalogueBench.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class UnitCommands : public ::testing::Test {
protected:
    void connect(const sim::UnitProfile& profile) {
        bench.attach(profile);
        ASSERT_TRUE(protocol.Connect(-1, false, true));
    }
    void connect(const std::string& key) { connect(sim::catalogueProfile(key)); }

    CatalogueBench bench;
    CHIDProtocol& protocol = bench.protocol;
};

TEST_F(UnitCommands, RegisterBitsKeepTheLowSevenBits) {
    connect("brevik-kr600");
    bench.model().state().setReg(2, 0x85);
    auto before = bench.mark();
    EXPECT_EQ(protocol.SetRegisterBit(2), 0x5285);
    EXPECT_EQ(bench.requestsSince(before), (std::vector<int>{0x6200, 0x5285}));
    before = bench.mark();
    protocol.ClearRegisterBit(10);  // only the low three bits name the register
    EXPECT_EQ(bench.requestsSince(before), (std::vector<int>{0x6200, 0x5205}));
    EXPECT_EQ(bench.model().state().reg(2), 0x05);
}

TEST_F(UnitCommands, VolumeRegistersAndSwitchesReachTheUnitState) {
    connect("brevik-kr600");
    auto& state = bench.model().state();
    EXPECT_EQ(protocol.SendCommand(0x5118, 1000), 0x5118);
    EXPECT_EQ(protocol.SendCommand(0x5305, 1000), 0x5305);
    EXPECT_EQ(state.speakerVolumeStep(), 24);
    EXPECT_EQ(state.microphoneGainStep(), 5);
    EXPECT_EQ(protocol.SendCommand(0x6100, 1000) & 63, 24);

    EXPECT_EQ(protocol.SendCommand(0x8095, 1000), 0x8295);  // switch 0x15 is on
    EXPECT_EQ(protocol.SendCommand(0x8415, 1000), 0x8415);
    EXPECT_FALSE(state.switchOn(0x15));
    EXPECT_EQ(protocol.SendCommand(0x8095, 1000), 0x8095);
    EXPECT_EQ(protocol.SendCommand(0x8601, 1000), 0x8601);
    EXPECT_TRUE(state.switchOn(0x01));

    // Below level 10 the speaker sits in register 4.
    CatalogueBench old;
    ASSERT_TRUE(old.connect("velmar-old"));
    old.protocol.SendCommand(0x5407, 1000);
    EXPECT_EQ(old.model().state().speakerVolumeStep(), 7);
}

TEST_F(UnitCommands, SerialNumberStopsAtTheFirstZeroAndSkipsFillBytes) {
    connect(Modified("brevik-kr600", [](sim::UnitProfile& p) { p.serialNumber = "AB\xFF"; }));
    const auto before = bench.mark();
    EXPECT_EQ(protocol.ReadSerialNumber(), "AB");
    EXPECT_EQ(bench.requestsSince(before), (std::vector<int>{0xF01A}));

    protocol.m_protocolVersion = 21;
    EXPECT_EQ(protocol.ReadSerialNumber(), "");
}

TEST_F(UnitCommands, SerialNumberOfTwentyCharactersAndAnUnansweredStep) {
    connect(
        Modified("brevik-kr600", [](sim::UnitProfile& p) { p.serialNumber = "ABCDEFGHIJKLMNOPQRSTUVWX"; }));
    EXPECT_EQ(protocol.ReadSerialNumber(), "ABCDEFGHIJKLMNOPQRST");

    sim::SimFaults faults;
    faults.silentAfterRequests = 2;
    bench.unit->setFaults(faults);
    EXPECT_EQ(protocol.ReadSerialNumber(), "Read Error");
}

TEST_F(UnitCommands, ParameterBitWritesAMaskedWord) {
    connect("brevik-kr600");
    auto before = bench.mark();
    EXPECT_EQ(protocol.SetParameterBit(9, 1, 1), -1);
    EXPECT_EQ(protocol.SetParameterBit(3, 32, 1), -1);  // no such bit
    EXPECT_EQ(bench.mark(), before);

    EXPECT_EQ(protocol.SetParameterBit(3, 1, 1), 0xF017);
    EXPECT_EQ(Bytes(bench.messagesSince(before)[0]).size(), 8u);
    EXPECT_EQ(bench.messagesSince(before)[0], (Bytes{0xF0, 0x17, 3, 2, 0x00, 0x02, 0x00, 0x02}));
    EXPECT_EQ(bench.model().state().parameter(3, 2, 0), 0x0002);
    EXPECT_EQ(protocol.SetParameterBit(3, 1, 0), 0xF017);
    EXPECT_EQ(bench.model().state().parameter(3, 2, 0), 0x0000);
}

TEST_F(UnitCommands, StatusBitsNumberWordOneFirst) {
    connect("brevik-kr600");
    auto& state = bench.model().state();
    state.setParameter(7, 3, 0, 0x0002);
    state.setParameter(7, 3, 1, 0x0008);
    EXPECT_EQ(protocol.TestStatusBit(17, true, 1), 1);
    EXPECT_EQ(protocol.TestStatusBit(16, true, 1), 0);
    EXPECT_EQ(protocol.TestStatusBit(3, true, 1), 1);
    EXPECT_EQ(protocol.TestStatusBit(4, true, 1), 0);
    const auto before = bench.mark();
    EXPECT_EQ(protocol.TestStatusBit(32, true, 1), -1);
    EXPECT_EQ(protocol.TestStatusBit(-1, true, 1), -1);
    EXPECT_EQ(bench.mark(), before);
}

TEST_F(UnitCommands, StatusWordsByFrameAndTheirRefusal) {
    connect("velmar-controller-with-unit");
    std::uint16_t words[2] = {0, 0};
    EXPECT_TRUE(protocol.GetStatusWords(words, false, 1));
    EXPECT_EQ(words[1], 0x0008);

    CatalogueBench other;
    ASSERT_TRUE(other.connect("velmar3-m"));
    // The unit has no interface processor and refuses the request with error byte 0xFB.
    EXPECT_FALSE(other.protocol.GetStatusWords(words, false, 2));
    EXPECT_EQ(words[0], 0xFB);
    EXPECT_EQ(words[1], 0);
}

TEST_F(UnitCommands, OlderKR401UnitsKeepTheirStatusInParameter14) {
    connect("kr401");
    std::uint16_t words[2] = {0, 0};
    const auto before = bench.mark();
    EXPECT_TRUE(protocol.GetStatusWords(words, true, 2));
    EXPECT_EQ(words[0], 0x0001);
    EXPECT_EQ(words[1], 0x0008);
    EXPECT_EQ(bench.messagesSince(before)[0][4], 14);
}

TEST_F(UnitCommands, RoutingOperationDependsOnTheProduct) {
    connect("brevik-kr600");
    auto before = bench.mark();
    EXPECT_EQ(protocol.SetRouting(8, 25), 0xF015);
    EXPECT_EQ(bench.messagesSince(before)[0], (Bytes{0xF0, 0x15, 0, 0, 0, 0, 8, 25}));

    CatalogueBench other;
    ASSERT_TRUE(other.connect("kr103"));
    before = other.mark();
    EXPECT_EQ(other.protocol.SetRouting(25, 25), 0xF006);
    EXPECT_EQ(other.messagesSince(before)[0][1], 0x06);
    other.protocol.OpenDevice(false, false);
    EXPECT_EQ(other.protocol.SetRouting(25, 25), -1);
}

TEST_F(UnitCommands, NewBoardProbeReadsOppositeBitsForOrrinAndCode18) {
    connect(Modified("orrin-pcs", [](sim::UnitProfile& p) { p.probe41 = 0x80; }));
    EXPECT_TRUE(protocol.IsNewBoard());
    bench.model().onRequest(0x41FF, Silent());
    EXPECT_TRUE(protocol.IsNewBoard());  // no answer counts as a new board

    CatalogueBench velmar;
    velmar.attach(Modified("velmar-old", [](sim::UnitProfile& p) { p.probe41 = 0x80; }));
    ASSERT_TRUE(velmar.protocol.Connect(-1, false, true));
    EXPECT_FALSE(velmar.protocol.IsNewBoard());

    CatalogueBench hub;
    ASSERT_TRUE(hub.connect("velmar-controller"));
    const auto before = hub.mark();
    EXPECT_FALSE(hub.protocol.IsNewBoard());
    EXPECT_EQ(hub.mark(), before);
}

TEST_F(UnitCommands, UnitIdLayouts) {
    sim::SimHidBus bus;
    CHIDProtocol p{bus};
    p.m_productCode = 1042;
    EXPECT_EQ(p.FormatUnitId(sim::TolvinUnitId(3, 25, 1234)), "3-16-02-001234");
    p.m_productCode = 83;
    EXPECT_EQ(p.FormatUnitId(sim::DefaultUnitId(2, 5, 3, true, 7, 42)), "2-05-03-007-0042 F");
    EXPECT_EQ(p.FormatUnitId(sim::DefaultUnitId(2, 5, 3, false, 7, 42)), "2-05-03-007-0042");
    p.m_unitIdAltLayout = true;
    EXPECT_EQ(p.FormatUnitId(sim::AltUnitId(1, 31, false, 5000)), "1-31-5000");
    EXPECT_EQ(p.FormatUnitId(sim::AltUnitId(1, 31, true, 5000)), "1-31-5000 F");
    EXPECT_EQ(p.FormatUnitId(CHIDProtocol::kUnitIdNoAnswer), "Not Supported");
    EXPECT_EQ(p.FormatUnitId(CHIDProtocol::kUnitIdUnread), "New Board");
}

TEST_F(UnitCommands, AlternativeLayoutOnlyForTheProductsThatUseIt) {
    connect(Modified("kr103", [](sim::UnitProfile& p) { p.unitId = sim::AltUnitId(1, 31, false, 5000); }));
    EXPECT_EQ(protocol.GetUnitId(), "1-01-15-001-0904");
    EXPECT_FALSE(protocol.m_unitIdAltLayout);
}

TEST_F(UnitCommands, AnErasedUnitIdIsAWordNotAMarker) {
    connect(Modified("brevik-kr600", [](sim::UnitProfile& p) { p.unitId = 0xFFFFFFFF; }));
    EXPECT_EQ(protocol.ReadUnitId(), 0xFFFFFFFFLL);
    EXPECT_TRUE(protocol.m_unitIdRead);
    const auto before = bench.mark();
    EXPECT_EQ(protocol.GetUnitId(), "7-15-15-255-4095 F");
    EXPECT_EQ(bench.mark(), before);  // cached

    protocol.Disconnect();
    EXPECT_FALSE(protocol.m_unitIdRead);
}

TEST_F(UnitCommands, UnansweredUnitIdIsNotSupportedAndReadAgainNextTime) {
    connect("kr103");
    bench.model().onRequest(0xF005, Silent());
    EXPECT_EQ(protocol.ReadUnitId(), CHIDProtocol::kUnitIdNoAnswer);
    EXPECT_EQ(protocol.GetUnitId(), "Not Supported");
    EXPECT_FALSE(protocol.m_unitIdRead);
}

TEST_F(UnitCommands, NewBoardHasNoUnitId) {
    connect("new-board");
    EXPECT_EQ(protocol.ReadUnitId(), CHIDProtocol::kUnitIdNewBoard);
    const auto before = bench.mark();
    EXPECT_EQ(protocol.GetUnitId(), "New Board");
    EXPECT_GT(bench.mark(), before);  // read again at every call
}

TEST_F(UnitCommands, ParameterTextsAreReadCharacterByCharacter) {
    connect("brevik-kr600");
    std::string text = "old";
    EXPECT_EQ(protocol.GetParameterString(0, 1, text), 0xF00F);
    EXPECT_EQ(text, "Qnlr Brevik KR600");
    text = "kept";
    EXPECT_EQ(protocol.GetParameterString(0, 5, text), -3);  // no such text: refused with 254
    EXPECT_EQ(text, "kept");

    bench.model().setTextParameter(0, 7, "Z");
    const auto before = bench.mark();
    EXPECT_EQ(protocol.GetParameterString(0, 7, text), 0xF00F);
    EXPECT_EQ(text, "Z");
    EXPECT_EQ(bench.messagesSince(before)[1], (Bytes{0xF0, 0x0F, 0x02, 0, 7, 0, 0, 0}));
}

TEST_F(UnitCommands, ParameterTextStopsAt119Characters) {
    connect("brevik-kr600");
    bench.model().setTextParameter(0, 12, std::string(200, 'x'));
    std::string text;
    const auto before = bench.mark();
    EXPECT_EQ(protocol.GetParameterString(0, 12, text), 0xF00F);
    EXPECT_EQ(text, std::string(119, 'x'));
    EXPECT_EQ(bench.mark() - before, 120u);  // the length frame and 119 characters
}

}  // namespace
