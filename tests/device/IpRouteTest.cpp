#include <gtest/gtest.h>

#include "device/HIDProtocol.h"
#include "platform/MessageBox.h"
#include "platform/System.h"
#include "sim/CatalogueUnitModel.h"
#include "sim/SimHidBus.h"
#include "sim/SimUdpUnit.h"
#include "sim/UnitCatalogue.h"
#include "tests/support/TestDesktop.h"

namespace {

class IpRoute : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(unit.ok());
        ASSERT_TRUE(protocol.m_udpSocket.Create(0, "127.0.0.1"));
        protocol.m_udpSocket.SetOwner(&protocol);
        ASSERT_TRUE(protocol.m_udpSocket.SetPeerAddress("127.0.0.1"));
        protocol.m_udpSocket.SetRemotePort(unit.port());
        protocol.m_ipMode = true;
    }

    int send(std::vector<std::uint8_t> message) { return protocol.WaitForAnswer(message, reply, 1000); }

    // Lets the socket take what the unit sent it.
    void settle() { protocol.m_udpSocket.WaitForDatagrams(100); }

    void announce(const std::string& text) {
        ASSERT_TRUE(unit.sendTo(protocol.m_udpSocket.LocalPort(), text));
        settle();
    }

    std::string row(int i) const { return protocol.m_discoveredUnits[static_cast<std::size_t>(i)].data(); }

    ScopedDesktopFolder folder;
    std::shared_ptr<sim::SimUnitModel> model = std::make_shared<sim::SimUnitModel>(83, 0);
    sim::SimUdpUnit unit{model};
    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    ReplyBuffer reply{};
    std::shared_ptr<platform::RecordingMessageBoxHandler> boxes =
        std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scopedBoxes{boxes};
};

TEST_F(IpRoute, RequestsGoAsDspDatagramsAndRepliesAreMatched) {
    std::string log;
    protocol.m_log = &log;
    EXPECT_TRUE(protocol.UsesAddressBytes() == false);
    EXPECT_EQ(send({0xB1, 0x00}), 0xB100);
    EXPECT_EQ(send({0xF0, 0x11, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00}), 0xF011);
    const auto received = unit.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], std::string("DSP: B100000000000000\r") + '\0');
    EXPECT_EQ(received[1], std::string("DSP: F0110A0000000000\r") + '\0');
    EXPECT_EQ(received[1].size(), 23u);
    EXPECT_EQ(reply[2], 0x0A);
    EXPECT_EQ(protocol.m_ipReplyReady, 1);
    EXPECT_EQ(log.substr(0, 116),
              "IP Send:  0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00\r\n"
              "IP Read:  0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00\r\n");
    EXPECT_EQ(boxes->count(), 0u);
}

TEST_F(IpRoute, ASlaveUnitDigitGoesInFrontOfTheDigits) {
    // With address bytes out of the question the slave route would take over; the line itself
    // carries the unit digit.
    protocol.m_slaveUnit = 3;
    EXPECT_EQ(protocol.EncodeHexLine(std::vector<std::uint8_t>{0xB1, 0x00}), "3B100000000000000\r");
}

TEST_F(IpRoute, NoPeerMeansNothingIsSentAndTheExchangeFails) {
    TestWindow viewerWindow(kViewerWindowTitle);
    ASSERT_TRUE(protocol.m_udpSocket.SetPeerAddress(""));
    const std::vector<std::uint8_t> message{0xB1, 0x00};
    EXPECT_FALSE(protocol.m_udpSocket.SendDatagram(message.data(), 2));
    const auto start = platform::tickCountMs();
    EXPECT_EQ(send({0xB1, 0x00}), -1);
    EXPECT_GE(platform::tickCountMs() - start, 1900u);  // two waits of 100 polls of 10 ms
    EXPECT_TRUE(unit.received().empty());
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].caption, "WaitForIPAnswer");
    EXPECT_EQ(boxes->shown()[0].text, "No Replay from IP.\r\n");
    const auto records = viewerWindow.records();
    ASSERT_EQ(records.size(), 3u);  // two send lines, then the failure text
    EXPECT_EQ(viewer::text(records[0]), "IP Send:  0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00\r\n");
    EXPECT_EQ(viewer::text(records[2]), "No Replay from IP.\r\n");
}

TEST_F(IpRoute, ReplyFFFFEndsTheExchangeAtOnce) {
    unit.setReplyFilter([](const std::string&) { return std::string("DSP: FFFF000000000000\r"); });
    const auto start = platform::tickCountMs();
    EXPECT_EQ(send({0xB1, 0x00}), -1);
    EXPECT_LT(platform::tickCountMs() - start, 1000u);  // not one of its waits of 1000 ms
    EXPECT_EQ(unit.received().size(), 1u);
    EXPECT_EQ(boxes->count(), 0u);
}

TEST_F(IpRoute, ARejectedReplyIsTestedTwiceThenTheRequestIsSentAgain) {
    // A parameter read whose reply names another page and parameter.
    unit.setReplyFilter([](const std::string&) { return std::string("DSP: F00F000908000000\r"); });
    std::string log;
    protocol.m_log = &log;
    EXPECT_EQ(send({0xF0, 0x0F, 0x00, 0x07, 0x06, 0x01, 0x00, 0x00}), -1);
    EXPECT_EQ(unit.received().size(), 2u);
    std::size_t reads = 0;
    for (std::size_t at = log.find("IP Read:"); at != std::string::npos; at = log.find("IP Read:", at + 1)) {
        ++reads;
    }
    EXPECT_EQ(reads, 42u);  // 2 tests in the first attempt, 40 in the second
    EXPECT_NE(log.find("No Replay from IP.\r\n"), std::string::npos);
    EXPECT_EQ(boxes->count(), 0u);  // with a log the failure is not shown in a box
}

TEST_F(IpRoute, AReplyWithBadDigitsIsNoReply) {
    int replies = 0;
    unit.setReplyFilter([&replies](const std::string& line) {
        return ++replies == 1 ? std::string("DSP: b100000000000000\r") : line;
    });
    EXPECT_EQ(send({0xB1, 0x00}), 0xB100);
    EXPECT_EQ(unit.received().size(), 2u);  // the bad reply was dropped and the request sent again
    EXPECT_FALSE(protocol.ParseIpReply("DSP: B10000000000000"));  // one digit short
    EXPECT_FALSE(protocol.ParseIpReply("QNLR: B100000000000000"));
    EXPECT_TRUE(protocol.ParseIpReply("DSP:xA1B2C3D4E5F60718 and more"));
    EXPECT_EQ(protocol.m_ipReply[7], 0x18);
}

TEST_F(IpRoute, MessagesLongerThanEightBytesAreRefused) {
    EXPECT_EQ(send({1, 2, 3, 4, 5, 6, 7, 8, 9}), -1);
    EXPECT_TRUE(unit.received().empty());
}

TEST_F(IpRoute, LongRepliesAreKeptCutTo99Characters) {
    announce("DSP: " + std::string(200, '0'));
    EXPECT_EQ(protocol.m_udpSocket.LastReply(), "DSP: " + std::string(94, '0'));
}

TEST_F(IpRoute, AnnouncementsFillTheTableOfDiscoveredUnits) {
    announce("QNLR: A B C 7 room 12\nsecond line");
    ASSERT_EQ(protocol.m_discoveredCount, 1);
    EXPECT_EQ(row(0), "B   A   room 12");

    announce("QNLR: ABCD");                                     // exactly 10 characters
    announce("QNLR: A B C 7");                                  // fewer than five fields
    announce("QNLR: A B C seven rest");                         // no number
    announce("QNLR: " + std::string(20, 'x') + " B C 7 rest");  // a word too long for its field
    announce("QNLR: A B C 7 " + std::string(32, 'r'));          // a rest too long for its field
    announce("QNLR:  A B C 7 rest");                            // fields not separated by single spaces
    announce("QNLR: A B C 7 " + std::string(1000, 'r'));        // a datagram of the most bytes
    EXPECT_EQ(protocol.m_discoveredCount, 1);

    announce("QNLR: " + std::string(19, 'f') + " " + std::string(19, 's') + " " + std::string(23, 't') +
             " -12 " + std::string(31, 'r'));
    ASSERT_EQ(protocol.m_discoveredCount, 2);
    EXPECT_EQ(row(1), std::string(19, 's') + "   " + std::string(19, 'f') + "   " + std::string(31, 'r'));
}

TEST_F(IpRoute, TheTableKeepsTwentyUnitsAndDropsLaterOnes) {
    for (int i = 0; i < 22; ++i) {
        ASSERT_TRUE(
            unit.sendTo(protocol.m_udpSocket.LocalPort(), "QNLR: U" + std::to_string(i) + " S C 1 r"));
    }
    for (int i = 0; i < 5; ++i) {
        settle();
    }
    EXPECT_EQ(protocol.m_discoveredCount, 20);
    EXPECT_EQ(row(19), "S   U19   r");
    protocol.AddDiscoveredUnit("late", "unit", "x", 1, "r");
    EXPECT_EQ(protocol.m_discoveredCount, 20);
}

TEST_F(IpRoute, AnEmptyDatagramDoesNotCloseTheSocket) {
    announce("");
    EXPECT_TRUE(protocol.m_udpSocket.IsOpen());
    EXPECT_EQ(send({0xB1, 0x00}), 0xB100);
}

TEST_F(IpRoute, SendErrorsOtherThanWouldBlockAreShown) {
    protocol.m_udpSocket.SetRemotePort(0);  // the system refuses port 0 as a destination
    const std::vector<std::uint8_t> data{1};
    EXPECT_FALSE(protocol.m_udpSocket.SendDatagram(data.data(), 1));
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].text, "Server Socket failed to send: 10022");
}

TEST_F(IpRoute, ABroadcastGoesToTheBroadcastAddress) {
    protocol.m_udpSocket.SetBroadcastAddress("127.0.0.1");
    ASSERT_TRUE(protocol.m_udpSocket.SetPeerAddress(""));
    const std::string init("INIT:", 6);
    EXPECT_TRUE(protocol.m_udpSocket.SendBroadcast(init.data(), static_cast<int>(init.size())));
    // Without a peer, a plain send still goes nowhere after the broadcast.
    EXPECT_FALSE(protocol.m_udpSocket.SendDatagram(init.data(), static_cast<int>(init.size())));
    platform::sleepMs(50);
    ASSERT_EQ(unit.received().size(), 1u);
    EXPECT_EQ(unit.received()[0], init);
}

TEST(IpConnect, ConnectGreetsTheUnitAndIdentifiesItOverTheRoute) {
    auto model = std::make_shared<sim::CatalogueUnitModel>(sim::catalogueProfile("brevik-kr600"), 0);
    sim::SimUdpUnit unit{model};
    ASSERT_TRUE(unit.ok());
    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    ASSERT_TRUE(protocol.m_udpSocket.Create(0, "127.0.0.1"));
    protocol.m_udpSocket.SetOwner(&protocol);
    ASSERT_TRUE(protocol.m_udpSocket.SetPeerAddress("localhost"));  // a name, resolved
    protocol.m_udpSocket.SetRemotePort(unit.port());
    protocol.m_ipMode = true;
    EXPECT_FALSE(protocol.IsConnected());

    ASSERT_TRUE(protocol.Connect(-1, false, true));
    EXPECT_TRUE(protocol.m_ipAnswered);
    EXPECT_TRUE(protocol.IsConnected());
    EXPECT_EQ(protocol.m_productCode, 83);
    EXPECT_EQ(protocol.GetProductName(), "Brevik-KR600");
    EXPECT_EQ(protocol.m_firmwareVersionText, "7.3");
    EXPECT_EQ(protocol.m_protocolVersion, 22);
    const auto received = unit.received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received[0], std::string("INIT:", 6));
    EXPECT_EQ(received[1], std::string("DSP: F00D000002000000\r", 23));
}

TEST(UdpSocketAlone, ASocketThatWasNeverCreatedSendsNothing) {
    UdpSocket socket;
    EXPECT_FALSE(socket.IsReady());
    ASSERT_TRUE(socket.SetPeerAddress("127.0.0.1"));
    EXPECT_FALSE(socket.SetPeerAddress(std::string(60, '1')));
    const std::vector<std::uint8_t> data{1};
    EXPECT_FALSE(socket.SendDatagram(data.data(), 1));
}

}  // namespace
