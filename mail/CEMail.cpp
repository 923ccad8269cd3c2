#include "mail/CEMail.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "mail/Base64Coder.h"
#include "mail/CSocketX.h"
#include "mail/MailText.h"

namespace {

constexpr char kBoundary[] = "#BOUNDARY#";
constexpr char kClosingBoundary[] = "\r\n--#BOUNDARY#--";
constexpr char kEndOfData[] = "\r\n.\r\n";
constexpr char kQuit[] = "QUIT\r\n";
// How long the reply to QUIT is waited for once the message has been accepted.
constexpr std::uint32_t kQuitReplyMs = 1000;
// How long the server may take to answer data it has before the end of the data goes out.
constexpr std::uint32_t kDataQuietMs = 200;
constexpr char kStartTls[] = "STARTTLS\r\n";
constexpr char kTlsReady[] = "220";
// Longest reply taken, all its lines together; a server that goes on is not followed further.
constexpr std::size_t kMaxReplySize = 64 * 1024;

// The charset of the text: what the mail has always declared for ASCII, else UTF-8.
const char* charsetOf(bool ascii, const char* asciiName) {
    return ascii ? asciiName : "UTF-8";
}

std::string textPartHeader(bool ascii) {
    return std::string("\r\n--#BOUNDARY#\r\nContent-Type: text/plain; charset=") +
           charsetOf(ascii, "us-ascii") + "\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
}

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
    // of its final line is the expected one, compared on all three digits. A wrong code is
    // answered with QUIT.
    bool exchange(const std::string& command, const char* expected, const char* step) {
        if (!command.empty()) {
            // A failed send shows in the reply read.
            m_socket.SendWithTimeout(command, m_replyTimeoutMs, 0);
        }
        if (!readReply(step)) {
            return false;
        }
        const std::string& reply = m_reply.back();
        if (reply.size() < 3 || reply.compare(0, 3, expected) != 0) {
            refuse(step, "expected " + std::string(expected) + ", got \"" + reply + "\"");
            return false;
        }
        return true;
    }

    // Reports the failure and ends the conversation with QUIT, whose reply is not read.
    void refuse(const char* step, const std::string& what) {
        report(step, what);
        m_socket.SendWithTimeout(kQuit, m_replyTimeoutMs, 0);
    }

    // Whether the last reply (an EHLO reply) names the extension; its first line is the
    // server's name, not an extension.
    bool offers(std::string_view keyword) const {
        for (std::size_t i = 1; i < m_reply.size(); ++i) {
            std::string_view line(m_reply[i]);
            line.remove_prefix(std::min<std::size_t>(4, line.size()));
            const std::string_view word = line.substr(0, line.find(' '));
            if (mailtext::equalsIgnoringAsciiCase(word, keyword)) {
                return true;
            }
        }
        return false;
    }

    // Ends the conversation after the end of the data got its 250, which took the message: QUIT,
    // and its reply read for at most kQuitReplyMs. Only a refusal there (5xx) undoes the 250: it
    // is the server's own answer to the data, come behind an early reply that was read in its
    // place. 221, another answer (a 421 closing notice too), a close or silence leave the message
    // sent.
    bool quitKeepsMessage() {
        m_socket.SendWithTimeout(kQuit, m_replyTimeoutMs, 0);
        const std::uint32_t limitMs = std::min(m_replyTimeoutMs, kQuitReplyMs);
        if (!readReply("QUIT", limitMs)) {
            report("QUIT",
                   "the message was accepted; no answer read within " + std::to_string(limitMs) + " ms");
            return true;
        }
        const std::string& reply = m_reply.back();
        if (!reply.empty() && reply[0] == '5') {
            report("QUIT", "the data was refused after all: \"" + reply + "\"");
            return false;
        }
        return true;
    }

    // Before the end of the data nothing is owed by the server: anything it sent meanwhile is
    // read and counts as a refusal (answered with QUIT). So that an early reply shows here, and
    // not as the answer to the end of the data, everything sent so far must have reached the
    // server and the server have had a moment to answer it. True when nothing came.
    bool nothingSentDuringData() {
        if (!m_socket.WaitSent(m_replyTimeoutMs)) {
            report("end of data", "the data did not reach the server: " + m_socket.GetLastErrorText());
            return false;
        }
        if (!m_socket.InputWaiting(kDataQuietMs)) {
            return true;
        }
        if (readReply("during data")) {
            refuse("during data", "unexpected reply \"" + m_reply.back() + "\"");
        }
        return false;
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
    // Reads lines until the final line of a reply (one whose code is not followed by "-"). The
    // reply as a whole must come within timeoutMs (the reply time-out when 0), checked before
    // each line, and stay within kMaxReplySize.
    bool readReply(const char* step, std::uint32_t timeoutMs = 0) {
        m_reply.clear();
        std::size_t size = 0;
        timeoutMs = timeoutMs == 0 ? m_replyTimeoutMs : timeoutMs;
        const std::uint64_t deadline = platform::deadlineAfterMs(timeoutMs);
        for (;;) {
            const std::uint64_t now = platform::tickCountMs();
            if (now >= deadline) {
                report(step, "reply not read (" + std::to_string(WSAETIMEDOUT) + "): not whole within " +
                                 std::to_string(timeoutMs) + " ms");
                return false;
            }
            std::string line;
            const int got = m_socket.ReceiveLine(line, static_cast<std::uint32_t>(deadline - now));
            if (got == SOCKET_ERROR) {
                report(step, "reply not read (" + std::to_string(m_socket.GetLastError()) +
                                 "): " + m_socket.GetLastErrorText());
                return false;
            }
            if (got == 0) {
                report(step, "the server closed the connection");
                return false;
            }
            size += static_cast<std::size_t>(got);
            if (size > kMaxReplySize) {
                report(step, "reply not read (" + std::to_string(WSAEMSGSIZE) + "): longer than " +
                                 std::to_string(kMaxReplySize) + " bytes");
                return false;
            }
            m_reply.push_back(std::move(line));
            if (m_reply.back().size() < 4 || m_reply.back()[3] != '-') {
                return true;
            }
        }
    }

    CSocketX& m_socket;
    std::uint32_t m_replyTimeoutMs;
    std::vector<std::string> m_reply;  // lines of the last reply, without CR LF
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

std::string CEMail::FormatHeader(bool eightBitBody) const {
    const std::string to = joinAddresses(m_to);
    const std::string cc = joinAddresses(m_cc);
    std::string header = "From: " + m_from.GetRegularFormat() + "\r\nTo: " + to + "\r\n";
    if (!cc.empty()) {
        header += "Cc: " + cc + "\r\n";
    }
    header += "Subject: " + mailtext::encodedWords(m_subject) +
              "\r\nDate: " + FormatDate(platform::localTimeNow()) +
              "\r\nX-Mailer: " + mailtext::encodedWords(m_mailer) + "\r\n";
    if (!m_replyTo.m_address.empty()) {
        header += "Reply-To: " + m_replyTo.GetRegularFormat() + "\r\n";
    }
    if (!m_attachments.empty()) {
        header += "MIME-Version: 1.0\r\nContent-type: multipart/mixed; boundary=\"#BOUNDARY#\"\r\n";
    } else if (mailtext::isAscii(m_body)) {
        header += "MIME-Version: 1.0\r\nContent-type: text/plain; charset=US-ASCII\r\n";
    } else {
        header += std::string("MIME-Version: 1.0\r\nContent-type: text/plain; charset=UTF-8\r\n") +
                  "Content-Transfer-Encoding: " + (eightBitBody ? "8bit" : "quoted-printable") + "\r\n";
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

std::string CEMail::DataBody(bool eightBitBody) const {
    // A multipart message's text part declares quoted-printable, so the body is encoded to it; a
    // single-part message is plain text with CR LF line ends and lines SMTP accepts, unless it
    // holds non-ASCII text that the server cannot take as 8-bit data.
    const bool plain = m_attachments.empty() && (eightBitBody || mailtext::isAscii(m_body));
    const std::string text = plain ? mailtext::normalizeLines(m_body) : mailtext::quotedPrintable(m_body);
    return mailtext::dotStuffed(text);
}

// What Abort reaches from another thread: an event descriptor that every wait of the socket
// watches (the name lookup and the connect included), and a duplicate of the connected
// socket's descriptor, so that shutting it down never touches a descriptor the sending thread
// has closed.
struct CEMail::AbortState {
    std::mutex mutex;
    bool aborted = false;
    int socket = -1;
    int event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    AbortState() = default;
    ~AbortState() {
        if (event >= 0) {
            ::close(event);
        }
    }
    AbortState(const AbortState&) = delete;
    AbortState& operator=(const AbortState&) = delete;
};

CEMail::CEMail() : m_abortState(std::make_shared<AbortState>()) {}

void CEMail::Abort() const {
    std::lock_guard lock(m_abortState->mutex);
    m_abortState->aborted = true;
    if (m_abortState->event >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(m_abortState->event, &one, sizeof one);
    }
    if (m_abortState->socket >= 0) {
        ::shutdown(m_abortState->socket, SHUT_RDWR);
    }
}

int CEMail::Send() const {
    const std::string refusal = RefusalReason();
    if (!refusal.empty()) {
        SmtpExchange::report("message refused", refusal);
        return 0;
    }
    CSocketX socket;
    socket.SetAbortHandle(m_abortState->event);
    if (!socket.Create() || !socket.Connect(m_smtpServer, m_port, m_connectTimeoutMs)) {
        SmtpExchange::report("connect", socket.GetLastErrorText());
        return 0;
    }
    // From here an Abort shuts the connection down: every later step fails at once.
    struct AbortReach {
        AbortState& state;
        AbortReach(AbortState& s, int fd) : state(s) {
            std::lock_guard lock(state.mutex);
            state.socket = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
            if (state.aborted && state.socket >= 0) {
                ::shutdown(state.socket, SHUT_RDWR);
            }
        }
        ~AbortReach() {
            std::lock_guard lock(state.mutex);
            if (state.socket >= 0) {
                ::close(state.socket);
            }
            state.socket = -1;
        }
        AbortReach(const AbortReach&) = delete;
        AbortReach& operator=(const AbortReach&) = delete;
    } abortReach(*m_abortState, socket.NativeHandle());
    SmtpExchange smtp(socket, m_replyTimeoutMs);
    const std::string ehlo = "EHLO " + localHostName() + "\r\n";
    if (!smtp.exchange("", SMTP_REPLY_READY, "greeting") || !smtp.exchange(ehlo, SMTP_REPLY_OK, "EHLO")) {
        return 0;
    }
    if (smtp.offers("STARTTLS")) {
        // Nothing of the account goes out before the server has proved who it is.
        if (!smtp.exchange(kStartTls, kTlsReady, "STARTTLS")) {
            return 0;
        }
        if (!socket.StartTls({m_smtpServer, m_caFile}, m_replyTimeoutMs)) {
            SmtpExchange::report("STARTTLS", socket.GetLastErrorText());
            return 0;
        }
        if (!smtp.exchange(ehlo, SMTP_REPLY_OK, "EHLO in TLS")) {
            return 0;
        }
    }
    const bool offers8BitMime = smtp.offers("8BITMIME");
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
    // Only a single-part message can carry 8-bit text (a multipart one encodes its text part).
    const bool multipart = !m_attachments.empty();
    const bool asciiBody = mailtext::isAscii(m_body);
    const bool eightBitBody = !multipart && !asciiBody && offers8BitMime;
    const std::string mailFrom =
        "MAIL FROM:<" + m_from.m_address + ">" + (eightBitBody ? " BODY=8BITMIME" : "") + "\r\n";
    if (!smtp.exchange(mailFrom, SMTP_REPLY_OK, "MAIL FROM")) {
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

    if (!smtp.sendData(FormatHeader(eightBitBody), "header") ||
        (multipart && !smtp.sendData(textPartHeader(asciiBody), "text part")) ||
        !smtp.sendData(DataBody(eightBitBody) + "\r\n", "body")) {
        return 0;
    }
    for (const CSMTPAttachment* attachment : m_attachments) {
        if (!smtp.sendData(attachmentPartHeader(*attachment), "attachment header") ||
            !smtp.sendData(attachment->m_encoded.data(),
                           static_cast<std::size_t>(attachment->m_encodedLength), "attachment")) {
            return 0;
        }
    }
    // The 250 to the end of the data takes the message; a refusal to QUIT can still undo it.
    if ((multipart && !smtp.sendData(kClosingBoundary, "closing boundary")) ||
        !smtp.nothingSentDuringData() || !smtp.exchange(kEndOfData, SMTP_REPLY_OK, "end of data")) {
        return 0;
    }
    return smtp.quitKeepsMessage() ? 1 : 0;
}
