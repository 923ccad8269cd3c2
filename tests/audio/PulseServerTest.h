#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "tests/audio/PulseTestServer.h"

namespace testing_audio {

// Base of the suites that run against one private PulseAudio server, started for the suite.
class PulseServerTest : public testing::Test {
protected:
    static void SetUpTestSuite() { s_server = std::make_unique<PulseTestServer>(); }
    static void TearDownTestSuite() { s_server.reset(); }
    void SetUp() override { ASSERT_TRUE(s_server->running()) << s_server->failure(); }

    static inline std::unique_ptr<PulseTestServer> s_server;
};

}  // namespace testing_audio
