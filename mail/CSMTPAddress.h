#pragma once

#include <string>

// A display name (may be empty) with an e-mail address.
class CSMTPAddress {
public:
    CSMTPAddress() = default;
    CSMTPAddress(const std::string& name, const std::string& address) : m_name(name), m_address(address) {}

    // The bare address when the display name is empty, else the name, a blank and the address in
    // angle brackets. A name holding characters that a header phrase cannot carry as they are
    // (",", "<", "\"", ...) is written as a quoted string.
    std::string GetRegularFormat() const;

    std::string m_name;
    std::string m_address;
};
