#pragma once

#include <string>

#include "platform/System.h"

// Collects what the code under test tells the debug output while it lives.
class DebugCapture {
public:
    DebugCapture() {
        platform::setDebugOutputSink([this](const std::string& text) { m_text += text + "\n"; });
    }
    ~DebugCapture() { platform::setDebugOutputSink({}); }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};
