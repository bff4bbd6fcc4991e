#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Platform {

// Names the environment variable that tells the new process which inherited descriptor
// holds the hand-off state.
inline constexpr const char* kHandOffStateVariable = "VELMORA_HANDOFF_STATE";

// What the handing-over process had taken off each connection's socket and not yet
// delivered, keyed by the descriptor number the new process adopts that connection under.
class CHandOffState {
public:
    // Encodes as records: int32 number, uint32 length, bytes; little-endian.
    std::vector<char> Encode() const;

    // Decodes every whole record. Returns false and names the problem when the blob is
    // truncated or malformed; what was whole before it is kept.
    static bool Decode(const std::vector<char>& blob, CHandOffState& state, std::string& problem);

    // Writes the encoding into a new close-on-exec memfd and returns its number, or -1
    // and sets reason. A memfd, unlike a pipe, never blocks the writer however large.
    int WriteToMemfd(std::string& reason) const;

    // True when fd names a memfd (or another tmpfs file): never a socket or someone's log.
    static bool IsMemfd(int fd);

    // The largest state nConnections connections can have left: per connection one record
    // holding an unfinished message of the largest size with its header, and the frames
    // read ahead behind it.
    static std::uint64_t MaxSize(std::size_t nConnections);

    // Reads a whole state from a memfd written by WriteToMemfd, from its start whatever its
    // offset. Returns false and sets problem when fd is no memfd (it is then left alone),
    // when it is larger than MaxSize(nConnections) (then nothing is read), on a read
    // failure or on a bad encoding.
    static bool ReadFromMemfd(int fd, std::size_t nConnections, CHandOffState& state,
                              std::string& problem);

    std::map<int, std::vector<char>> m_pending;
};

}  // namespace Platform
