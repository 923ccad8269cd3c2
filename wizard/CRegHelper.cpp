#include "wizard/CRegHelper.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/SettingsStore.h"
#include "platform/System.h"

CRegHelper::CRegHelper() = default;

CRegHelper::~CRegHelper() {
    m_key.reset();
}

void CRegHelper::SetRoot(RegRoot root) {
    m_rootKey = root;
}

bool CRegHelper::OpenKey(const std::string& keyPath) {
    m_key.reset();
    const std::string path = platform::settingsFileForKey(keyPath);
    m_filePath = path;
    if (path.empty()) {
        return false;
    }
    auto file = std::make_unique<platform::SettingsFile>(path);
    if (const auto made = file->create(); !made) {
        noteWriteError(made.error().what);
        return false;
    }
    m_key = std::move(file);
    return true;
}

void CRegHelper::SetDword(const std::string& name, std::uint32_t value) {
    if (!m_key) {
        return;
    }
    platform::SettingValue setting{platform::SettingType::Dword, {}};
    for (int i = 0; i < 4; ++i) {
        setting.bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    if (const auto written = m_key->write(name, setting); !written) {
        platform::debugOutput("Unable to save to registry\n");
        noteWriteError(written.error().what);
    }
}

void CRegHelper::SetString(const std::string& name, std::string value) {
    if (!m_key) {
        return;
    }
    const platform::SettingValue setting{platform::SettingType::String, {value.begin(), value.end()}};
    if (const auto written = m_key->write(name, setting); !written) {
        platform::debugOutput("Unable to save to registry\n");
        noteWriteError(written.error().what);
    }
}

int CRegHelper::GetString(const std::string& name, std::string& value) {
    if (!m_key) {
        return 0;
    }
    const auto read = m_key->readValue(name);
    const platform::SettingValue* found = read && read.value() ? &*read.value() : nullptr;
    if (found == nullptr || found->bytes.size() > kQueryLimit) {
        platform::debugOutput("Unable to query registry\n");
        return 0;
    }
    // A value is read whatever its type; its text ends at the first zero byte or with the value.
    const auto& bytes = found->bytes;
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    value.assign(bytes.begin(), end);
    return 1;
}

std::string CRegHelper::ReadError() const {
    if (!m_key) {
        return {};
    }
    const auto read = m_key->readValue({});
    return read ? std::string() : read.error().what;
}

void CRegHelper::noteWriteError(const std::string& what) {
    if (m_writeError.empty()) {
        m_writeError = what;
    }
}
