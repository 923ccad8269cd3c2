#include "mail/CEMail.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "mail/Base64Coder.h"
#include "mail/CSocketX.h"
#include "mail/MailText.h"

namespace {

constexpr char kBoundary[] = "#BOUNDARY#";
constexpr char kTextPartHeader[] =
    "\r\n--#BOUNDARY#\r\nContent-Type: text/plain; charset=us-ascii\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
constexpr char kClosingBoundary[] = "\r\n--#BOUNDARY#--";
constexpr char kEndOfData[] = "\r\n.\r\n";
constexpr char kQuit[] = "QUIT\r\n";

std::string localHostName() {
    char name[80] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

std::string joinAddresses(const std::vector<CSMTPAddress>& list) {
    std::string text;
    for (const CSMTPAddress& address : list) {
        if (!text.empty()) {
            text += ',';
        }
        text += address.GetRegularFormat();
    }
    return text;
}

std::string attachmentPartHeader(const CSMTPAttachment& attachment) {
    return "\r\n\r\n--" + std::string(kBoundary) + "\r\nContent-Type: application/octet-stream; name=" +
           mailtext::quotedParameter(attachment.GetName()) +
           "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=" +
           mailtext::quotedParameter(attachment.GetFileName()) + "\r\n\r\n";
}

// One SMTP conversation on a connected socket. Failures are told to the debug output.
class SmtpExchange {
public:
    SmtpExchange(CSocketX& socket, std::uint32_t replyTimeoutMs)
        : m_socket(socket), m_replyTimeoutMs(replyTimeoutMs) {}

    // Sends the command (none for the greeting) and reads the whole reply; true when the code
    // of its final line is the expected one. A wrong code is answered with QUIT.
    bool exchange(const std::string& command, const char* expected, const char* step) {
        if (!command.empty()) {
            // A failed send shows in the reply read.
            m_socket.SendWithTimeout(command, m_replyTimeoutMs, 0);
        }
        std::string reply;
        if (!readReply(reply, step)) {
            return false;
        }
        if (reply.compare(0, 3, expected) != 0 || reply.size() < 3) {
            report(step, "expected " + std::string(expected) + ", got \"" + reply + "\"");
            m_socket.SendWithTimeout(kQuit, m_replyTimeoutMs, 0);
            return false;
        }
        return true;
    }

    // Sends a piece of the message data; false when nothing or not all of it went out.
    bool sendData(const void* data, std::size_t length, const char* step) {
        // A server that stops reading must not hold the sender for ever.
        const int sent = m_socket.SendBuffer(data, static_cast<int>(length), m_replyTimeoutMs);
        if (sent == SOCKET_ERROR || (length > 0 && sent <= 0)) {
            report(step, m_socket.GetLastErrorText());
            return false;
        }
        return true;
    }
    bool sendData(const std::string& text, const char* step) {
        return sendData(text.data(), text.size(), step);
    }

    static void report(const char* step, const std::string& what) {
        platform::debugOutput(std::string("CEMail::Send: ") + step + ": " + what);
    }

private:
    // Reads lines until the final line of a reply (one whose code is not followed by "-"), all
    // within the reply time-out; reply gets that final line.
    bool readReply(std::string& reply, const char* step) {
        const std::uint64_t deadline = platform::tickCountMs() + m_replyTimeoutMs;
        for (;;) {
            const std::uint64_t now = platform::tickCountMs();
            const auto leftMs = static_cast<std::uint32_t>(deadline > now ? deadline - now : 1);
            const int got = m_socket.ReceiveLine(reply, leftMs);
            if (got == SOCKET_ERROR) {
                report(step, "reply not read (" + std::to_string(m_socket.GetLastError()) +
                                 "): " + m_socket.GetLastErrorText());
                return false;
            }
            if (got == 0) {
                report(step, "the server closed the connection");
                return false;
            }
            if (reply.size() < 4 || reply[3] != '-') {
                return true;
            }
        }
    }

    CSocketX& m_socket;
    std::uint32_t m_replyTimeoutMs;
};

}  // namespace

int CEMail::AddRecipient(const CSMTPAddress& address, int type) {
    std::vector<CSMTPAddress>* list = RecipientList(type);
    if (list == nullptr) {
        return -1;
    }
    list->push_back(address);
    return static_cast<int>(list->size()) - 1;
}

int CEMail::GetRecipientCount(int type) const {
    const auto* list = RecipientList(type);
    return list == nullptr ? 0 : static_cast<int>(list->size());
}

CSMTPAddress CEMail::GetRecipient(int index, int type) const {
    const auto* list = RecipientList(type);
    if (list == nullptr) {
        return {};
    }
    if (index < 0 || index >= static_cast<int>(list->size())) {
        throw std::invalid_argument("CEMail::GetRecipient: index " + std::to_string(index) +
                                    " outside the list");
    }
    return (*list)[static_cast<std::size_t>(index)];
}

int CEMail::AddAttachment(CSMTPAttachment* attachment) {
    if (attachment == nullptr || attachment->GetName().empty()) {
        return -1;
    }
    m_attachments.push_back(attachment);
    return static_cast<int>(m_attachments.size()) - 1;
}

std::vector<CSMTPAddress>* CEMail::RecipientList(int type) {
    return const_cast<std::vector<CSMTPAddress>*>(std::as_const(*this).RecipientList(type));
}

const std::vector<CSMTPAddress>* CEMail::RecipientList(int type) const {
    switch (type) {
        case RECIPIENT_TO:
            return &m_to;
        case RECIPIENT_CC:
            return &m_cc;
        case RECIPIENT_BCC:
            return &m_bcc;
        default:
            return nullptr;
    }
}

std::string CEMail::FormatTimeZone(int biasMinutes) {
    char text[16];
    std::snprintf(text, sizeof text, "%c%.2d%.2d", biasMinutes > 0 ? '-' : '+', std::abs(biasMinutes) / 60,
                  std::abs(biasMinutes) % 60);
    return text;
}

std::string CEMail::FormatDate(const platform::LocalTime& time) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    std::snprintf(text, sizeof text, "%s, %.2d %s %.4d %.2d:%.2d:%.2d ", kDays[(time.dayOfWeek % 7 + 7) % 7],
                  time.day, kMonths[((time.month - 1) % 12 + 12) % 12], time.year, time.hour, time.minute,
                  time.second);
    return text + FormatTimeZone(-time.utcOffsetMinutes);
}

std::string CEMail::FormatHeader() const {
    const std::string to = joinAddresses(m_to);
    const std::string cc = joinAddresses(m_cc);
    std::string header = "From: " + m_from.GetRegularFormat() + "\r\nTo: " + to + "\r\n";
    if (!cc.empty()) {
        header += "Cc: " + cc + "\r\n";
    }
    header += "Subject: " + m_subject + "\r\nDate: " + FormatDate(platform::localTimeNow()) +
              "\r\nX-Mailer: " + m_mailer + "\r\n";
    if (!m_replyTo.m_address.empty()) {
        header += "Reply-To: " + m_replyTo.GetRegularFormat() + "\r\n";
    }
    if (!m_attachments.empty()) {
        header += "MIME-Version: 1.0\r\nContent-type: multipart/mixed; boundary=\"#BOUNDARY#\"\r\n";
    } else {
        header += "MIME-Version: 1.0\r\nContent-type: text/plain; charset=US-ASCII\r\n";
    }
    return header + "\r\n";
}

std::string CEMail::RefusalReason() const {
    const auto check = [](const std::string& value, const std::string& what) {
        return mailtext::breaksHeaderLine(value) ? what + " holds a line break or NUL" : std::string();
    };
    const auto checkAddress = [&check](const CSMTPAddress& address, const std::string& what) {
        const std::string name = check(address.m_name, what + " name");
        return name.empty() ? check(address.m_address, what + " address") : name;
    };
    std::vector<std::string> reasons = {checkAddress(m_from, "sender"), checkAddress(m_replyTo, "reply-to"),
                                        check(m_subject, "subject"), check(m_mailer, "mailer")};
    const std::pair<const std::vector<CSMTPAddress>*, const char*> lists[] = {
        {&m_to, "To"}, {&m_cc, "Cc"}, {&m_bcc, "Bcc"}};
    for (const auto& [list, kind] : lists) {
        for (const CSMTPAddress& address : *list) {
            reasons.push_back(checkAddress(address, std::string(kind) + " recipient"));
        }
    }
    for (const CSMTPAttachment* attachment : m_attachments) {
        if (attachment == nullptr || attachment->m_encodedLength <= 0 || attachment->GetName().empty() ||
            attachment->m_encodedLength != static_cast<int>(attachment->m_encoded.size())) {
            reasons.emplace_back("an attachment holds no file");
            continue;
        }
        reasons.push_back(check(attachment->GetName(), "attachment name"));
        reasons.push_back(check(attachment->GetFileName(), "attachment file name"));
    }
    for (const std::string& reason : reasons) {
        if (!reason.empty()) {
            return reason;
        }
    }
    return {};
}

std::string CEMail::DataBody() const {
    // A multipart message's text part declares quoted-printable, so the body is encoded to it; a
    // single-part message is plain text with CR LF line ends and lines SMTP accepts.
    const std::string text =
        m_attachments.empty() ? mailtext::normalizeLines(m_body) : mailtext::quotedPrintable(m_body);
    return mailtext::dotStuffed(text);
}

int CEMail::Send() const {
    const std::string refusal = RefusalReason();
    if (!refusal.empty()) {
        SmtpExchange::report("message refused", refusal);
        return 0;
    }
    CSocketX socket;
    if (!socket.Create() || !socket.Connect(m_smtpServer, m_port, m_connectTimeoutMs)) {
        SmtpExchange::report("connect", socket.GetLastErrorText());
        return 0;
    }
    SmtpExchange smtp(socket, m_replyTimeoutMs);
    if (!smtp.exchange("", SMTP_REPLY_READY, "greeting") ||
        !smtp.exchange("EHLO " + localHostName() + "\r\n", SMTP_REPLY_OK, "EHLO")) {
        return 0;
    }
    if (!m_authUser.empty()) {
        Base64Coder coder;
        const auto encoded = [&coder](const std::string& text) {
            coder.EncodeString(text.c_str());
            const char* base64 = coder.GetEncoded();
            return std::string(base64 == nullptr ? "" : base64) + "\r\n";
        };
        if (!smtp.exchange("AUTH LOGIN\r\n", SMTP_REPLY_AUTH_CONTINUE, "AUTH LOGIN") ||
            !smtp.exchange(encoded(m_authUser), SMTP_REPLY_AUTH_CONTINUE, "AUTH user") ||
            !smtp.exchange(encoded(m_authPassword), SMTP_REPLY_AUTH_OK, "AUTH password")) {
            return 0;
        }
    }
    if (!smtp.exchange("MAIL FROM:<" + m_from.m_address + ">\r\n", SMTP_REPLY_OK, "MAIL FROM")) {
        return 0;
    }
    for (const auto* list : {&m_to, &m_cc, &m_bcc}) {
        for (const CSMTPAddress& recipient : *list) {
            if (!smtp.exchange("RCPT TO:<" + recipient.m_address + ">\r\n", SMTP_REPLY_OK, "RCPT TO")) {
                return 0;
            }
        }
    }
    if (!smtp.exchange("DATA\r\n", SMTP_REPLY_START_DATA, "DATA")) {
        return 0;
    }

    const bool multipart = !m_attachments.empty();
    if (!smtp.sendData(FormatHeader(), "header") ||
        (multipart && !smtp.sendData(kTextPartHeader, "text part")) ||
        !smtp.sendData(DataBody() + "\r\n", "body")) {
        return 0;
    }
    for (const CSMTPAttachment* attachment : m_attachments) {
        if (!smtp.sendData(attachmentPartHeader(*attachment), "attachment header") ||
            !smtp.sendData(attachment->m_encoded.data(),
                           static_cast<std::size_t>(attachment->m_encodedLength), "attachment")) {
            return 0;
        }
    }
    if ((multipart && !smtp.sendData(kClosingBoundary, "closing boundary")) ||
        !smtp.exchange(kEndOfData, SMTP_REPLY_OK, "end of data")) {
        return 0;
    }
    socket.SendWithTimeout(kQuit, m_replyTimeoutMs, 0);
    socket.Close();
    return 1;
}
