#pragma once

#include <boost/system/error_code.hpp>

#include <cstdint>

namespace CNoxSocket {

// Largest message body a connection accepts. A header announcing more ends that connection
// with error::message_too_long; memory is still only spent as bytes arrive.
constexpr std::uint32_t kMaxMessageSize = 64u * 1024 * 1024;

namespace error {

// Failures the socket layer detects itself, as opposed to the platform's or Asio's.
enum errors {
    message_too_long = 1,  // a header announced more than kMaxMessageSize bytes
};

// The category of errors; its name is "nox.socket".
const boost::system::error_category& get_category();

// Makes an error_code of the socket layer's category.
boost::system::error_code make_error_code(errors e);

}  // namespace error
}  // namespace CNoxSocket

namespace boost {
namespace system {
template <>
struct is_error_code_enum<CNoxSocket::error::errors> {
    static const bool value = true;
};
}  // namespace system
}  // namespace boost
