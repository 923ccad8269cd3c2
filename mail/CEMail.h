#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mail/CSMTPAddress.h"
#include "mail/CSMTPAttachment.h"
#include "platform/System.h"

// Recipient types of CEMail::AddRecipient.
constexpr int RECIPIENT_TO = 0;
constexpr int RECIPIENT_CC = 1;
constexpr int RECIPIENT_BCC = 2;

// Reply codes, compared with the first three characters of a reply's final line.
constexpr char SMTP_REPLY_READY[] = "220";
constexpr char SMTP_REPLY_OK[] = "250";
constexpr char SMTP_REPLY_AUTH_CONTINUE[] = "334";
constexpr char SMTP_REPLY_AUTH_OK[] = "235";
constexpr char SMTP_REPLY_START_DATA[] = "354";

// Bound of every reply read, and of the connect.
constexpr std::uint32_t SMTP_REPLY_TIMEOUT_MS = 10000;
constexpr std::uint32_t SMTP_CONNECT_TIMEOUT_MS = 10000;

// One e-mail message with the SMTP account settings needed to hand it to a mail server in one
// blocking conversation. The attachments belong to the caller and must outlive Send.
class CEMail {
public:
    CEMail();
    virtual ~CEMail() = default;

    // Appends a copy of the address to the list of the type and returns its index; -1 for a type
    // other than RECIPIENT_TO, RECIPIENT_CC and RECIPIENT_BCC.
    int AddRecipient(const CSMTPAddress& address, int type);
    // Entries of the type's list; 0 for an unknown type.
    int GetRecipientCount(int type) const;
    // A copy of the entry; throws std::invalid_argument for an index outside the list, gives an
    // empty address for an unknown type.
    CSMTPAddress GetRecipient(int index, int type) const;
    // Appends the pointer and returns its index; -1 when no file was attached to it.
    int AddAttachment(CSMTPAttachment* attachment);

    // Sends the message: 1 when the server accepted it (the end of the data answered with 250,
    // and no refusal in the reply to QUIT, which is waited for at most a second), else 0. A
    // reply during the data fails the send. A message whose header values hold CR, LF or NUL
    // is refused before connecting. When the server offers STARTTLS, the
    // conversation goes on in TLS (certificate and host name checked) before any credential is
    // sent. Why it failed goes to the debug output.
    int Send() const;
    // Ends a Send running on another thread: its name lookup, connect or connection is cut
    // short, so it returns 0 at once, and a Send that starts afterwards returns 0. Callable from
    // any thread. Copies of a CEMail share this.
    void Abort() const;

    // The header block, ending with the empty line. eightBitBody: the server takes 8-bit data
    // (8BITMIME), so a single-part body with non-ASCII text goes as it is rather than
    // quoted-printable.
    virtual std::string FormatHeader(bool eightBitBody) const;
    std::string FormatHeader() const { return FormatHeader(false); }

    // "Tue, 08 Dec 2026 07:05:09 +0200" for the local time given, English names in any locale.
    static std::string FormatDate(const platform::LocalTime& time);
    // "+0200" for a bias of -120 minutes (minutes west of Greenwich).
    static std::string FormatTimeZone(int biasMinutes);

    // Why the message cannot be sent as it stands; empty when nothing stops it.
    std::string RefusalReason() const;

    std::string m_smtpServer;
    std::string m_authUser;  // empty: no authentication
    std::string m_authPassword;
    std::string m_body;
    CSMTPAddress m_from;
    std::string m_subject;
    std::string m_mailer;
    CSMTPAddress m_replyTo;  // no Reply-To line while its address is empty
    std::vector<CSMTPAddress> m_to;
    std::vector<CSMTPAddress> m_cc;
    std::vector<CSMTPAddress> m_bcc;
    std::vector<CSMTPAttachment*> m_attachments;  // not owned
    int m_port = 25;
    std::uint32_t m_replyTimeoutMs = SMTP_REPLY_TIMEOUT_MS;
    std::uint32_t m_connectTimeoutMs = SMTP_CONNECT_TIMEOUT_MS;
    // Extra trusted CA certificates (PEM file) for the server's TLS certificate, beside the
    // system's store; empty: the system's store alone.
    std::string m_caFile;

private:
    struct AbortState;
    std::shared_ptr<AbortState> m_abortState;

    std::vector<CSMTPAddress>* RecipientList(int type);
    const std::vector<CSMTPAddress>* RecipientList(int type) const;
    // The body as it goes between the header (or text part header) and its closing CR LF.
    std::string DataBody(bool eightBitBody) const;
};
