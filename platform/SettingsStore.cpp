#include "platform/SettingsStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

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
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
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

constexpr const char* kBlanks = " \t";

std::string hexEscape(char c) {
    static const char* hex = "0123456789abcdef";
    const auto b = static_cast<unsigned char>(c);
    return std::string("\\x") + hex[b >> 4] + hex[b & 0xF];
}

std::string formatName(const std::string& name) {
    std::string text = escape({name.begin(), name.end()}, true);
    // A name that would read as a comment, or whose blanks would be trimmed, keeps its bytes.
    if (!text.empty() && (text.front() == ';' || text.front() == '#' || text.front() == ' ')) {
        text = hexEscape(text.front()) + text.substr(1);
    }
    if (!text.empty() && text.back() == ' ') {
        text = text.substr(0, text.size() - 1) + hexEscape(' ');
    }
    return text;
}

std::string formatLine(const std::string& name, const SettingValue& value) {
    std::string line = formatName(name) + "=";
    if (value.type == SettingType::Dword) {
        std::uint32_t number = 0;
        for (std::size_t i = 0; i < 4 && i < value.bytes.size(); ++i) {
            number |= static_cast<std::uint32_t>(value.bytes[i]) << (8 * i);
        }
        line += "dword:" + std::to_string(number);
    } else {
        line += "sz:" + escape(value.bytes, false);
    }
    return line;
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Escaped text as the file holds it: "\\", "\=" and "\xHH" are escapes; any other backslash,
// such as the one ending a folder, stands for itself.
std::vector<std::uint8_t> unescape(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c == '\\' && pos + 1 < text.size() && (text[pos + 1] == '\\' || text[pos + 1] == '=')) {
            out.push_back(static_cast<std::uint8_t>(text[++pos]));
        } else if (c == '\\' && pos + 3 < text.size() && text[pos + 1] == 'x' &&
                   hexDigit(text[pos + 2]) >= 0 && hexDigit(text[pos + 3]) >= 0) {
            out.push_back(static_cast<std::uint8_t>(hexDigit(text[pos + 2]) * 16 + hexDigit(text[pos + 3])));
            pos += 3;
        } else {
            out.push_back(static_cast<std::uint8_t>(c));
        }
    }
    return out;
}

// The '=' that ends a value's name: the first one not escaped by a backslash.
std::size_t nameEnd(std::string_view line) {
    for (std::size_t pos = 0; pos < line.size(); ++pos) {
        if (line[pos] == '\\' && pos + 1 < line.size() && (line[pos + 1] == '\\' || line[pos + 1] == '=')) {
            ++pos;
        } else if (line[pos] == '=') {
            return pos;
        }
    }
    return std::string_view::npos;
}

// One line of the values ("name=sz:text", "name = text", "name=dword:24"), or nullopt when it
// is not one.
std::optional<std::pair<std::string, SettingValue>> parseValueLine(std::string_view line) {
    const std::size_t equals = nameEnd(line);
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    const std::vector<std::uint8_t> name = unescape(trimmed(line.substr(0, equals)));
    if (name.empty()) {
        return std::nullopt;
    }
    std::string_view rest = line.substr(equals + 1);
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(kBlanks)));
    SettingValue value;
    if (rest.rfind("sz:", 0) == 0) {
        value.bytes = unescape(rest.substr(3));
    } else if (rest.rfind("dword:", 0) == 0) {
        const std::string_view digits = trimmed(rest.substr(6));
        if (digits.empty() || digits.size() > 10 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        const unsigned long long number = std::stoull(std::string(digits));
        if (number > 0xFFFFFFFFull) {
            return std::nullopt;
        }
        value.type = SettingType::Dword;
        for (int i = 0; i < 4; ++i) {
            value.bytes.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
        }
    } else {
        // A value written without its type is the text as it stands.
        const std::string_view text = trimmed(rest);
        value.bytes.assign(text.begin(), text.end());
    }
    return std::make_pair(std::string(name.begin(), name.end()), std::move(value));
}

// The length of the line end (CR LF, LF or CR) that ends the text, 0 when none does.
std::size_t lineEndLength(std::string_view text) {
    if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") {
        return 2;
    }
    return !text.empty() && (text.back() == '\n' || text.back() == '\r') ? 1 : 0;
}

// A settings file as its lines, each with its own line end, and the values read from them.
struct SettingsDocument {
    std::vector<std::string> lines;
    std::map<std::string, SettingValue> values;
    std::map<std::string, std::size_t> lineOfValue;  // the line each value was read from
    std::size_t valuesEnd = 0;                       // the line before which a new value goes
    bool hasValues = false;                          // a "[Values]" header or a value line
    std::string lineEnd = "\n";                      // the file's own, taken from its first line
};

Result<SettingsDocument> parseDocument(const std::string& text, const std::string& path) {
    SettingsDocument doc;
    // Lines end with LF, CR LF or a lone CR; the file's first line end is the one new lines get.
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t brk = text.find_first_of("\r\n", pos);
        std::size_t end = text.size();
        if (brk != std::string::npos) {
            end = text.compare(brk, 2, "\r\n") == 0 ? brk + 2 : brk + 1;
            if (doc.lines.empty()) {
                doc.lineEnd = text.substr(brk, end - brk);
            }
        }
        doc.lines.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    // Lines before any section header are read as values, as if "[Values]" came first.
    bool inValues = true;
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        std::string_view line = doc.lines[i];
        line.remove_suffix(lineEndLength(line));
        if (i == 0 && line.rfind("\xEF\xBB\xBF", 0) == 0) {
            line.remove_prefix(3);
        }
        const std::string_view content = trimmed(line);
        if (content.empty() || content.front() == ';' || content.front() == '#') {
            continue;
        }
        if (content.front() == '[' && content.back() == ']') {
            inValues = trimmed(content.substr(1, content.size() - 2)) == "Values";
            if (inValues && !doc.hasValues) {
                doc.hasValues = true;
                doc.valuesEnd = i + 1;
            }
            continue;
        }
        if (!inValues) {
            continue;  // another section: kept, not read
        }
        // Every control byte of a value is written escaped (a tab may stand between the name and
        // the value): one left raw means the line is not what its writer meant, such as lines
        // split by an end this reader does not know.
        const bool raw = std::any_of(line.begin(), line.end(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return (b < 0x20 && b != '\t') || b == 0x7F;
        });
        auto parsed = raw ? std::nullopt : parseValueLine(line);
        if (!parsed) {
            return PlatformError{EILSEQ,
                                 "read " + path + ": line " + std::to_string(i + 1) + " is not a setting"};
        }
        doc.lineOfValue[parsed->first] = i;
        doc.values[parsed->first] = std::move(parsed->second);
        doc.hasValues = true;
        doc.valuesEnd = i + 1;
    }
    return doc;
}

// The text of the file with one value set: its line replaced in place, or a new line after
// the last value (after a "[Values]" header added at the end when the file has no values).
std::string withValue(const SettingsDocument& doc, const std::string& name, const SettingValue& value) {
    std::vector<std::string> lines = doc.lines;
    const std::string line = formatLine(name, value);
    if (const auto it = doc.lineOfValue.find(name); it != doc.lineOfValue.end()) {
        std::string& old = lines[it->second];
        old = line + old.substr(old.size() - lineEndLength(old));
    } else {
        std::vector<std::string> added;
        std::size_t at = doc.valuesEnd;
        if (!doc.hasValues) {
            at = lines.size();
            added.push_back(kHeader + doc.lineEnd);
        }
        added.push_back(line + doc.lineEnd);
        if (at > 0 && lineEndLength(lines[at - 1]) == 0) {
            lines[at - 1] += doc.lineEnd;
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
    }
    std::string text;
    for (const std::string& l : lines) {
        text += l;
    }
    return text;
}

// What tells one version of a file from another.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    bool operator==(const FileIdentity& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

using ParsedDocument = std::shared_ptr<const Result<SettingsDocument>>;

struct CachedDocument {
    FileIdentity identity;
    ParsedDocument parsed;
};

std::mutex& cacheMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, CachedDocument>& cache() {
    static std::map<std::string, CachedDocument> documents;
    return documents;
}

std::atomic<std::uint64_t>& parses() {
    static std::atomic<std::uint64_t> count{0};
    return count;
}

PlatformError tooLarge(const std::string& path) {
    return {EFBIG,
            "read " + path + ": larger than " + std::to_string(SettingsFile::kMaxFileBytes) + " bytes"};
}

// The file as parsed (or why it does not parse): from the cache while the file is unchanged,
// else read and parsed afresh. A file that does not exist is an empty document.
Result<ParsedDocument> loadDocument(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::make_shared<const Result<SettingsDocument>>(SettingsDocument{});
        }
        return errnoError("open " + path);
    }
    const struct FdGuard {
        int fd;
        ~FdGuard() { ::close(fd); }
    } guard{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return errnoError("stat " + path);
    }
    if (!S_ISREG(info.st_mode)) {
        return PlatformError{EINVAL, "read " + path + ": not a regular file"};
    }
    if (static_cast<std::uint64_t>(info.st_size) > SettingsFile::kMaxFileBytes) {
        return tooLarge(path);
    }
    const FileIdentity identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    {
        std::lock_guard lock(cacheMutex());
        const auto it = cache().find(path);
        if (it != cache().end() && it->second.identity == identity) {
            return it->second.parsed;
        }
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errnoError("read " + path);
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > SettingsFile::kMaxFileBytes) {
            return tooLarge(path);
        }
    }
    ++parses();
    auto parsed = std::make_shared<const Result<SettingsDocument>>(parseDocument(text, path));
    // A file that changed while it was read is parsed again next time.
    if (static_cast<std::size_t>(info.st_size) == text.size()) {
        std::lock_guard lock(cacheMutex());
        cache()[path] = CachedDocument{identity, parsed};
    }
    return parsed;
}

// The parsed document, or why the file cannot be used.
Result<ParsedDocument> usableDocument(const std::string& path) {
    auto loaded = loadDocument(path);
    if (loaded && !*loaded.value()) {
        return loaded.value()->error();
    }
    return loaded;
}

// Holds an exclusive lock on the lock file beside a settings file while it lives.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            m_error = errnoError("open " + path);
            return;
        }
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_error = errnoError("flock " + path);
                return;
            }
        }
    }
    ~FileLock() {
        if (m_fd >= 0) {
            ::close(m_fd);  // releases the lock
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    const std::optional<PlatformError>& error() const { return m_error; }

private:
    int m_fd = -1;
    std::optional<PlatformError> m_error;
};

// The file a path names once its symbolic links are followed (a link's relative target is
// taken from the link's folder); the path itself when it is no link. A target that does not
// exist yet is where the file will be made.
std::string linkTarget(const std::string& path) {
    namespace fs = std::filesystem;
    fs::path current(path);
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(current, error)) || error) {
            return current.string();
        }
        const fs::path next = fs::read_symlink(current, error);
        if (error) {
            return current.string();
        }
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    return current.string();
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

std::uint64_t SettingsFile::parseCount() {
    return parses();
}

Result<std::map<std::string, SettingValue>> SettingsFile::readAll() const {
    auto doc = usableDocument(m_path);
    if (!doc) {
        return doc.error();
    }
    return doc.value()->value().values;
}

Result<std::optional<SettingValue>> SettingsFile::readValue(const std::string& name) const {
    auto doc = usableDocument(m_path);
    if (!doc) {
        return doc.error();
    }
    const auto& values = doc.value()->value().values;
    const auto it = values.find(name);
    return it == values.end() ? std::optional<SettingValue>() : std::optional<SettingValue>(it->second);
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
    // One writer at a time: threads of this process by the mutex, other processes by the lock
    // file, held from the read to the rename so that no other writer's change is lost.
    static std::mutex writeMutex;
    std::lock_guard lock(writeMutex);
    if (auto made = create(); !made) {
        return made.error();
    }
    const FileLock fileLock(m_path + ".lock");
    if (fileLock.error()) {
        return *fileLock.error();
    }
    auto doc = usableDocument(m_path);
    if (!doc) {
        return doc.error();
    }
    const std::string text = withValue(doc.value()->value(), name, value);
    // Nothing is written that the reader would refuse.
    if (text.size() > kMaxFileBytes) {
        return PlatformError{EFBIG, "write " + m_path + ": the file would be larger than " +
                                        std::to_string(kMaxFileBytes) + " bytes"};
    }

    // A file that is a symbolic link is replaced at its target, so the link stays; a file keeps
    // its mode, a new one is the user's alone.
    const std::string target = linkTarget(m_path);
    mode_t mode = 0600;
    if (struct stat info{}; ::stat(target.c_str(), &info) == 0) {
        mode = info.st_mode & 07777;
    }
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return errnoError("create " + temp);
    }
    ::fchmod(fd, mode);
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
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const PlatformError error = errnoError("rename " + temp);
        ::unlink(temp.c_str());
        return error;
    }
    return true;
}

}  // namespace platform
