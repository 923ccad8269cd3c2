#include <gtest/gtest.h>

#include "device/HIDProtocol.h"
#include "platform/System.h"
#include "sim/SimHidBus.h"

namespace {

// A device object opened on one simulated interface, as Connect leaves it.
class Exchange : public ::testing::Test {
protected:
    void attach(int productCode, std::uint16_t length, int unitNumber = 0, std::uint16_t outputLength = 0) {
        sim::SimHidUnit::Config config;
        config.productId = static_cast<std::uint16_t>(productCode);
        config.inputReportLength = length;
        config.outputReportLength = outputLength;
        model = std::make_shared<sim::SimUnitModel>(productCode, unitNumber);
        unit = std::make_shared<sim::SimHidUnit>(config, model);
        bus.attach(unit);
        ASSERT_TRUE(EnumerateHidDevices(bus, protocol.m_devices));
        protocol.m_selectedDevice = 0;
        protocol.m_productCode = productCode;
        protocol.OpenDevice(true, false);
    }

    int send(std::vector<std::uint8_t> message, std::uint32_t timeoutMs = 200) {
        return protocol.WaitForAnswer(message, reply, timeoutMs);
    }

    std::vector<std::uint8_t> lastWritten() const {
        const auto written = unit->writtenReports();
        return written.empty() ? std::vector<std::uint8_t>{} : written.back();
    }

    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    std::shared_ptr<sim::SimUnitModel> model;
    std::shared_ptr<sim::SimHidUnit> unit;
    ReplyBuffer reply{};
};

TEST_F(Exchange, CommandWordGoesOutHighByteFirstInAPlainReport) {
    attach(83, 9);
    ASSERT_TRUE(protocol.m_deviceOpen);
    EXPECT_FALSE(protocol.UsesAddressBytes());
    EXPECT_EQ(send({0xB1, 0x00}), 0xB100);
    EXPECT_EQ(lastWritten(), (std::vector<std::uint8_t>{0x00, 0xB1, 0x00, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reply[0], 0xB1);
    EXPECT_EQ(protocol.m_respondingUnit, 0);
}

TEST_F(Exchange, ParameterFrameToTheLocalUnitCarriesZeroAddresses) {
    attach(1042, 11, 2);
    EXPECT_TRUE(protocol.UsesAddressBytes());
    model->state().setParameter(7, 7, 0, 0x1234);
    const std::vector<std::uint8_t> frame{0xF0, 0x0F, 0x00, 0x07, 0x07, 0x00, 0x00, 0x00};
    EXPECT_EQ(send(frame), 0xF00F);
    const auto written = lastWritten();
    ASSERT_EQ(written.size(), 11u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), written.begin() + 1));
    EXPECT_EQ(written[9], 0x00);
    EXPECT_EQ(written[10], 0x00);
    EXPECT_EQ(reply[6], 0x12);
    EXPECT_EQ(reply[7], 0x34);
    // The unit's FR byte (unit 2) tells who answered.
    EXPECT_EQ(protocol.m_respondingUnit, 2);
}

TEST_F(Exchange, RemoteUnitIsAddressedAndAReplyFromTheWrongUnitIsRejected) {
    attach(1042, 11, 1);
    unit->addRemoteUnit(std::make_shared<sim::SimUnitModel>(1042, 3));
    EXPECT_EQ(send({0x64, 0x00}), 0x6400);  // learns that unit 1 answers
    ASSERT_EQ(protocol.m_respondingUnit, 1);

    protocol.m_slaveUnit = 3;
    EXPECT_EQ(send({0x64, 0x00}), 0x6400);
    auto written = lastWritten();
    EXPECT_EQ(written[9], 0x14);
    EXPECT_EQ(written[10], 0x35);
    EXPECT_EQ(reply[8], 0x35);  // FR of unit 3
    EXPECT_EQ(protocol.m_respondingUnit, 1);

    // A reply whose FR names unit 4 is not taken; the exchange waits, then writes again.
    sim::SimFaults faults;
    faults.wrongFr = 1;
    unit->setFaults(faults);
    const auto writesBefore = unit->writeCount();
    EXPECT_EQ(send({0x64, 0x00}, 100), 0x6400);
    EXPECT_EQ(unit->writeCount() - writesBefore, 2u);
}

TEST_F(Exchange, AReportToUnit99FromTheLocalSideTakesTheRespondingUnitFromTheReply) {
    attach(1042, 11, 0);
    unit->addRemoteUnit(std::make_shared<sim::SimUnitModel>(1042, 99));
    protocol.m_unit99Enabled = true;
    protocol.m_slaveUnit = 99;
    // R = 0: FR 04, TO 07. The reply's FR (unit 99 as 0x35) need not match TO's unit.
    EXPECT_EQ(send({0x64, 0x00}), 0x6400);
    const auto written = lastWritten();
    EXPECT_EQ(written[9], 0x04);
    EXPECT_EQ(written[10], 0x07);
    EXPECT_EQ(protocol.m_respondingUnit, 3);
    EXPECT_EQ(unit->writeCount(), 1u);
}

TEST_F(Exchange, RejectedRepliesAreReadPastWithoutWritingAgain) {
    attach(83, 9);
    sim::SimFaults faults;
    faults.rejectedBeforeAnswer = 39;
    unit->setFaults(faults);
    EXPECT_EQ(send({0x64, 0x04}), 0x6404);
    EXPECT_EQ(unit->writeCount(), 1u);
}

TEST_F(Exchange, FortyRejectedRepliesReopenTheReadHandleAndWriteAgain) {
    attach(83, 9);
    sim::SimFaults faults;
    faults.rejectedBeforeAnswer = 45;
    unit->setFaults(faults);
    // The reopened handle starts with an empty queue, so the answer to the first write is lost
    // and the second write's answer is taken.
    EXPECT_EQ(send({0x64, 0x04}), 0x6404);
    EXPECT_EQ(unit->writeCount(), 2u);
    EXPECT_TRUE(protocol.m_deviceOpen);
}

TEST_F(Exchange, EightyRejectedRepliesEndTheExchange) {
    attach(83, 9);
    sim::SimFaults faults;
    faults.rejectedBeforeEveryAnswer = 40;
    unit->setFaults(faults);
    // Forty rejected replies to the first write, then forty more to the second.
    EXPECT_EQ(send({0x64, 0x04}, 50), -1);
    EXPECT_EQ(unit->writeCount(), 2u);
}

TEST_F(Exchange, ReplyCodeFFFFEndsAtOnceWithoutRetry) {
    attach(83, 9);
    sim::SimFaults faults;
    faults.replyFFFF = 1;
    unit->setFaults(faults);
    // Not waited out: a time-out far longer than any stall of a busy machine.
    const auto start = platform::tickCountMs();
    EXPECT_EQ(send({0x64, 0x04}, 60000), -1);
    EXPECT_LT(platform::tickCountMs() - start, 30000u);
    EXPECT_EQ(unit->writeCount(), 1u);
}

TEST_F(Exchange, NoReplyGivesUpAfterTwoWritesAndTwoFullWaits) {
    attach(83, 9);
    sim::SimFaults faults;
    faults.silentForever = true;
    unit->setFaults(faults);
    const auto start = platform::tickCountMs();
    EXPECT_EQ(send({0x64, 0x04}, 60), -1);
    EXPECT_GE(platform::tickCountMs() - start, 115u);
    EXPECT_EQ(unit->writeCount(), 2u);
}

TEST_F(Exchange, ALateAnswerIsTakenAfterTheSecondWrite) {
    attach(83, 9);
    sim::SimFaults faults;
    faults.lateAnswerMs = 80;
    unit->setFaults(faults);
    EXPECT_EQ(send({0xA0, 0x00}, 50), 0xA000);
    EXPECT_EQ(unit->writeCount(), 2u);
}

TEST_F(Exchange, WrongCodeOrWrongEchoIsNotAccepted) {
    attach(83, 9);
    sim::SimFaults faults;
    faults.wrongCode = 2;
    unit->setFaults(faults);
    EXPECT_EQ(send({0x64, 0x04}, 30), -1);

    faults = {};
    faults.wrongEcho = 1;
    unit->setFaults(faults);
    model->state().setParameter(7, 7, 0, 5);
    EXPECT_EQ(send({0xF0, 0x0E, 0x00, 0x07, 0x07, 0x00, 0x00, 0x00}, 30), 0xF00E);
    EXPECT_EQ(reply[3], 0x07);
    EXPECT_EQ(reply[4], 0x07);
}

TEST_F(Exchange, HubForwardingIsLearnedFromTheHubsFirstAddressedReply) {
    attach(786, 11, 0);
    unit->addRemoteUnit(std::make_shared<sim::SimUnitModel>(83, 16));
    EXPECT_FALSE(protocol.m_hubForwarding);
    EXPECT_EQ(send({0xA0, 0x00}), 0xA000);
    EXPECT_TRUE(protocol.m_hubForwarding);

    protocol.m_slaveUnit = 16;
    EXPECT_EQ(send({0x64, 0x00}), 0x6400);
    auto written = lastWritten();
    EXPECT_EQ(written[9], 0x01);
    EXPECT_EQ(written[10], 0x05);

    protocol.m_slaveUnit = 0;
    EXPECT_EQ(send({0x64, 0x00}), 0x6400);
    written = lastWritten();
    EXPECT_EQ(written[9], 0x00);
    EXPECT_EQ(written[10], 0x00);

    // Reopening keeps forwarding; closing forgets it.
    protocol.OpenDevice(true, false);
    EXPECT_TRUE(protocol.m_hubForwarding);
    protocol.OpenDevice(false, false);
    EXPECT_FALSE(protocol.m_hubForwarding);
}

TEST_F(Exchange, AnyOtherProductNeverSetsHubForwarding) {
    attach(83, 11);
    EXPECT_EQ(send({0xA0, 0x00}), 0xA000);
    EXPECT_FALSE(protocol.m_hubForwarding);
}

TEST_F(Exchange, MessagesThatDoNotFitAreRefusedWithoutWriting) {
    attach(83, 11);
    // Eight bytes fit before FR/TO on an 11-byte report; nine would lose a byte to FR.
    EXPECT_EQ(send({0xF0, 0x0E, 0, 0, 0, 0, 0, 0, 0}), -1);
    // A whole report's worth cannot fit after the report ID at all.
    EXPECT_EQ(send(std::vector<std::uint8_t>(11, 0x11)), -1);
    EXPECT_EQ(send({}), -1);
    EXPECT_EQ(unit->writeCount(), 0u);
}

TEST_F(Exchange, TooSmallReplyBufferIsRefused) {
    attach(83, 43);
    std::array<std::uint8_t, 8> small{};
    EXPECT_EQ(protocol.WaitForAnswer(std::vector<std::uint8_t>{0xA0, 0x00}, small, 100), -1);
    EXPECT_EQ(unit->writeCount(), 0u);
    EXPECT_EQ(send({0xA0, 0x00}), 0xA000);
}

TEST_F(Exchange, OutputReportShorterThanTheInputReportIsRefused) {
    attach(83, 43, 0, 9);
    ASSERT_TRUE(protocol.m_deviceOpen);
    EXPECT_EQ(send({0xA0, 0x00}), -1);
    EXPECT_EQ(unit->writeCount(), 0u);
}

TEST_F(Exchange, NothingIsWrittenBeforeAnOpeningOrAfterAClose) {
    sim::SimHidBus emptyBus;
    CHIDProtocol fresh{emptyBus};
    ReplyBuffer r{};
    EXPECT_EQ(fresh.WaitForAnswer(std::vector<std::uint8_t>{0xA0, 0x00}, r, 10), -1);

    attach(83, 9);
    protocol.OpenDevice(false, false);
    EXPECT_FALSE(protocol.m_deviceOpen);
    EXPECT_EQ(protocol.ReportLength(), 9);  // the write record keeps its capabilities
    EXPECT_EQ(send({0xA0, 0x00}), -1);
    EXPECT_EQ(unit->writeCount(), 0u);
}

TEST_F(Exchange, FailedWriteAndUnplugEndTheExchange) {
    attach(83, 9);
    sim::SimFaults faults;
    faults.failWrites = true;
    unit->setFaults(faults);
    EXPECT_EQ(send({0xA0, 0x00}), -1);

    faults = {};
    faults.unplugAfterWrites = 0;
    unit->setFaults(faults);
    // An unplugged unit is not waited for: a time-out far longer than any stall of a busy machine.
    const auto start = platform::tickCountMs();
    EXPECT_EQ(send({0xA0, 0x00}, 60000), -1);
    EXPECT_LT(platform::tickCountMs() - start, 30000u);
}

TEST_F(Exchange, ReopenFailureClosesTheDevice) {
    attach(83, 9);
    sim::SimFaults faults;
    faults.rejectedBeforeAnswer = 40;
    unit->setFaults(faults);
    unit->setOpenable(false);
    EXPECT_EQ(send({0x64, 0x04}, 30), -1);
    EXPECT_FALSE(protocol.m_deviceOpen);
    EXPECT_EQ(unit->writeCount(), 1u);  // the closed write record sends nothing more
    EXPECT_FALSE(protocol.m_writeDevice.isOpen());
}

}  // namespace
