#pragma once

#include <ostream>

// What main does once the operator's options are read.
enum class EOperatorAnswer {
    eRun,            // no option: the program starts
    eAnswered,       // the help or the version was written on out: exit 0
    eUnknownOption,  // an unknown option was reported on err: exit 2
};

// The options an operator may give: --help (-h) and --version (-V). A handing-over process
// writes only descriptor numbers, so these words never reach a new process.
//
// Any other argument that begins with '-' is an unknown option, unless it is a descriptor
// value: '-' and digits only, such as -1. An unknown option anywhere is reported, as one line
// and a hint to --help, before the first of --help and --version is answered. Creates no Qt
// object, so it works without a display.
EOperatorAnswer AnswerOperatorOption(int argc, char* argv[], std::ostream& out,
                                     std::ostream& err);
