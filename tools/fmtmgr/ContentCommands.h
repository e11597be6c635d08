#pragma once
// The container and search commands of fmtmgr: the inner files (or folders) of a container, the
// sub-file menu of selected inner files and running one of its commands, the search paths for a
// file's references, and the product modules of its plug-in.
#include "Report.h"
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace fmtmgr {

struct ContentCommands {
    CLI::App* subfiles = nullptr;
    CLI::App* menu = nullptr;
    CLI::App* run = nullptr;
    CLI::App* searchPaths = nullptr;
    CLI::App* modules = nullptr;
    std::string file;
    bool folders = false;           // subfiles --folders
    std::vector<std::string> inner; // --sub INNER (repeatable for menu)
    long command = 0;               // run --command ID
    std::string settingsKey;        // search-paths --settings-key
    std::string argument;           // search-paths --argument
    unsigned long mask = 0;         // 0: the command's default
};

// Adds the commands to the command line.
void AddContentCommands(CLI::App& app, ContentCommands& commands);
// Runs the one that was given; false when none of them was.
bool RunContentCommand(Output& out, const ContentCommands& commands);

} // namespace fmtmgr
