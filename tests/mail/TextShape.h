#pragma once

#include <cctype>
#include <string_view>

// True when text has the shape: in the shape "A" stands for an upper-case letter, "a" for a
// lower-case one, "9" for a digit, "+" for "+" or "-"; every other character stands for itself.
inline bool hasShape(std::string_view text, std::string_view shape) {
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool ok = shape[i] == 'A'   ? std::isupper(c) != 0
                        : shape[i] == 'a' ? std::islower(c) != 0
                        : shape[i] == '9' ? std::isdigit(c) != 0
                        : shape[i] == '+' ? (c == '+' || c == '-')
                                          : c == static_cast<unsigned char>(shape[i]);
        if (!ok) {
            return false;
        }
    }
    return true;
}

// The shape of a Date header value: "Tue, 08 Dec 2026 07:05:09 +0200".
constexpr std::string_view kDateShape = "Aaa, 99 Aaa 9999 99:99:99 +9999";
