#include <gtest/gtest.h>

#include "device/HIDProtocol.h"
#include "sim/SimHidBus.h"
#include "tests/support/TestDesktop.h"

namespace {

using viewer::fr;
using viewer::kind;
using viewer::reportBytes;
using viewer::to;

class Trace : public ::testing::Test {
protected:
    void attach(int productCode, std::uint16_t length, int unitNumber = 0) {
        sim::SimHidUnit::Config config;
        config.productId = static_cast<std::uint16_t>(productCode);
        config.inputReportLength = length;
        model = std::make_shared<sim::SimUnitModel>(productCode, unitNumber);
        unit = std::make_shared<sim::SimHidUnit>(config, model);
        bus.attach(unit);
        ASSERT_TRUE(EnumerateHidDevices(bus, protocol.m_devices));
        protocol.m_selectedDevice = 0;
        protocol.m_productCode = productCode;
        protocol.OpenDevice(true, false);
        ASSERT_TRUE(protocol.m_deviceOpen);
    }

    int send(std::vector<std::uint8_t> message, std::uint32_t timeoutMs = 200) {
        return protocol.WaitForAnswer(message, reply, timeoutMs);
    }

    static std::vector<std::uint32_t> kinds(const std::vector<std::vector<std::uint8_t>>& records) {
        std::vector<std::uint32_t> out;
        for (const auto& r : records) {
            out.push_back(kind(r));
        }
        return out;
    }

    ScopedDesktopFolder folder;
    sim::SimHidBus bus;
    CHIDProtocol protocol{bus};
    std::shared_ptr<sim::SimUnitModel> model;
    std::shared_ptr<sim::SimHidUnit> unit;
    ReplyBuffer reply{};
};

TEST_F(Trace, WithoutViewerAndLogAnExchangeLeavesNoTrace) {
    TestWindow listener("Quenlor Audio Setup");
    attach(83, 9);
    EXPECT_EQ(send({0xB1, 0x00}), 0xB100);
    EXPECT_TRUE(listener.messagesAfterSettling().empty());
}

TEST_F(Trace, AnAnsweredExchangeSendsAWriteAndAReadRecord) {
    TestWindow viewerWindow(kViewerWindowTitle);
    ASSERT_TRUE(viewerWindow.ok());
    attach(83, 9);
    const auto before = platform::localTimeNow();
    EXPECT_EQ(send({0xB1, 0x00}), 0xB100);
    const auto records = viewerWindow.records();
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records) {
        ASSERT_EQ(r.size(), 224u);
        EXPECT_EQ(viewer::sender(r), protocol.m_programName);
        EXPECT_EQ(viewer::text(r), "");
        EXPECT_EQ(viewer::timeField(r, 0), before.year);
        EXPECT_EQ(viewer::timeField(r, 1), before.month);
        EXPECT_EQ(viewer::timeField(r, 2), before.dayOfWeek);
        EXPECT_EQ(viewer::timeField(r, 3), before.day);
        EXPECT_LT(viewer::timeField(r, 7), 1000);
        EXPECT_EQ(fr(r), 0);
        EXPECT_EQ(to(r), 0);
    }
    EXPECT_EQ(kinds(records), (std::vector<std::uint32_t>{0, 1}));
    std::vector<std::uint8_t> expected(42, 0);
    expected[0] = 0xB1;
    EXPECT_EQ(reportBytes(records[0]), expected);
    EXPECT_EQ(reportBytes(records[1]), expected);  // the echo: B1 00, the rest of the reply zero
}

TEST_F(Trace, RejectedRepliesAndRepeatedWritesHaveTheirOwnKinds) {
    TestWindow viewerWindow(kViewerWindowTitle);
    attach(83, 9);
    sim::SimFaults faults;
    faults.rejectedBeforeAnswer = 2;
    unit->setFaults(faults);
    EXPECT_EQ(send({0x64, 0x04}), 0x6404);
    EXPECT_EQ(kinds(viewerWindow.records()), (std::vector<std::uint32_t>{0, 4, 4, 1}));
    // The rejected record shows the reply that was refused (code 0x74 0x04).
    EXPECT_EQ(reportBytes(viewerWindow.records()[1])[0], 0x74);

    faults = {};
    faults.lateAnswerMs = 80;
    unit->setFaults(faults);
    EXPECT_EQ(send({0xA0, 0x00}, 50), 0xA000);
    const auto records = viewerWindow.records();
    ASSERT_GE(records.size(), 7u);
    // A time-out, a second write (kind 3), then the answer to the first write, taken.
    EXPECT_EQ(kinds({records.begin() + 4, records.end()}), (std::vector<std::uint32_t>{0, 3, 1}));
}

TEST_F(Trace, TextRecordsAreCutTo99Characters) {
    TestWindow viewerWindow(kViewerWindowTitle);
    attach(83, 9);
    protocol.m_programName = std::string(70, 'P');
    const auto found = platform::findWindow(kViewerWindowTitle);
    ASSERT_TRUE(found);
    protocol.CopyTextToViewer(found, std::string(99, 'a'));
    protocol.CopyTextToViewer(found, std::string(100, 'b') + "tail");
    protocol.CopyTextToViewer(std::nullopt, "nobody sees this");
    const auto records = viewerWindow.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(kind(records[0]), 2u);
    EXPECT_EQ(viewer::text(records[0]), std::string(99, 'a'));
    EXPECT_EQ(viewer::text(records[1]), std::string(99, 'b'));
    EXPECT_EQ(records[1][179], 0);  // the NUL after the 99 characters
    EXPECT_EQ(viewer::sender(records[0]), std::string(59, 'P'));
    EXPECT_EQ(records[0][79], 0);
}

TEST_F(Trace, AddressBytesAreShownUnsignedInLinesAndRecords) {
    TestWindow viewerWindow(kViewerWindowTitle);
    TestWindow listener("Listener");
    attach(1042, 11, 9);
    unit->addRemoteUnit(std::make_shared<sim::SimUnitModel>(1042, 3));
    std::string log;
    protocol.m_log = &log;
    EXPECT_EQ(send({0x64, 0x00}), 0x6400);  // learns that unit 9 answers
    ASSERT_EQ(protocol.m_respondingUnit, 9);
    log.clear();
    protocol.m_slaveUnit = 3;
    EXPECT_EQ(send({0x64, 0x00}), 0x6400);
    EXPECT_EQ(log,
              "Send:  0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00   \tFR: 0x94  TO: 0x35\r\n"
              "Read:  0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00   \tFR: 0x35  TO: 0x94\r\n");
    const auto records = viewerWindow.records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(fr(records[2]), 0x94);
    EXPECT_EQ(to(records[2]), 0x35);
    EXPECT_EQ(fr(records[3]), 0x35);
    EXPECT_EQ(to(records[3]), 0x94);
    // A text record carries the address bytes of the last output report.
    protocol.CopyTextToViewer(platform::findWindow(kViewerWindowTitle), "note");
    const auto text = viewerWindow.records().back();
    EXPECT_EQ(fr(text), 0x94);
    EXPECT_EQ(to(text), 0x35);
    // Every appended line was announced by a broadcast 900 with lParam 10.
    const auto announced = listener.messagesAfterSettling();
    ASSERT_EQ(announced.size(), 4u);
    for (const auto& m : announced) {
        EXPECT_EQ(m.message, WM_AUDIO_SETUP_NOTIFY);
        EXPECT_EQ(m.wParam, 0u);
        EXPECT_EQ(m.lParam, 10);
    }
}

TEST_F(Trace, PlainReportLinesListTheWholeReport) {
    attach(83, 9);
    std::string log;
    protocol.m_log = &log;
    EXPECT_EQ(send({0xB1, 0x00}), 0xB100);
    EXPECT_EQ(log,
              "Send:  0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00\r\n"
              "Read:  0xB1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00\r\n");
}

TEST_F(Trace, AReadRecordKeepsTheBytesOfTheWriteRecordBeyondEight) {
    TestWindow viewerWindow(kViewerWindowTitle);
    attach(83, 43);
    std::vector<std::uint8_t> message(40);
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(0x20 + i);
    }
    message[0] = 0xB1;
    message[1] = 0x00;
    // The unit answers a long message with a two-byte reply.
    model->onRequest(0xB100, [](std::span<const std::uint8_t>) {
        return std::vector<std::uint8_t>{0xB1, 0x00};
    });
    EXPECT_EQ(send(message), 0xB100);
    const auto records = viewerWindow.records();
    ASSERT_EQ(records.size(), 2u);
    const auto written = reportBytes(records[0]);
    EXPECT_TRUE(std::equal(message.begin(), message.end(), written.begin()));
    EXPECT_EQ(written[40], 0);
    EXPECT_EQ(written[41], 0);
    const auto read = reportBytes(records[1]);
    EXPECT_EQ(read[0], 0xB1);
    EXPECT_EQ(read[2], 0x00);  // the reply's zero fill, within its first eight bytes
    EXPECT_TRUE(std::equal(message.begin() + 8, message.end(), read.begin() + 8));
}

}  // namespace
