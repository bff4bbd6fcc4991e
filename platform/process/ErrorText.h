#pragma once

#include <string>

namespace Platform {

// "what: reason" for a failed system call: the step's name and the text of its errno value.
// Every reason the platform layer hands up has this form, so a log line names the step.
std::string ErrorText(const char* what, int error);

}  // namespace Platform
