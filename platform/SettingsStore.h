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
// The file is read as people write it: LF, CR LF or CR line ends, an optional UTF-8 byte order
// mark, blank lines, whole-line comments (';' or '#'), an indented "[Values]" header, blanks
// around '=', and values with or without their type ("sz:", "dword:"; none: the text as it
// stands, trimmed). Lines of other sections are kept but not read. A file is parsed once for
// each change of it (its identity, size and times); one larger than kMaxFileBytes, or with a
// line in the values that is not a setting (or holds a raw control byte), cannot be used: it
// yields an error naming the file (and the line) and is never written over.
//
// Every write takes an exclusive lock on "<file>.lock" beside the file (flock), reads the file
// afresh, changes one value's line (or adds one) and replaces the whole file through a
// temporary file that is flushed to disk before it is renamed over the old one, so a crash
// leaves either the old file or the new one and writers in other processes lose nothing.
// Every other line is kept byte for byte, and so is the file's mode (0600 for a new file); a
// file that is a symbolic link is replaced at its target. A write that would make the file
// larger than kMaxFileBytes fails and changes nothing.

enum class SettingType { String, Dword };

struct SettingValue {
    SettingType type = SettingType::String;
    std::vector<std::uint8_t> bytes;  // a string's bytes, or a number's 4 bytes (least significant first)
};

// The settings file of a key path, or an empty text for a path with no name in it.
std::string settingsFileForKey(const std::string& keyPath);

class SettingsFile {
public:
    // The largest settings file that is read.
    static constexpr std::size_t kMaxFileBytes = 1024 * 1024;

    explicit SettingsFile(std::string path);

    const std::string& path() const { return m_path; }

    // The values of the file; an empty map for a file that does not exist yet. Fails for a
    // file that cannot be read or used.
    Result<std::map<std::string, SettingValue>> readAll() const;
    // One value (nullopt when the file has none of that name), without copying the others.
    Result<std::optional<SettingValue>> readValue(const std::string& name) const;

    // Makes the file's folder, so that the key exists. Fails when it cannot be made.
    Result<bool> create() const;

    // Sets one value, keeping everything else. Fails, writing nothing, when the file exists but
    // cannot be read or used, or when the new file cannot be written.
    Result<bool> write(const std::string& name, const SettingValue& value) const;

    // Called after the new file is written and flushed and before it is renamed (tests stop
    // the process there). Empty: nothing is called.
    static void setBeforeRenameHook(std::function<void()> hook);
    // How many times a settings file has been parsed in this process (for tests and probes).
    static std::uint64_t parseCount();

private:
    std::string m_path;
};

}  // namespace platform
