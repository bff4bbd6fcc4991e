#include "ErrorText.h"

#include <cstring>

namespace Platform {

std::string ErrorText(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

}  // namespace Platform
