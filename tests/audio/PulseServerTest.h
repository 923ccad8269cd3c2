#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

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

// Sets (or, given nothing, unsets) an environment variable for a scope, then restores it.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : m_name(std::move(name)) {
        if (const char* old = std::getenv(m_name.c_str())) {
            m_old = old;
        }
        value ? ::setenv(m_name.c_str(), value->c_str(), 1) : ::unsetenv(m_name.c_str());
    }
    ~ScopedEnv() { m_old ? ::setenv(m_name.c_str(), m_old->c_str(), 1) : ::unsetenv(m_name.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

}  // namespace testing_audio
