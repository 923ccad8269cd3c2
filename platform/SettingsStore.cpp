#include "platform/SettingsStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace platform {
namespace {

constexpr const char* kHeader = "[Values]";

std::function<void()>& beforeRenameHook() {
    static std::function<void()> hook;
    return hook;
}

std::string configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

// Names and string bytes are written with '\' escapes for '\', '=', line ends and any byte
// that is not printable, so that every line holds exactly one value.
std::string escape(const std::vector<std::uint8_t>& bytes, bool isName) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        if (b == '\\' || (isName && b == '=')) {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20 || b == 0x7F || (isName && b == '[')) {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0xF];
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Reads escaped text from `pos` up to an unescaped `stop` (or the end when stop is 0).
std::optional<std::vector<std::uint8_t>> unescape(const std::string& text, std::size_t& pos, char stop) {
    std::vector<std::uint8_t> out;
    while (pos < text.size() && (stop == 0 || text[pos] != stop)) {
        char c = text[pos++];
        if (c != '\\') {
            out.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        if (pos >= text.size()) {
            return std::nullopt;
        }
        c = text[pos++];
        if (c == 'x') {
            if (pos + 2 > text.size() || hexDigit(text[pos]) < 0 || hexDigit(text[pos + 1]) < 0) {
                return std::nullopt;
            }
            out.push_back(static_cast<std::uint8_t>(hexDigit(text[pos]) * 16 + hexDigit(text[pos + 1])));
            pos += 2;
        } else if (c == '\\' || c == '=') {
            out.push_back(static_cast<std::uint8_t>(c));
        } else {
            return std::nullopt;
        }
    }
    if (stop != 0 && pos >= text.size()) {
        return std::nullopt;
    }
    return out;
}

std::optional<std::pair<std::string, SettingValue>> parseLine(const std::string& line) {
    std::size_t pos = 0;
    auto name = unescape(line, pos, '=');
    if (!name || name->empty()) {
        return std::nullopt;
    }
    ++pos;  // '='
    SettingValue value;
    const std::string rest = line.substr(pos);
    if (rest.rfind("sz:", 0) == 0) {
        std::size_t textPos = 3;
        auto bytes = unescape(rest, textPos, 0);
        if (!bytes) {
            return std::nullopt;
        }
        value.bytes = std::move(*bytes);
    } else if (rest.rfind("dword:", 0) == 0) {
        const std::string digits = rest.substr(6);
        if (digits.empty() || digits.size() > 10 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        const unsigned long long number = std::stoull(digits);
        if (number > 0xFFFFFFFFull) {
            return std::nullopt;
        }
        value.type = SettingType::Dword;
        for (int i = 0; i < 4; ++i) {
            value.bytes.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
        }
    } else {
        return std::nullopt;
    }
    return std::make_pair(std::string(name->begin(), name->end()), std::move(value));
}

std::string formatLine(const std::string& name, const SettingValue& value) {
    std::string line = escape({name.begin(), name.end()}, true) + "=";
    if (value.type == SettingType::Dword) {
        std::uint32_t number = 0;
        for (std::size_t i = 0; i < 4 && i < value.bytes.size(); ++i) {
            number |= static_cast<std::uint32_t>(value.bytes[i]) << (8 * i);
        }
        line += "dword:" + std::to_string(number);
    } else {
        line += "sz:" + escape(value.bytes, false);
    }
    return line + "\n";
}

PlatformError corrupt(const std::string& path, std::size_t lineNumber) {
    return {EILSEQ, "read " + path + ": line " + std::to_string(lineNumber) + " is not a setting"};
}

bool writeAllBytes(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string settingsFileForKey(const std::string& keyPath) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : keyPath + "\\") {
        if (c != '\\') {
            part += c;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    if (!parts.empty() && parts.front() == "Software") {
        parts.erase(parts.begin());
    }
    if (parts.empty()) {
        return {};
    }
    for (const auto& p : parts) {
        if (p == "." || p == ".." || p.find('/') != std::string::npos) {
            return {};
        }
    }
    std::string path = configHome();
    for (const auto& p : parts) {
        path += "/" + p;
    }
    return path + ".conf";
}

SettingsFile::SettingsFile(std::string path) : m_path(std::move(path)) {}

void SettingsFile::setBeforeRenameHook(std::function<void()> hook) {
    beforeRenameHook() = std::move(hook);
}

Result<std::map<std::string, SettingValue>> SettingsFile::readAll() const {
    std::map<std::string, SettingValue> values;
    struct stat info {};
    if (::stat(m_path.c_str(), &info) != 0 && errno == ENOENT) {
        return values;
    }
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        return errnoError("open " + m_path);
    }
    std::string line;
    std::size_t lineNumber = 0;
    bool header = false;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty()) {
            continue;
        }
        if (!header) {
            if (line != kHeader) {
                return corrupt(m_path, lineNumber);
            }
            header = true;
            continue;
        }
        auto parsed = parseLine(line);
        if (!parsed) {
            return corrupt(m_path, lineNumber);
        }
        values[parsed->first] = std::move(parsed->second);
    }
    if (in.bad()) {
        return errnoError("read " + m_path);
    }
    return values;
}

Result<bool> SettingsFile::create() const {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(m_path).parent_path(), error);
    if (error) {
        return PlatformError{error.value(), "create folder of " + m_path + ": " + error.message()};
    }
    return true;
}

Result<bool> SettingsFile::write(const std::string& name, const SettingValue& value) const {
    // One writer at a time in this process; other processes are covered by the rename.
    static std::mutex writeMutex;
    std::lock_guard lock(writeMutex);

    auto values = readAll();
    if (!values) {
        return values.error();
    }
    values.value()[name] = value;
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [n, v] : values.value()) {
        text += formatLine(n, v);
    }

    if (auto made = create(); !made) {
        return made.error();
    }
    std::string temp = m_path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return errnoError("create " + temp);
    }
    ::fchmod(fd, 0600);
    if (!writeAllBytes(fd, text) || ::fsync(fd) != 0) {
        const PlatformError error = errnoError("write " + temp);
        ::close(fd);
        ::unlink(temp.c_str());
        return error;
    }
    ::close(fd);
    if (beforeRenameHook()) {
        beforeRenameHook()();
    }
    if (::rename(temp.c_str(), m_path.c_str()) != 0) {
        const PlatformError error = errnoError("rename " + temp);
        ::unlink(temp.c_str());
        return error;
    }
    return true;
}

}  // namespace platform
