#include <gtest/gtest.h>

#include "device/HIDProtocol.h"
#include "platform/MessageBox.h"
#include "platform/System.h"
#include "sim/MailboxHubModel.h"
#include "sim/SimHidBus.h"
#include "sim/UnitCatalogue.h"
#include "tests/support/TestDesktop.h"

namespace {

// A hub on a 9-byte report with a Velmar3 behind it as unit 16, identified as the wizard does.
class SlaveRoute : public ::testing::Test {
protected:
    void SetUp() override { attachHub(sim::catalogueProfile("velmar-controller-with-unit")); }

    void attachHub(sim::UnitProfile profile) {
        unit = sim::makeMailboxHub(std::move(profile), &hub);
        bus.attach(unit);
        ASSERT_TRUE(protocol.Connect(786, false, true));
        ASSERT_EQ(protocol.m_protocolVersion, 21);
        ASSERT_EQ(protocol.ReportLength(), 9);
    }

    int send(std::vector<std::uint8_t> message) { return protocol.WaitForAnswer(message, reply, 1000); }

    // The mailbox writes (F0 0E 00 07 07 index ..), control writes (F0 0C 00 07 01) and control
    // reads (F0 0D 00 07 01) since the last call.
    struct Writes {
        std::vector<std::uint8_t> mailboxIndexes;
        int controlWrites = 0;
        int controlReads = 0;
    };
    Writes writesSinceLastLook() {
        const auto all = unit->writtenReports();
        Writes w;
        for (std::size_t i = seen; i < all.size(); ++i) {
            const auto& r = all[i];
            if (r[1] == 0xF0 && r[2] == 0x0E && r[4] == 7 && r[5] == 7) {
                w.mailboxIndexes.push_back(r[6]);
            } else if (r[1] == 0xF0 && r[2] == 0x0C && r[4] == 7 && r[5] == 1) {
                ++w.controlWrites;
            } else if (r[1] == 0xF0 && r[2] == 0x0D && r[4] == 7 && r[5] == 1) {
                ++w.controlReads;
            }
        }
        seen = all.size();
        return w;
    }

    ScopedDesktopFolder folder;
    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    std::shared_ptr<sim::MailboxHubModel> hub;
    std::shared_ptr<sim::SimHidUnit> unit;
    std::size_t seen = 0;
    ReplyBuffer reply{};
    std::shared_ptr<platform::RecordingMessageBoxHandler> boxes =
        std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scopedBoxes{boxes};
};

TEST_F(SlaveRoute, ACommandReachesTheUnitBehindTheHubAndTheCacheSavesRewrites) {
    writesSinceLastLook();
    protocol.m_slaveUnit = 16;
    EXPECT_EQ(send({0xA0, 0x00}), 0xA062);  // Velmar3 firmware 6.2
    EXPECT_EQ(reply[0], 0xA0);
    EXPECT_EQ(reply[1], 0x62);
    EXPECT_EQ(protocol.m_slaveUnit, 16);
    auto w = writesSinceLastLook();
    EXPECT_EQ(w.mailboxIndexes, (std::vector<std::uint8_t>{0, 1}));  // one word for a command
    EXPECT_EQ(w.controlWrites, 1);
    EXPECT_EQ(hub->state().parameter(7, 7, 0), 0x330A);

    EXPECT_EQ(send({0xA0, 0x00}), 0xA062);
    w = writesSinceLastLook();
    EXPECT_TRUE(w.mailboxIndexes.empty());
    EXPECT_EQ(w.controlWrites, 1);

    // A parameter frame goes as four words; only the changed ones are written again.
    EXPECT_EQ(send({0xF0, 0x0D, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00}), 0xF00D);
    EXPECT_EQ(writesSinceLastLook().mailboxIndexes, (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(send({0xF0, 0x0D, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00}), 0xF00D);
    EXPECT_EQ(writesSinceLastLook().mailboxIndexes, (std::vector<std::uint8_t>{3}));
    EXPECT_EQ(hub->tunnelledMessages(), 4);
    EXPECT_EQ(boxes->count(), 0u);
}

TEST_F(SlaveRoute, TraceLinesShowTheWordsSentAndReceived) {
    TestWindow viewerWindow(kViewerWindowTitle);
    std::string log;
    protocol.m_log = &log;
    protocol.m_slaveUnit = 16;
    EXPECT_EQ(send({0xA0, 0x00}), 0xA062);
    EXPECT_NE(log.find("Send to  Slave:  0x33, 0x0A, 0xa0, 0x00\r\n"), std::string::npos);
    EXPECT_NE(log.find("Get from Slave:  0x33, 0x0A, 0xA0, 0x62\r\n"), std::string::npos);
    int textRecords = 0;
    for (const auto& r : viewerWindow.records()) {
        if (viewer::kind(r) == 2) {
            ++textRecords;
        }
    }
    EXPECT_EQ(textRecords, 2);
}

TEST_F(SlaveRoute, AReplyFromTheWrongSlaveIsRefused) {
    protocol.m_slaveUnit = 16;
    hub->overrideReplyTargetWord(0x3320);
    EXPECT_EQ(send({0xA0, 0x00}), -1);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].caption, "WaitForSlaveAnswer");
    EXPECT_EQ(boxes->shown()[0].text, "Replay from wrong slave: 2 instead of 16\r\n");
    EXPECT_EQ(boxes->shown()[0].style & platform::mb::kIconMask, platform::mb::kIconWarning);
    EXPECT_EQ(protocol.m_slaveUnit, 16);
    EXPECT_EQ(hub->state().parameter(7, 1, 0).value_or(0) & 0x200, 0);  // the reply flag was cleared
}

TEST(SlaveRouteToUnit3, TheAnsweringUnitIsTheHighNibbleOfTheReplyTarget) {
    auto profile = sim::catalogueProfile("velmar-controller-with-unit");
    profile.attachedUnitNumber = 3;
    std::shared_ptr<sim::MailboxHubModel> hub;
    sim::SimHidBus bus;
    bus.attach(sim::makeMailboxHub(profile, &hub));
    CHIDProtocol protocol{bus};
    ASSERT_TRUE(protocol.Connect(786, false, true));
    auto boxes = std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scopedBoxes{boxes};
    ReplyBuffer reply{};
    protocol.m_slaveUnit = 3;
    EXPECT_EQ(protocol.WaitForAnswer(std::vector<std::uint8_t>{0xA0, 0x00}, reply, 1000), 0xA062);
    EXPECT_EQ(hub->state().parameter(7, 7, 0), 0x333B);
    hub->overrideReplyTargetWord(0x3320);
    EXPECT_EQ(protocol.WaitForAnswer(std::vector<std::uint8_t>{0x90, 0x00}, reply, 1000), -1);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].text, "Replay from wrong slave: 2 instead of 3\r\n");
    EXPECT_EQ(protocol.m_slaveUnit, 3);
}

TEST_F(SlaveRoute, NoReplyFromTheSlaveEndsAfterTwoHundredPolls) {
    protocol.m_slaveUnit = 5;  // nobody is unit 5
    std::string log;
    protocol.m_log = &log;
    writesSinceLastLook();
    EXPECT_EQ(send({0xA0, 0x00}), -1);
    EXPECT_EQ(writesSinceLastLook().controlReads, 200);
    EXPECT_NE(log.find("There is no reply from slave (PIC_DATA_CONTROL_PAR = 2, bit 0x200 is low)\r\n"),
              std::string::npos);
    EXPECT_EQ(boxes->count(), 0u);
    EXPECT_EQ(protocol.m_slaveUnit, 5);
}

TEST_F(SlaveRoute, WithTheCacheOffTheRouteWaitsForTheLocalUnitToBeReady) {
    protocol.m_mailboxCacheEnabled = false;
    protocol.m_slaveUnit = 16;
    EXPECT_EQ(send({0xA0, 0x00}), 0xA062);
    // Value 2 stuck on (read as a signed word): twenty reads, about a second, then give up.
    hub->state().setParameter(7, 1, 0, 0x8002);
    writesSinceLastLook();
    const auto start = platform::tickCountMs();
    EXPECT_EQ(send({0xA0, 0x00}), -1);
    EXPECT_GE(platform::tickCountMs() - start, 950u);
    EXPECT_EQ(writesSinceLastLook().controlReads, 20);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(
        boxes->shown()[0].text,
        "DSP is not ready to receive messages for slave (PIC_DATA_CONTROL_PAR = -32766, bit 2 is high)\r\n");
    EXPECT_EQ(protocol.m_slaveUnit, 16);
}

TEST_F(SlaveRoute, ALocalUnitThatStopsAnsweringLeavesTheSlaveUnset) {
    protocol.m_mailboxCacheEnabled = false;
    protocol.m_slaveUnit = 16;
    sim::SimFaults faults;
    faults.silentForever = true;
    unit->setFaults(faults);
    EXPECT_EQ(send({0xA0, 0x00}), -1);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(
        boxes->shown()[0].text,
        "Get Parameter PIC_DATA_CONTROL_PAR (1) from PIC1_PAGE (7) returns error -1 while waiting for local "
        "to be ready to send data to slave\r\n");
    EXPECT_EQ(protocol.m_slaveUnit, 0);
}

TEST_F(SlaveRoute, ALocalUnitSilentWhilePollingGivesErrorC) {
    protocol.m_slaveUnit = 16;
    sim::SimFaults faults;
    faults.silentAfterRequests = 3;  // target word, message word, control word
    unit->setFaults(faults);
    EXPECT_EQ(send({0xA0, 0x00}), -1);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(
        boxes->shown()[0].text,
        "Get Parameter PIC_DATA_CONTROL_PAR (1) from PIC1_PAGE (7) returns error -1 while polling for slave "
        "answer\r\n");
    EXPECT_EQ(protocol.m_slaveUnit, 0);
}

TEST_F(SlaveRoute, ARefusedControlReadWhilePollingIsNotErrorC) {
    protocol.m_slaveUnit = 16;
    // The hub refuses the control word: its write (value 2) and every poll's read.
    hub->refuseParameter(7, 1, 254);
    EXPECT_EQ(send({0xA0, 0x00}), -1);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].caption, "WaitForSlaveAnswer");
    EXPECT_EQ(boxes->shown()[0].text,
              "There is no reply from slave (PIC_DATA_CONTROL_PAR = 2, bit 0x200 is low)\r\n");
    EXPECT_EQ(protocol.m_slaveUnit, 16);
}

TEST_F(SlaveRoute, MessagesLongerThanTheMailboxAreRefused) {
    writesSinceLastLook();
    protocol.m_slaveUnit = 16;
    EXPECT_EQ(send({0xF0, 0x0D, 0, 0, 4, 0, 0, 0, 0x55, 0x66}), -1);
    EXPECT_TRUE(writesSinceLastLook().mailboxIndexes.empty());
    EXPECT_EQ(protocol.m_mailboxCache[0], 0xFFFF);
}

TEST_F(SlaveRoute, AWordTheHubRefusesIsNotCachedAndEndsTheExchange) {
    protocol.m_slaveUnit = 16;
    EXPECT_EQ(send({0xA0, 0x00}), 0xA062);
    hub->refuseParameter(7, 7, 255);
    EXPECT_EQ(send({0x90, 0x00}), -1);
    for (const auto word : protocol.m_mailboxCache) {
        EXPECT_EQ(word, 0xFFFF);
    }
    EXPECT_EQ(protocol.m_slaveUnit, 16);
    EXPECT_EQ(hub->tunnelledMessages(), 1);  // the control word was never raised for the second
}

TEST_F(SlaveRoute, TheMailboxIsGatedOnTheLocalUnitsLevel) {
    protocol.m_slaveUnit = 16;
    // The unit behind the hub reports a level too low for parameter access of its own.
    protocol.m_protocolVersion = 6;
    EXPECT_EQ(send({0xA0, 0x00}), 0xA062);
    EXPECT_EQ(protocol.m_protocolVersion, 6);
    EXPECT_EQ(protocol.m_localProtocolVersion, 21);
}

TEST_F(SlaveRoute, DisconnectForgetsTheLocalUnitsLevel) {
    protocol.Disconnect();
    EXPECT_EQ(protocol.m_localProtocolVersion, -1);
    // Opened again but not identified: the mailbox is gated on the level in force, not on
    // the level of the hub identified before the disconnection.
    protocol.OpenDevice(true, false);
    ASSERT_TRUE(protocol.m_deviceOpen);
    protocol.m_protocolVersion = 6;
    protocol.m_slaveUnit = 16;
    EXPECT_EQ(send({0xA0, 0x00}), -1);
    EXPECT_EQ(hub->tunnelledMessages(), 0);
    // The mailbox word the local unit's level does not let through is told like an unanswered
    // control read.
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].caption, "WaitForSlaveAnswer");
    EXPECT_EQ(
        boxes->shown()[0].text,
        "Get Parameter PIC_DATA_CONTROL_PAR (1) from PIC1_PAGE (7) returns error -1 while polling for slave "
        "answer\r\n");
    EXPECT_EQ(protocol.m_slaveUnit, 0);
}

}  // namespace
