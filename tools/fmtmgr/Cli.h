#pragma once
// fmtmgr's command line: parses it, runs the one command it names and reports. Returns the exit
// code: 0 on success, 1 when an operation failed (code and meaning on stderr), 2 for a command
// line that cannot be understood. Every failure, the library's raised errors and running out of
// memory included, ends in one of these codes; with --json every failure is JSON on stderr.
#include "Report.h"
#include <string>
#include <vector>

namespace fmtmgr {

// args[0] is the program's name; the arguments are UTF-8.
int Run(const std::vector<std::string>& args, Streams& streams);

} // namespace fmtmgr
