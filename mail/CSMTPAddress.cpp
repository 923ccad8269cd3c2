#include "mail/CSMTPAddress.h"

#include "mail/MailText.h"

std::string CSMTPAddress::GetRegularFormat() const {
    if (m_name.empty()) {
        return m_address;
    }
    return mailtext::headerPhrase(m_name) + " <" + m_address + ">";
}
