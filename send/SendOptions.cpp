#include "SendOptions.h"

#include <cstring>

namespace {

const char kHelp[] =
    "Usage: velmora-send [--file PATH]... HOST PORT [TEXT | --file PATH]...\n"
    "       velmora-send --help | --version\n"
    "\n"
    "Sends messages to a velmora server, each framed as the server reads it: a 4-byte\n"
    "little-endian length, then that many bytes. Each TEXT is one message, and so is each\n"
    "file named by --file, in the order given. Without either, each line of standard input\n"
    "is one message, without its line feed, sent as soon as it is read.\n"
    "\n"
    "Arguments:\n"
    "  HOST             a host name or an address, IPv4 or IPv6\n"
    "  PORT             the server's port, 1 to 65535\n"
    "  TEXT             one message; after --, a TEXT may begin with '-'\n"
    "  -f, --file PATH  the file's bytes as one message\n"
    "  -h, --help       print this help and exit\n"
    "  -V, --version    print the version and exit\n"
    "\n"
    "A message may be up to 67108864 bytes (64 MiB), the server's limit: a longer TEXT or\n"
    "file is refused before anything is sent, a longer line before that line.\n"
    "\n"
    "The server never answers. Exit status: 0 once every message is written and the\n"
    "connection is shut down for writing; 1 when something failed, with one line on\n"
    "standard error; 2 for a bad command line.\n"
    "\n"
    "See velmora-send(1).\n";

bool Is(const char* argument, const char* shortForm, const char* longForm) {
    return std::strcmp(argument, shortForm) == 0 || std::strcmp(argument, longForm) == 0;
}

// A port as digits only, 1 to 65535.
bool IsPort(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

}  // namespace

bool SendOptions::Parse(int argc, char* argv[], SendOptions& options, std::string& error) {
    options = SendOptions();
    std::vector<std::string> operands;
    bool optionsEnd = false;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* argument = argv[i];
        if (optionsEnd || argument[0] != '-' || argument[1] == '\0') {
            operands.push_back(argument);
            // Past HOST and PORT every operand is a TEXT, in order among the files.
            if (operands.size() > 2) options.m_items.push_back({false, operands.back()});
            continue;
        }
        if (std::strcmp(argument, "--") == 0) {
            optionsEnd = true;
        } else if (Is(argument, "-h", "--help")) {
            if (options.m_eAction == eSend) options.m_eAction = eHelp;
        } else if (Is(argument, "-V", "--version")) {
            if (options.m_eAction == eSend) options.m_eAction = eVersion;
        } else if (Is(argument, "-f", "--file")) {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                error = std::string("option '") + argument + "' needs a PATH";
                return false;
            }
            options.m_items.push_back({true, argv[++i]});
        } else if (std::strncmp(argument, "--file=", 7) == 0) {
            options.m_items.push_back({true, argument + 7});
        } else {
            error = std::string("unknown option '") + argument + "'";
            return false;
        }
    }
    if (options.m_eAction != eSend) return true;
    if (operands.size() < 2) {
        error = operands.empty() ? "missing HOST and PORT" : "missing PORT";
        return false;
    }
    options.m_host = operands[0];
    options.m_port = operands[1];
    if (!IsPort(options.m_port)) {
        error = "invalid port '" + options.m_port + "': use 1 to 65535";
        return false;
    }
    return true;
}

const char* SendOptions::HelpText() { return kHelp; }

const char* SendOptions::VersionText() { return "velmora-send " VELMORA_VERSION "\n"; }
