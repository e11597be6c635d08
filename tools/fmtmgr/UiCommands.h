#pragma once
// The user-interface commands of fmtmgr: the extensions excluded from preview (shown, set, or
// edited in the library's dialog); the menus the library builds (the preview pane's view menu
// while a file is shown, the context menu of inner files of a container) and running an item.
#include "Report.h"
#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace fmtmgr {

struct UiCommands {
    CLI::App* excluded = nullptr;
    std::optional<std::string> set; // --set LIST
    bool dialog = false;            // --dialog
    std::string png;                // --png OUT: a picture of the dialog, which is then cancelled
    CLI::App* menu = nullptr;
    CLI::App* run = nullptr;
    std::string file;               // menu FILE, run FILE
    std::vector<std::string> inner; // --sub INNER ...: the selected inner files
    int firstId = 40000;            // --first-id: the first command id handed out
    int command = 0;                // run --command ID
};

// Adds the commands to the command line.
void AddUiCommands(CLI::App& app, UiCommands& commands);
// Runs the one that was given; false when none of them was.
bool RunUiCommand(Output& out, const UiCommands& commands);

} // namespace fmtmgr
