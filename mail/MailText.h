#pragma once

#include <string>
#include <string_view>

// Text shaping for the message data: what header values may hold, quoting, and the body's
// line ends, line lengths and SMTP data transparency.
namespace mailtext {

// Longest text line SMTP allows, without its CR LF.
constexpr std::size_t kMaxLineLength = 998;

// "a" to "z" made "A" to "Z" and nothing else, in any locale: protocol keywords, header names
// and host names are compared by these rules.
constexpr char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
// Equal but for the case of ASCII letters.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// True when the value holds CR, LF or NUL, which would end or split a header line.
bool breaksHeaderLine(std::string_view value);

// True when every byte is below 128.
bool isAscii(std::string_view text);

// A header text (UTF-8) as it may stand in a header: as it is when it is ASCII, else RFC 2047
// encoded words ("=?UTF-8?B?...?="), each of at most 75 characters, on folded lines.
std::string encodedWords(std::string_view text);

// A display name as a header phrase: as it is when it is plain words, encoded words when it
// holds non-ASCII text, else a quoted string.
std::string headerPhrase(std::string_view name);

// A MIME parameter value (name=, filename=) as a quoted string.
std::string quotedParameter(std::string_view value);

// Every CR LF, bare CR and bare LF made CR LF; lines longer than kMaxLineLength are broken.
std::string normalizeLines(std::string_view text);

// Quoted-printable (RFC 2045) of the text with its line ends made CR LF. A "-" that begins a line
// is encoded too, so no body line can look like a boundary line.
std::string quotedPrintable(std::string_view text);

// SMTP data transparency: one more "." in front of every line that begins with ".".
std::string dotStuffed(std::string_view text);

// The value as printf's "%<width>.<precision>f" writes it in the "C" locale (a point, never a
// comma), whatever locale the program runs in.
std::string formatFixed(double value, int width, int precision);

}  // namespace mailtext
