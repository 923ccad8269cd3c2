#include <gtest/gtest.h>

#include "device/HIDProtocol.h"
#include "platform/MessageBox.h"
#include "platform/SerialPort.h"
#include "sim/SimHidBus.h"
#include "sim/SimSerialUnit.h"
#include "tests/support/TestDesktop.h"

namespace {

// Reaches the route itself, as the exchange does when a port is attached.
class ComProtocol : public CHIDProtocol {
public:
    using CHIDProtocol::CHIDProtocol;
    using CHIDProtocol::WaitForComAnswer;
};

class ComRoute : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(serial.ok());
        platform::SerialSettings settings;
        settings.readTimeoutMs = 200;
        auto opened = platform::SerialPort::open(serial.slavePath(), settings);
        ASSERT_TRUE(opened) << opened.error().what;
        port = std::move(opened.value());
        protocol.AttachComPort(port.get());
    }
    void TearDown() override { protocol.DetachComPort(); }

    int send(std::vector<std::uint8_t> message) { return protocol.WaitForAnswer(message, reply, 1000); }

    ScopedDesktopFolder folder;
    std::shared_ptr<sim::SimUnitModel> model = std::make_shared<sim::SimUnitModel>(83, 0);
    sim::SimSerialUnit serial{model};
    std::unique_ptr<platform::SerialPort> port;
    sim::SimHidBus bus;
    ComProtocol protocol{bus};
    ReplyBuffer reply{};
    std::shared_ptr<platform::RecordingMessageBoxHandler> boxes =
        std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scopedBoxes{boxes};
};

TEST_F(ComRoute, ACommandGoesAsOneHexLineAndItsAnswerIsMatched) {
    std::string log;
    protocol.m_log = &log;
    EXPECT_EQ(send({0xB1, 0x00}), 0xB100);
    ASSERT_EQ(serial.receivedLines().size(), 1u);
    EXPECT_EQ(serial.receivedLines()[0], "B100000000000000\r");
    EXPECT_EQ(reply[0], 0xB1);
    EXPECT_EQ(log,
              "ComPort Send:  0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00\r\n"
              "ComPort Read:  0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00\r\n");
    EXPECT_EQ(boxes->count(), 0u);
}

TEST_F(ComRoute, ASlaveUnitIsNamedByItsUnitCharacter) {
    serial.addRemoteUnit(std::make_shared<sim::SimUnitModel>(83, 12));
    protocol.m_slaveUnit = 12;
    std::string log;
    protocol.m_log = &log;
    EXPECT_EQ(send({0xB1, 0x00}), 0xB100);
    EXPECT_EQ(serial.receivedLines().at(0), "CB100000000000000\r");
    EXPECT_EQ(log,
              "ComPort Send:  0x0C, 0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00\r\n"
              "ComPort Read:  0x0C, 0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00\r\n");
    // '0' + U, and 7 more above 9.
    for (const auto& [unitNumber, character] :
         {std::pair{1, '1'}, {9, '9'}, {10, 'A'}, {15, 'F'}, {16, 'G'}}) {
        protocol.m_slaveUnit = unitNumber;
        EXPECT_EQ(protocol.EncodeHexLine(std::vector<std::uint8_t>{0x12}),
                  std::string(1, character) + "1200000000000000\r");
    }
}

TEST_F(ComRoute, AShortReplyLineIsAnErrorShownInAWarningBox) {
    serial.setAnswerFilter([](const std::string& line) { return line.substr(0, 10); });
    EXPECT_EQ(send({0xB1, 0x00}), -1);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].caption, "WaitForComAnswer");
    EXPECT_EQ(boxes->shown()[0].text, "10 bytes read instead of 8 from ComPort.\r\n");
    EXPECT_EQ(boxes->shown()[0].style & platform::mb::kIconMask, platform::mb::kIconWarning);

    // With a log attached the same line goes to the log instead, and to the viewer.
    TestWindow viewerWindow(kViewerWindowTitle);
    std::string log;
    protocol.m_log = &log;
    EXPECT_EQ(send({0xB1, 0x00}), -1);
    EXPECT_EQ(boxes->count(), 1u);
    EXPECT_NE(log.find("10 bytes read instead of 8 from ComPort.\r\n"), std::string::npos);
    const auto records = viewerWindow.records();
    ASSERT_EQ(records.size(), 2u);  // the send line, then the error
    EXPECT_EQ(viewer::kind(records[1]), 2u);
    EXPECT_EQ(viewer::text(records[1]), "10 bytes read instead of 8 from ComPort.\r\n");
}

TEST_F(ComRoute, NoAnswerAtAllReadsZeroBytes) {
    serial.setAnswerFilter([](const std::string&) { return std::string{}; });
    EXPECT_EQ(send({0xB1, 0x00}), -1);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].text, "0 bytes read instead of 8 from ComPort.\r\n");
}

TEST_F(ComRoute, ReplyFFFFAndMismatchesAreNoAnswerWithoutAnErrorLine) {
    std::string log;
    protocol.m_log = &log;
    serial.setAnswerFilter([](const std::string&) { return std::string("FFFF000000000000\r"); });
    EXPECT_EQ(send({0xB1, 0x00}), -1);
    EXPECT_NE(log.find("ComPort Read:  0xFF, 0xFF"), std::string::npos);

    // A parameter read must repeat page and parameter.
    serial.setAnswerFilter([](const std::string&) { return std::string("F00E000708000000\r"); });
    EXPECT_EQ(send({0xF0, 0x0E, 0x00, 0x07, 0x07, 0x00, 0x00, 0x00}), -1);
    serial.setAnswerFilter([](const std::string&) { return std::string("F00E000707001234\r"); });
    EXPECT_EQ(send({0xF0, 0x0E, 0x00, 0x07, 0x07, 0x00, 0x00, 0x00}), 0xF00E);
    EXPECT_EQ(reply[6], 0x12);
    EXPECT_EQ(reply[7], 0x34);
    EXPECT_EQ(boxes->count(), 0u);
}

TEST_F(ComRoute, DigitsThatAreNotUpperCaseHexAreNoAnswer) {
    serial.setAnswerFilter([](const std::string&) { return std::string("b100000000000000\r"); });
    EXPECT_EQ(send({0xB1, 0x00}), -1);
    serial.setAnswerFilter([](const std::string&) { return std::string("B1000000000000G0\r"); });
    EXPECT_EQ(send({0xB1, 0x00}), -1);
    std::array<std::uint8_t, 2> out{};
    EXPECT_FALSE(CHIDProtocol::DecodeHexLine(std::string_view("B1"), out));
    EXPECT_TRUE(CHIDProtocol::DecodeHexLine(std::string_view("B1F0"), out));
    EXPECT_EQ(out[1], 0xF0);
}

TEST_F(ComRoute, LongMessagesAndAMissingPortSendNothing) {
    EXPECT_EQ(send({0xF0, 0x0E, 0, 7, 7, 0, 0, 0, 9}), -1);
    EXPECT_TRUE(protocol.EncodeHexLine(std::vector<std::uint8_t>(9, 0)).empty());
    protocol.DetachComPort();
    const std::vector<std::uint8_t> message{0xB1, 0x00};
    EXPECT_EQ(protocol.WaitForComAnswer(message, reply, 100), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(serial.receivedLines().empty());
    EXPECT_EQ(boxes->count(), 0u);
}

}  // namespace
