#pragma once
// The user-interface commands of fmtmgr: the extensions excluded from preview (shown, set, or
// edited in the library's dialog), and the view-menu items a preview offers for a file.
#include "Report.h"
#include <CLI/CLI.hpp>
#include <optional>
#include <string>

namespace fmtmgr {

struct UiCommands {
    CLI::App* excluded = nullptr;
    std::optional<std::string> set; // --set LIST
    bool dialog = false;            // --dialog
};

// Adds the commands to the command line.
void AddUiCommands(CLI::App& app, UiCommands& commands);
// Runs the one that was given; false when none of them was.
bool RunUiCommand(Output& out, const UiCommands& commands);

} // namespace fmtmgr
