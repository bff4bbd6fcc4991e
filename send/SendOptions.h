#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The command line of velmora-send: HOST PORT, then the messages in order, each a TEXT or a
// --file PATH; none means standard input, one message per line.
struct SendOptions {
    // What the command line asks for.
    enum EAction { eSend, eHelp, eVersion };
    // One message named on the command line.
    struct SItem {
        // True when m_text is the path of a file whose bytes are the message.
        bool m_bFile = false;
        // The message itself, or the file's path.
        std::string m_text;
    };

    // The server's limit on one message, in bytes; a longer one is never sent.
    static constexpr std::size_t kMaxMessageSize = 64 * 1024 * 1024;

    // What to do; the fields below matter for eSend only.
    EAction m_eAction = eSend;
    // A host name or an address, as getaddrinfo takes it.
    std::string m_host;
    // The port, digits only, 1 to 65535.
    std::string m_port;
    // The messages in command-line order; empty: the lines of standard input.
    std::vector<SItem> m_items;

    // Reads argv. False for a bad command line, with a one-line reason in error.
    static bool Parse(int argc, char* argv[], SendOptions& options, std::string& error);
    // The --help text.
    static const char* HelpText();
    // The --version line, newline included.
    static const char* VersionText();
};
