#include "SocketError.h"

#include <string>

namespace CNoxSocket {
namespace error {
namespace {

class CCategory : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "nox.socket"; }

    std::string message(int value) const override {
        switch (value) {
            case message_too_long:
                return "Message too long";
            default:
                return "nox.socket error";
        }
    }
};

}  // namespace

const boost::system::error_category& get_category() {
    static const CCategory category;
    return category;
}

boost::system::error_code make_error_code(errors e) {
    return boost::system::error_code(static_cast<int>(e), get_category());
}

}  // namespace error
}  // namespace CNoxSocket
