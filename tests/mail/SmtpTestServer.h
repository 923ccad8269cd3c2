#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The real SMTP server of the mail tests: Debian's aiosmtpd (smtp_server.py beside this file)
// under /usr/bin/python3 on 127.0.0.1 and a free port, with AUTH LOGIN for one account, in the
// clear or (given a certificate) only after STARTTLS. It saves every message it accepts into a
// temporary folder, removed with the object.
class SmtpTestServer {
public:
    // A message as Python's email package read it (parse_message.py).
    struct ParsedMessage {
        std::vector<std::pair<std::string, std::string>> headers;      // in order
        std::string body;                                              // decoded text part
        std::vector<std::pair<std::string, std::string>> attachments;  // file name, decoded bytes
        std::vector<std::string> partTypes;
        bool parsedCleanly = false;                         // parse ran and found no defects
        std::string header(const std::string& name) const;  // first value, empty when absent
        bool hasHeader(const std::string& name) const;
    };

    // Starts the server; sourceDir is the project's source folder. With a certificate and its
    // key (PEM files) the server offers STARTTLS and requires it.
    SmtpTestServer(const std::string& sourceDir, const std::string& user, const std::string& password,
                   const std::string& certificate = {}, const std::string& key = {});
    ~SmtpTestServer();
    SmtpTestServer(const SmtpTestServer&) = delete;
    SmtpTestServer& operator=(const SmtpTestServer&) = delete;

    bool running() const { return m_port > 0; }
    int port() const { return m_port; }
    const std::string& directory() const { return m_directory; }

    // Waits for message number n (from 1) to be saved; its path or empty after timeoutMs.
    std::string waitForMessage(int n, std::uint32_t timeoutMs) const;
    // The envelope lines saved with message n ("login ...", "from ...", "to ...").
    std::vector<std::string> envelope(int n) const;
    // Every command line the server received, as aiosmtpd logged them.
    std::string commandLog() const;
    // Parses a saved message with Python's email package.
    ParsedMessage parse(const std::string& messagePath) const;

private:
    std::string m_sourceDir;
    std::string m_directory;
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_port = 0;
};

// Makes a certificate authority and server certificates signed by it in dir (see
// make_certificates.sh); false on failure.
bool makeTestCertificates(const std::string& sourceDir, const std::string& dir);
// Reads a whole file as bytes; empty when it cannot be read.
std::string readFileBytes(const std::string& path);
// Writes bytes to a file; false on failure.
bool writeFileBytes(const std::string& path, const std::string& bytes);
