#include "OperatorOptions.h"

#include <cstring>

namespace {

const char kHelp[] =
    "Usage: velmora [DESCRIPTOR...]\n"
    "       velmora --help | --version\n"
    "\n"
    "A TCP server with a dialog window that hands its live client connections over to a new\n"
    "process of itself. Press \"Port Listen\" and pick a port (10000 by default): the server\n"
    "accepts connections on every IPv4 address. Clients send length-prefixed messages (a\n"
    "4-byte little-endian length, then that many bytes); every accepted connection and every\n"
    "message becomes one line in the log box. The server never answers.\n"
    "\n"
    "The socket-duplication button starts a new process of the program and hands it every\n"
    "connection; the clients keep their TCP connections. SIGUSR2 does the same with the\n"
    "listening socket too, and the old process then exits.\n"
    "\n"
    "Arguments:\n"
    "  DESCRIPTOR...   written by the handing-over process, not by hand: the numbers under\n"
    "                  which the new process inherits the connections' sockets, one per\n"
    "                  argument. -1 stands for a connection that was not handed over. An\n"
    "                  argument that begins with neither a number nor '-' is ignored; a\n"
    "                  number that names no inherited connection is logged as\n"
    "                  \"AdoptSockets -> N: reason\".\n"
    "  -h, --help      print this help and exit\n"
    "  -V, --version   print the version and exit\n"
    "\n"
    "Any other argument that begins with '-' and is not '-' and digits (a descriptor such\n"
    "as -1) is an unknown option: the program says so and exits with status 2.\n"
    "\n"
    "Environment (set by the handing-over process for the new one):\n"
    "  VELMORA_HANDOFF_STATE    descriptor of a memfd holding the bytes already read from\n"
    "                           each connection but not yet logged, so that a message cut in\n"
    "                           two by the hand-off is logged whole, once; removed from the\n"
    "                           environment at start-up\n"
    "  VELMORA_HANDOFF_CHANNEL  descriptor of the hand-off confirmation channel\n"
    "  VELMORA_HANDOFF_LISTENER descriptor of the listening socket, at an upgrade\n"
    "\n"
    "Environment (set by a service manager):\n"
    "  LISTEN_PID, LISTEN_FDS   socket activation: descriptor 3 is the listening socket\n"
    "  NOTIFY_SOCKET            told READY=1, and MAINPID= after an upgrade\n"
    "\n"
    "Environment (set by the operator):\n"
    "  VELMORA_HANDOFF_DEADLINE seconds a new process has to confirm that it holds the\n"
    "                           connections before they are taken back (default 10)\n"
    "\n"
    "The log lines, the hand-off and the exit status are described in velmora(1).\n";

bool Is(const char* argument, const char* shortForm, const char* longForm) {
    return std::strcmp(argument, shortForm) == 0 || std::strcmp(argument, longForm) == 0;
}

// '-' and one or more digits: a descriptor value such as -1, never an option.
bool IsNegativeNumber(const char* argument) {
    if (argument[0] != '-' || argument[1] == '\0') return false;
    for (const char* p = argument + 1; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    return true;
}

}  // namespace

EOperatorAnswer AnswerOperatorOption(int argc, char* argv[], std::ostream& out,
                                     std::ostream& err) {
    const char* answer = nullptr;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-' || IsNegativeNumber(argument)) continue;
        if (Is(argument, "-h", "--help")) {
            if (answer == nullptr) answer = kHelp;
        } else if (Is(argument, "-V", "--version")) {
            if (answer == nullptr) answer = "velmora " VELMORA_VERSION "\n";
        } else {
            err << "velmora: unknown option '" << argument << "'\n"
                << "Try 'velmora --help' for more information.\n";
            err.flush();
            return EOperatorAnswer::eUnknownOption;
        }
    }
    if (answer == nullptr) return EOperatorAnswer::eRun;
    out << answer;
    return EOperatorAnswer::eAnswered;
}
