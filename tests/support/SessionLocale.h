#pragma once

#include <locale.h>

// The calling thread in a session locale that writes a decimal comma, as QApplication puts the
// whole program in the session's locale: the Turkish one (whose upper case of 'i' is not 'I'),
// else the German one. ok() is false when neither is installed (scripts/setup installs both).
class ScopedSessionLocale {
public:
    ScopedSessionLocale() {
        for (const char* name : {"tr_TR.UTF-8", "de_DE.UTF-8"}) {
            m_locale = ::newlocale(LC_ALL_MASK, name, locale_t{});
            if (m_locale != locale_t{}) {
                m_before = ::uselocale(m_locale);
                return;
            }
        }
    }
    ~ScopedSessionLocale() {
        if (m_locale != locale_t{}) {
            ::uselocale(m_before);
            ::freelocale(m_locale);
        }
    }
    ScopedSessionLocale(const ScopedSessionLocale&) = delete;
    ScopedSessionLocale& operator=(const ScopedSessionLocale&) = delete;

    bool ok() const { return m_locale != locale_t{}; }

private:
    locale_t m_locale{};
    locale_t m_before{};
};
