#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace platform {

// The user's settings: one INI file per key under $XDG_CONFIG_HOME (~/.config without it).
// A key path such as "Software\Kestu\Quenlor Probe Guide" is kept in
// "<config home>/Kestu/Quenlor Probe Guide.conf"; a leading "Software" is dropped and the
// other parts become folders. Each value keeps its name, its type and its bytes.
//
// Every write reads the file afresh, changes one value and replaces the whole file through a
// temporary file that is flushed to disk before it is renamed over the old one, so a crash
// leaves either the old file or the new one. A file that cannot be read or parsed yields no
// values and is never written over.

enum class SettingType { String, Dword };

struct SettingValue {
    SettingType type = SettingType::String;
    std::vector<std::uint8_t> bytes;  // a string's bytes, or a number's 4 bytes (least significant first)
};

// The settings file of a key path, or an empty text for a path with no name in it.
std::string settingsFileForKey(const std::string& keyPath);

class SettingsFile {
public:
    explicit SettingsFile(std::string path);

    const std::string& path() const { return m_path; }

    // The values of the file; an empty map for a file that does not exist yet. Fails for a
    // file that cannot be read or does not parse.
    Result<std::map<std::string, SettingValue>> readAll() const;

    // Makes the file's folder, so that the key exists. Fails when it cannot be made.
    Result<bool> create() const;

    // Sets one value, keeping the others. Fails, writing nothing, when the file exists but
    // cannot be read or parsed, or when the new file cannot be written.
    Result<bool> write(const std::string& name, const SettingValue& value) const;

    // Called after the new file is written and flushed and before it is renamed (tests stop
    // the process there). Empty: nothing is called.
    static void setBeforeRenameHook(std::function<void()> hook);

private:
    std::string m_path;
};

}  // namespace platform
