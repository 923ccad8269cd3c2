#include <gtest/gtest.h>

#include <cstring>

#include "audio/CWaveInDevice.h"
#include "audio/CWaveOutDevice.h"
#include "platform/MessageBox.h"
#include "platform/System.h"
#include "sim/SimAudio.h"
#include "tests/audio/AudioTestSupport.h"

using audiotest::kTestSpeed;

namespace {

class WaveDeviceTest : public ::testing::Test {
protected:
    WaveDeviceTest() : audio(unit, audiotest::SimRig::fastConfig()) {}

    std::shared_ptr<sim::UnitState> unit = std::make_shared<sim::UnitState>();
    sim::SimAudio audio;
    std::shared_ptr<platform::RecordingMessageBoxHandler> boxes =
        std::make_shared<platform::RecordingMessageBoxHandler>();
    platform::ScopedMessageBoxHandler scoped{boxes};
    static constexpr int kUnitId = 1;
};

}  // namespace

TEST_F(WaveDeviceTest, DefaultsAndAllocation) {
    CWaveOutDevice out(audio);
    EXPECT_EQ(out.m_deviceId, -1);
    EXPECT_EQ(out.m_format.blockAlign, 2);
    EXPECT_EQ(out.m_format.avgBytesPerSec, 22050u);
    EXPECT_EQ(out.GetBuffer(0), nullptr);
    ASSERT_EQ(out.AllocateBuffers(), 1);
    ASSERT_NE(out.GetBuffer(9), nullptr);
    EXPECT_EQ(out.GetBuffer(10), nullptr);
    EXPECT_EQ(out.GetBuffer(9)->GetLength(), 1024u);

    out.SetBufferCount(4);  // takes effect at the next allocation only
    EXPECT_NE(out.GetBuffer(9), nullptr);
    out.AllocateBuffers();
    EXPECT_EQ(out.GetBuffer(4), nullptr);
    EXPECT_NE(out.GetBuffer(3), nullptr);

    CWaveInDevice in(audio);
    EXPECT_EQ(in.GetBuffer(0), nullptr);  // nothing allocated yet
    in.SetBufferCount(6);                 // allocates at once
    EXPECT_NE(in.GetBuffer(5), nullptr);
    EXPECT_EQ(in.GetBufferCount(), 6);
    in.SetBufferCount(0);
    EXPECT_EQ(in.GetBuffer(0), nullptr);
}

TEST_F(WaveDeviceTest, ClosedDevicesNeedNoPlatform) {
    CWaveOutDevice out(audio);
    out.AllocateBuffers();
    EXPECT_EQ(out.UnprepareHeader(out.GetBuffer(0)), 1);  // never prepared
    EXPECT_EQ(out.PrepareHeader(out.GetBuffer(0)), 0);    // no device open
    EXPECT_EQ(out.Write(nullptr), 0);
    CWaveInDevice in(audio);
    EXPECT_EQ(in.Close(), 1);
    EXPECT_EQ(in.QueueBuffers(), 0);  // missing blocks cannot be queued
    in.SetBufferCount(2);
    EXPECT_EQ(in.QueueBuffers(), 0);  // nor can blocks without an open device
}

TEST_F(WaveDeviceTest, RecordingOpenFailuresShowTheirTexts) {
    struct Case {
        int deviceId;
        CWaveFormat format;
        const char* text;
    };
    const Case cases[] = {
        {5, CWaveFormat(1, 16000, 16), "Specified device identifier is out of range."},
        {kUnitId, CWaveFormat(1, 16000, 8), "Attempted to open with an unsupported waveform-audio format."},
        {kUnitId, CWaveFormat(3, 16000, 16), "Attempted to open with an unsupported waveform-audio format."},
    };
    for (const auto& c : cases) {
        boxes->clear();
        CWaveInDevice in(audio);
        in.m_deviceId = c.deviceId;
        EXPECT_EQ(in.Open(&c.format), 0);
        EXPECT_FALSE(in.IsOpen());
        ASSERT_EQ(boxes->count(), 1u);
        EXPECT_EQ(boxes->shown()[0].caption, "Open Recording Device");
        EXPECT_EQ(boxes->shown()[0].text, c.text);
        EXPECT_EQ(boxes->shown()[0].style, platform::mb::kIconError);
    }
    EXPECT_STREQ(platform::wave::openErrorText(6), "No device driver is present.");
    EXPECT_STREQ(platform::wave::openErrorText(7), "Unable to allocate or lock memory.");
    EXPECT_STREQ(platform::wave::openErrorText(99), "Unknown Error");
}

TEST_F(WaveDeviceTest, UnitDevicesOpenOnceAndNotTwice) {
    const CWaveFormat format(1, 16000, 16);
    CWaveInDevice first(audio);
    first.m_deviceId = kUnitId;
    ASSERT_EQ(first.Open(&format), 1);
    EXPECT_EQ(first.Open(&format), 0);  // already open: unchanged
    EXPECT_TRUE(first.IsOpen());
    CWaveInDevice second(audio);
    second.m_deviceId = kUnitId;
    EXPECT_EQ(second.Open(&format), 0);
    ASSERT_EQ(boxes->count(), 1u);
    EXPECT_EQ(boxes->shown()[0].text, "Specified resource is already allocated.");
    EXPECT_EQ(first.Close(), 1);
    EXPECT_EQ(second.Open(&format), 1);
}

TEST_F(WaveDeviceTest, WaitEventTimesOutWhenNothingRecords) {
    CWaveInDevice in(audio);
    in.m_deviceId = kUnitId;
    const CWaveFormat format(1, 16000, 16);
    ASSERT_EQ(in.Open(&format), 1);
    EXPECT_EQ(in.WaitEvent(100), platform::kWaitTimeout);  // not started
}

TEST_F(WaveDeviceTest, PlayedBlocksComeBackInOrderAndStuckWaitsEnd) {
    CWaveOutDevice out(audio);
    const CWaveFormat format(1, 16000, 16);
    out.SetBufferCount(3);
    out.SetFormat(format, 1600);  // 50 ms blocks
    out.m_deviceId = kUnitId;
    ASSERT_EQ(out.Open(&format), 1);
    for (int i = 0; i < 3; ++i) {
        CWaveBuffer* block = out.GetBuffer(i);
        ASSERT_EQ(out.PrepareHeader(block), 1);
        ASSERT_EQ(out.Write(block), 1);
    }
    // Still queued: it can be neither taken back nor queued again.
    EXPECT_EQ(out.UnprepareHeader(out.GetBuffer(2)), 0);
    EXPECT_EQ(out.Write(out.GetBuffer(2)), 0);
    EXPECT_EQ(CWaveOutDevice::WaitDone(out.GetBuffer(2), 5000), 1);
    EXPECT_TRUE(out.GetBuffer(0)->IsDone());
    EXPECT_EQ(out.UnprepareHeader(out.GetBuffer(2)), 1);
    EXPECT_EQ(out.Write(out.GetBuffer(2)), 0);  // unprepared blocks are refused
    EXPECT_EQ(audio.speakerFramesPlayed(), 3u * 800u);

    // A block that never completes ends the wait at its time-out.
    CWaveBuffer idle(64);
    EXPECT_EQ(CWaveOutDevice::WaitDone(&idle, 20), 0);
}

TEST_F(WaveDeviceTest, RecordedBlocksAreFullAndAnOpenDeviceIsSafeToDestroy) {
    auto in = std::make_unique<CWaveInDevice>(audio);
    const CWaveFormat format(2, 32000, 16);
    in->SetBufferCount(4);
    in->SetFormat(format, 8192);
    in->m_deviceId = kUnitId;
    ASSERT_EQ(in->Open(&format), 1);
    ASSERT_EQ(in->QueueBuffers(), 1);
    in->ResetEvent();
    ASSERT_EQ(in->Start(), 1);
    for (int i = 0; i < 2; ++i) {
        CWaveBuffer* block = in->GetBuffer(i);
        while (!block->IsDone()) {
            ASSERT_EQ(in->WaitEvent(2000), platform::kWaitObject0);
        }
        EXPECT_EQ(block->GetBytesRecorded(), 8192u);
        EXPECT_EQ(in->UnprepareHeader(block), 1);
    }
    // Blocks 2 and 3 are still queued: destruction must take them back from the device.
    in.reset();
    EXPECT_EQ(boxes->count(), 0u);
}

TEST_F(WaveDeviceTest, StopReturnsThePartlyFilledBlock) {
    CWaveInDevice in(audio);
    const CWaveFormat format(1, 8000, 16);
    in.SetBufferCount(1);
    in.SetFormat(format, 16000);  // one second
    in.m_deviceId = kUnitId;
    ASSERT_EQ(in.Open(&format), 1);
    ASSERT_EQ(in.QueueBuffers(), 1);
    ASSERT_EQ(in.Start(), 1);
    platform::sleepMs(static_cast<std::uint32_t>(300 / kTestSpeed) + 5);
    ASSERT_EQ(in.Stop(), 1);
    CWaveBuffer* block = in.GetBuffer(0);
    ASSERT_TRUE(block->IsDone());
    EXPECT_GT(block->GetBytesRecorded(), 0u);
    EXPECT_LT(block->GetBytesRecorded(), 16000u);
    EXPECT_EQ(block->GetBytesRecorded() % 2, 0u);
    EXPECT_EQ(in.Reset(), 1);
    EXPECT_EQ(in.Close(), 1);
}
