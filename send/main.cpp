// velmora-send: sends messages to a velmora server, framed as it reads them.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "CFramedConnection.h"
#include "SendOptions.h"

namespace {

int Fail(const std::string& reason) {
    std::cerr << "velmora-send: " << reason << std::endl;
    return 1;
}

std::string OverLimit(const std::string& what) {
    return what + " is over the server's limit of " +
           std::to_string(SendOptions::kMaxMessageSize) + " bytes";
}

// A file's bytes, read up to one byte past the limit, so a pipe or a device is judged too.
bool ReadFile(const std::string& path, std::string& bytes, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    std::size_t want;
    std::size_t got;
    while ((want = std::min(sizeof buffer, SendOptions::kMaxMessageSize + 1 - bytes.size())) > 0 &&
           (got = std::fread(buffer, 1, want, file)) > 0) {
        bytes.append(buffer, got);
    }
    const int reason = std::ferror(file) != 0 ? errno : 0;
    std::fclose(file);
    if (reason != 0) {
        error = path + ": " + std::strerror(reason);
        return false;
    }
    if (bytes.size() > SendOptions::kMaxMessageSize) {
        error = OverLimit(path) + "; nothing was sent";
        return false;
    }
    return true;
}

// Each line of standard input as one message, without its LF, sent as soon as its end is
// read (read(2), not a stdio buffer, so typed lines go at once). A last line without LF is a
// message too. Holds at most one line and one read in memory.
bool SendLines(CFramedConnection& connection, std::string& error) {
    std::string pending;
    std::size_t scanned = 0;
    unsigned long number = 1;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = std::string("read standard input: ") + std::strerror(errno);
            return false;
        }
        if (got == 0) break;
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t start = 0;
        std::size_t end;
        while ((end = pending.find('\n', scanned)) != std::string::npos) {
            if (end - start > SendOptions::kMaxMessageSize) break;
            if (!connection.Send(pending.data() + start, end - start, error)) return false;
            start = scanned = end + 1;
            ++number;
        }
        pending.erase(0, start);
        scanned = pending.size();
        const std::size_t line = end == std::string::npos ? pending.size() : end - start;
        if (line > SendOptions::kMaxMessageSize) {
            error = OverLimit("line " + std::to_string(number) + " of standard input") +
                    "; the lines before it were sent";
            return false;
        }
    }
    return pending.empty() || connection.Send(pending.data(), pending.size(), error);
}

}  // namespace

int main(int argc, char* argv[]) {
    SendOptions options;
    std::string error;
    if (!SendOptions::Parse(argc, argv, options, error)) {
        std::cerr << "velmora-send: " << error << "\n"
                  << "Try 'velmora-send --help' for more information." << std::endl;
        return 2;
    }
    if (options.m_eAction != SendOptions::eSend) {
        std::cout << (options.m_eAction == SendOptions::eHelp ? SendOptions::HelpText()
                                                               : SendOptions::VersionText());
        return std::cout.flush() ? 0 : 1;
    }

    // Every message named on the command line is read and judged before connecting, so a
    // refused one leaves nothing half sent.
    std::vector<std::string> messages;
    for (const SendOptions::SItem& item : options.m_items) {
        std::string bytes;
        if (!item.m_bFile) {
            bytes = item.m_text;
            if (bytes.size() > SendOptions::kMaxMessageSize) {
                return Fail(OverLimit("message " + std::to_string(messages.size() + 1)) +
                            "; nothing was sent");
            }
        } else if (!ReadFile(item.m_text, bytes, error)) {
            return Fail(error);
        }
        messages.push_back(std::move(bytes));
    }

    CFramedConnection connection;
    if (!connection.Connect(options.m_host, options.m_port, error)) return Fail(error);
    for (const std::string& message : messages) {
        if (!connection.Send(message.data(), message.size(), error)) return Fail(error);
    }
    if (options.m_items.empty() && !SendLines(connection, error)) return Fail(error);
    if (!connection.Finish(error)) return Fail(error);
    return 0;
}
