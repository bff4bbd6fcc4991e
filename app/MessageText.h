#pragma once

#include <cstddef>
#include <string>

// Appends the text of one message to a log line, in one pass over its bytes: the text ends
// at the first zero byte; every C0 control but TAB becomes its symbol from the U+2400 block
// (LF U+240A, CR U+240D) and DEL becomes U+2421, so no message can break a line or forge
// one; each byte that does not start a well-formed UTF-8 sequence becomes U+FFFD.
void AppendMessageText(std::string& line, const char* pBytes, std::size_t nBytes);
