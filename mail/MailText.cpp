#include "mail/MailText.h"

#include <algorithm>
#include <charconv>

#include "mail/Base64Coder.h"

namespace mailtext {
namespace {

constexpr std::size_t kMaxEncodedLine = 76;
// Bytes of text per encoded word: 60 base64 characters, with "=?UTF-8?B?" and "?=" 72 in all.
constexpr std::size_t kEncodedWordBytes = 45;
constexpr char kHex[] = "0123456789ABCDEF";

// Characters a header phrase carries unquoted (RFC 5322 atext and the blank).
bool isPhraseChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ') {
        return true;
    }
    return std::string_view("!#$%&'*+-/=?^_`{|}~").find(static_cast<char>(c)) != std::string_view::npos;
}

// How many of the first at most limit bytes of the UTF-8 text make whole characters: the cut
// steps back over continuation bytes (10xxxxxx), unless that would leave nothing.
std::size_t wholeCharacters(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut > 0 ? cut : limit;
}

std::string quoted(std::string_view value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// Calls line(text) for each line of the text without its line end, CR LF, CR and LF all ending a
// line; a final line without a line end is passed too, and lineEnd tells whether one followed.
template <typename F>
void forEachLine(std::string_view text, F line) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            line(text.substr(start), false);
            return;
        }
        line(text.substr(start, end - start), true);
        start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
}

}  // namespace

bool breaksHeaderLine(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return asciiUpper(x) == asciiUpper(y); });
}

std::string encodedWords(std::string_view text) {
    if (isAscii(text)) {
        return std::string(text);
    }
    Base64Coder coder;
    std::string out;
    while (!text.empty()) {
        const std::size_t take = wholeCharacters(text, kEncodedWordBytes);
        coder.Encode(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint32_t>(take));
        out += (out.empty() ? "" : "\r\n ") + std::string("=?UTF-8?B?") + coder.GetEncoded() + "?=";
        text.remove_prefix(take);
    }
    return out;
}

std::string headerPhrase(std::string_view name) {
    if (!isAscii(name)) {
        return encodedWords(name);
    }
    for (const char c : name) {
        if (!isPhraseChar(static_cast<unsigned char>(c))) {
            return quoted(name);
        }
    }
    return std::string(name);
}

std::string quotedParameter(std::string_view value) {
    return quoted(value);
}

std::string normalizeLines(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    forEachLine(text, [&out](std::string_view line, bool lineEnd) {
        while (line.size() > kMaxLineLength) {
            const std::size_t cut = wholeCharacters(line, kMaxLineLength);
            out.append(line.substr(0, cut));
            out += "\r\n";
            line.remove_prefix(cut);
        }
        out.append(line);
        if (lineEnd) {
            out += "\r\n";
        }
    });
    return out;
}

std::string quotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    forEachLine(text, [&out](std::string_view line, bool lineEnd) {
        std::size_t used = 0;  // characters on the current encoded line
        for (std::size_t i = 0; i < line.size(); ++i) {
            const auto c = static_cast<unsigned char>(line[i]);
            const bool last = i + 1 == line.size();
            bool plain = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
            std::size_t width = plain ? 1 : 3;
            // A soft break "=" must fit on the line; the line's last character needs no room for it.
            if (used + width > (last ? kMaxEncodedLine : kMaxEncodedLine - 1)) {
                out += "=\r\n";
                used = 0;
            }
            if (used == 0 && c == '-') {
                plain = false;
                width = 3;
            }
            if (plain) {
                out += static_cast<char>(c);
            } else {
                out += '=';
                out += kHex[c >> 4];
                out += kHex[c & 0x0F];
            }
            used += width;
        }
        if (lineEnd) {
            out += "\r\n";
        }
    });
    return out;
}

std::string dotStuffed(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && c == '.') {
            out += '.';
        }
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string formatFixed(double value, int width, int precision) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, precision);
    std::string out(text, result.ec == std::errc() ? result.ptr : text);
    if (static_cast<int>(out.size()) < width) {
        out.insert(0, static_cast<std::size_t>(width) - out.size(), ' ');
    }
    return out;
}

}  // namespace mailtext
