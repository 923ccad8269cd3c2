#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "device/HIDProtocol.h"
#include "platform/LinuxHidBus.h"
#include "platform/System.h"
#include "sim/CatalogueUnitModel.h"
#include "sim/UnitCatalogue.h"
#include "tests/platform/HidDescriptorSamples.h"
#include "tests/support/FakeHidraw.h"

namespace {

using Report = std::vector<std::uint8_t>;

constexpr std::size_t kReportBytes = 9;  // every report of the unit below, report-ID byte included
constexpr std::uint8_t kKeysId = 1;
constexpr std::uint8_t kVendorId = 2;
constexpr auto kDescriptor = platform::samples::keysAndVendor(8);

// The numbered report `id` with these bytes after its ID, as long as every report of the unit.
Report numbered(std::uint8_t id, std::vector<std::uint8_t> bytes) {
    bytes.insert(bytes.begin(), id);
    bytes.resize(kReportBytes, 0);
    return bytes;
}

void addUnitNode(FakeHidrawTree& tree) {
    tree.addInterface("hidraw0", tree.sys() / "devices" / "usb1" / "1-2" / "1-2:1.3" / "0003:3B59:0053.0001",
                      "0003:00003B59:00000053", kDescriptor);
}

// A Brevik-KR600 whose USB interface carries consumer keys (report 1) beside its vendor channel
// (report 2), on a real LinuxHidBus over a fake sysfs tree; a pseudo-terminal plays the node, and
// the catalogue's model answers what the program writes to it.
class HidrawUnit : public ::testing::Test {
protected:
    // What the unit sends for the nth request (from 0); by default the model's answer.
    using Script = std::function<std::vector<Report>(const Report& request, std::size_t n)>;

    void SetUp() override {
        addUnitNode(tree);
        ASSERT_TRUE(pty.ok());
        protocol.m_log = &trace;
        responder = std::thread([this] { answerRequests(); });
    }
    void TearDown() override {
        stop = true;
        responder.join();
    }

    void answerRequests() {
        while (!stop) {
            const auto request = pty.receive(kReportBytes, 20);
            if (!request) {
                continue;
            }
            std::vector<Report> reports;
            {
                std::lock_guard lock(mutex);
                requests.push_back(*request);
                reports = script ? script(*request, requests.size() - 1) : modelAnswer(*request);
            }
            for (const auto& report : reports) {
                pty.send(report);
            }
        }
    }

    std::vector<Report> modelAnswer(const Report& request) {
        const auto reply = model.answer(std::span(request).subspan(1));
        return reply ? std::vector<Report>{numbered(kVendorId, *reply)} : std::vector<Report>{};
    }

    void setScript(Script s) {
        std::lock_guard lock(mutex);
        script = std::move(s);
    }
    std::vector<Report> received() {
        std::lock_guard lock(mutex);
        return requests;
    }

    int send(std::vector<std::uint8_t> message, std::uint32_t timeoutMs = 1000) {
        return protocol.WaitForAnswer(message, reply, timeoutMs);
    }

    // The reports written since the last look, as the trace tells them; the unit's side may
    // not have read the last ones yet when an exchange returns.
    int writesSinceLastLook() {
        int writes = 0;
        for (auto at = trace.find("Send:  "); at != std::string::npos; at = trace.find("Send:  ", at + 1)) {
            ++writes;
        }
        trace.clear();
        return writes;
    }

    FakeHidrawTree tree;
    PtyHidrawNode pty{tree.node("hidraw0")};
    platform::LinuxHidBus bus{tree.sys().string(), tree.dev().string()};
    CHIDProtocol protocol{bus};
    std::string trace;
    sim::CatalogueUnitModel model{sim::catalogueProfile("brevik-kr600"), 0};
    ReplyBuffer reply{};

    std::mutex mutex;
    Script script;
    std::vector<Report> requests;
    std::atomic<bool> stop{false};
    std::thread responder;
};

TEST_F(HidrawUnit, ConnectSelectsTheVendorCollectionAndItsReportsCarryTheirId) {
    ASSERT_TRUE(protocol.Connect(-1, false, true));
    ASSERT_EQ(protocol.m_devices.size(), 2u);
    EXPECT_EQ(protocol.m_devices[0].caps.numberInputButtonCaps, 3);
    EXPECT_EQ(protocol.m_selectedDevice, 1);
    EXPECT_EQ(protocol.m_devices[1].devicePath, tree.node("hidraw0#2"));
    EXPECT_EQ(protocol.ReportLength(), 9);
    EXPECT_EQ(protocol.GetProductName(), "Brevik-KR600");
    EXPECT_EQ(protocol.m_firmwareVersionText, "7.3");
    EXPECT_EQ(protocol.m_protocolVersion, 22);
    const auto exchanged = received().size();
    ASSERT_GE(exchanged, 3u);
    ASSERT_TRUE(protocol.SendCommandNoReply(0xB100));
    for (int waited = 0; waited < 1000 && received().size() == exchanged; waited += 10) {
        platform::sleepMs(10);
    }
    const auto sent = received();
    EXPECT_EQ(sent.back(), numbered(kVendorId, {0xB1, 0x00}));
    for (const auto& request : sent) {
        EXPECT_EQ(request[0], kVendorId);
    }
}

TEST_F(HidrawUnit, KeyReportsOnTheSameNodeAreNoReplies) {
    ASSERT_TRUE(protocol.Connect(-1, false, false));
    // More key reports than the reject budget, then the answer.
    setScript([this](const Report& request, std::size_t) {
        std::vector<Report> reports(45, numbered(kKeysId, {0x01}));
        reports.push_back(modelAnswer(request).at(0));
        return reports;
    });
    EXPECT_EQ(send({0xA0, 0x00}), 0xA073);
    EXPECT_EQ(writesSinceLastLook(), 1);
}

TEST_F(HidrawUnit, AShortReplyLeavesNoStaleWordAndTheExchangeTriesAgain) {
    ASSERT_TRUE(protocol.Connect(-1, false, false));
    const std::vector<std::uint8_t> read77{0xF0, 0x0D, 0x00, 0x07, 0x07, 0x00, 0x00, 0x00};
    model.state().setParameter(7, 7, 0, 0x1234);
    ASSERT_EQ(send(read77), 0xF00D);
    EXPECT_EQ(reply[6], 0x12);
    EXPECT_EQ(writesSinceLastLook(), 1);

    // The next answer comes short (its code alone), which echoes no page and parameter: the
    // exchange reads on, times out and writes again.
    model.state().setParameter(7, 7, 0, 0x5678);
    setScript([this](const Report& request, std::size_t n) {
        return n == 1 ? std::vector<Report>{{kVendorId, 0xF0, 0x0D}} : modelAnswer(request);
    });
    EXPECT_EQ(send(read77, 200), 0xF00D);
    EXPECT_EQ(reply[6], 0x56);
    EXPECT_EQ(reply[7], 0x78);
    EXPECT_EQ(writesSinceLastLook(), 2);
}

TEST_F(HidrawUnit, ReportsQueuedBeforeARequestDoNotStarveItsReply) {
    ASSERT_TRUE(protocol.Connect(-1, false, false));
    for (int i = 0; i < 70; ++i) {
        ASSERT_TRUE(pty.send(numbered(kVendorId, {0x0F, 0x00, static_cast<std::uint8_t>(i)})));
    }
    ASSERT_TRUE(pty.waitUnread(70 * kReportBytes, 2000));
    EXPECT_EQ(send({0xA0, 0x00}), 0xA073);
    EXPECT_EQ(writesSinceLastLook(), 1);
}

TEST_F(HidrawUnit, AReopenedReadHandleWithOtherReportsEndsTheExchange) {
    ASSERT_TRUE(protocol.Connect(-1, false, false));
    // Forty rejected replies; meanwhile the node comes to declare a shorter vendor report.
    setScript([this](const Report&, std::size_t) {
        tree.setDescriptor("hidraw0", platform::samples::keysAndVendor(4));
        return std::vector<Report>(40, numbered(kVendorId, {0x0F, 0x00}));
    });
    EXPECT_EQ(send({0xA0, 0x00}, 300), -1);
    EXPECT_EQ(writesSinceLastLook(), 1);
}

// A vendor collection whose array field has many usages, each as many slots wide as a report
// holds: every button entry's usage list is as long as all of them together. With report IDs
// from firstId, the field repeats in `collections` top-level collections.
std::vector<std::uint8_t> costlyDescriptor(int usages, int collections = 1, std::uint8_t firstId = 0) {
    std::vector<std::uint8_t> bytes;
    for (int c = 0; c < collections; ++c) {
        bytes.insert(bytes.end(), {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x01, 0x96, 0xFF, 0xFF});
        if (firstId != 0) {
            bytes.insert(bytes.end(), {0x85, static_cast<std::uint8_t>(firstId + c)});
        }
        for (int i = 0; i < usages; ++i) {
            bytes.insert(bytes.end(), {0x09, static_cast<std::uint8_t>(i + 1)});
        }
        bytes.insert(bytes.end(), {0x81, 0x00, 0xC0});
    }
    return bytes;
}

TEST(HidrawScan, DescriptorsThatAskForTooMuchAreListedUnopenedAndSaySo) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> descriptor;
        std::size_t interfaces;
        std::size_t opened;
        const char* line;
    };
    const Case cases[] = {
        // 1950 usages of 65535 slots: about 500 GB of usage lists.
        {"one field", costlyDescriptor(1950), 1, 0, ": its report descriptor asks for "},
        // 0.5 MB each: the list is full after 31 of them.
        {"many collections", costlyDescriptor(2, 40, 1), 40, 31, ": the device list would take more than "},
    };
    for (const auto& c : cases) {
        FakeHidrawTree tree;
        tree.addInterface("hidraw0",
                          tree.sys() / "devices" / "usb1" / "1-2" / "1-2:1.0" / "0003:3B59:0053.0001",
                          "0003:00003B59:00000053", c.descriptor);
        std::string lines;
        platform::setDebugOutputSink([&lines](const std::string& text) { lines += text; });
        platform::LinuxHidBus bus(tree.sys().string(), tree.dev().string());
        std::vector<HidDeviceRecord> records;
        const bool listed = EnumerateHidDevices(bus, records);
        platform::setDebugOutputSink({});
        ASSERT_TRUE(listed) << c.name;
        ASSERT_EQ(records.size(), c.interfaces) << c.name;
        const auto opened =
            std::count_if(records.begin(), records.end(), [](const auto& r) { return r.isOpen(); });
        EXPECT_EQ(static_cast<std::size_t>(opened), c.opened) << c.name;
        EXPECT_TRUE(records.back().hasPath) << c.name;
        EXPECT_NE(lines.find("HID interface " + records.back().devicePath + c.line), std::string::npos)
            << c.name << ": " << lines;
    }
}

// Runs check as a user without access to root's files; the text it returns comes back.
std::string runUnprivileged(const std::function<std::string()>& check) {
    if (::geteuid() != 0) {
        return check();
    }
    int channel[2];
    if (::pipe(channel) != 0) {
        return "pipe failed";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::string text = "cannot drop privileges";
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            text = check();
        }
        const ssize_t ignored = ::write(channel[1], text.data(), text.size());
        static_cast<void>(ignored);
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string text;
    char chunk[256];
    ssize_t n;
    while ((n = ::read(channel[0], chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(channel[0]);
    ::waitpid(child, nullptr, 0);
    return text;
}

TEST(HidrawAccess, ANodeWithoutPermissionIsToldWithTheUdevRule) {
    FakeHidrawTree tree;
    addUnitNode(tree);
    FakeHidrawTree::writeFile(tree.dev() / "hidraw0", "");
    ::chmod(tree.node("hidraw0").c_str(), 0);
    ::chmod(tree.root().c_str(), 0755);

    const std::string outcome = runUnprivileged([&tree] {
        std::string lines;
        platform::setDebugOutputSink([&lines](const std::string& text) { lines += text; });
        platform::LinuxHidBus bus(tree.sys().string(), tree.dev().string());
        CHIDProtocol protocol{bus};
        const bool connected = protocol.Connect(-1, false, false);
        platform::setDebugOutputSink({});
        return std::string(connected ? "connected\n" : "not connected\n") + lines;
    });
    EXPECT_EQ(outcome,
              "not connected\nopen " + tree.node("hidraw0") +
                  ": Permission denied: the udev rule 70-quenlor-speakerphone.rules gives the users of "
                  "local seat sessions access to the unit\n");
}

}  // namespace
