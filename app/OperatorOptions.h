#pragma once

#include <ostream>

// The options an operator may give: --help (-h) and --version (-V). A handing-over process
// writes only descriptor numbers, so these words never reach a new process.
//
// Answers the first of them among the arguments on out and returns true; the program then
// exits with status 0. Creates no Qt object, so it works without a display. Returns false,
// writing nothing, when no argument is one of them.
bool AnswerOperatorOption(int argc, char* argv[], std::ostream& out);
