#pragma once

#include <string>

// Where the results message goes and the account it is sent with. The built-in values are the
// maker's; string values of the same names in the program's settings key ("SMTP Server",
// "SMTP Port", "SMTP Account", "SMTP Password", "Support Email") replace them.
struct ResultsMailAccount {
    std::string server = "mail.example.com";
    std::string port = "25";
    std::string account = "probe-guide@example.com";  // AUTH user, sender and Bcc address
    std::string password = "Qpg-7rW2xz";
    std::string supportAddress = "support@example.com";
};

// The built-in account, used where the settings name none (tests point it at a private server).
ResultsMailAccount& BuiltInMailAccount();
