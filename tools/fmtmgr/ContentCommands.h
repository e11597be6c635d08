#pragma once
// The container and search commands of fmtmgr: the inner files (or folders) of a container, the
// search paths for a file's references, and the product modules of its plug-in; and the inner
// files a sub-file menu is built for.
#include "HostCallbacks.h"
#include "Report.h"
#include <CLI/CLI.hpp>
#include <FileFmtMgr/ComPtr.h>
#include <list>
#include <string>
#include <vector>

namespace fmtmgr {

struct ContentCommands {
    CLI::App* subfiles = nullptr;
    CLI::App* searchPaths = nullptr;
    CLI::App* modules = nullptr;
    std::string file;
    bool folders = false;    // subfiles --folders
    std::string settingsKey; // search-paths --settings-key
    std::string argument;    // search-paths --argument
    unsigned long mask = 0;  // 0: the command's default
};

// Owns the navigators a listing appended.
struct NavigatorList {
    std::list<ITovFileNavigator*> items;
    NavigatorList() = default;
    NavigatorList(const NavigatorList&) = delete;
    NavigatorList& operator=(const NavigatorList&) = delete;
    ~NavigatorList();
};

// Inner files of a container chosen by the names `subfiles` shows (control characters as \xNN,
// compared without regard to case), in the order given. Raises CommandError when the container
// cannot be opened or does not hold one of the names.
class InnerSelection {
  public:
    InnerSelection(const Output& out, const std::wstring& file, const std::vector<std::string>& names);
    const std::list<ITovFileNavigator*>& Selected() const noexcept { return m_selected; }
    ITovCallback* Callback() noexcept { return &m_callback; }

  private:
    ProgressCallback m_callback;
    ffm::ComPtr<ITovFileNavigator> m_container;
    NavigatorList m_inner;
    std::list<ITovFileNavigator*> m_selected; // borrowed from m_inner
};

// Adds the commands to the command line.
void AddContentCommands(CLI::App& app, ContentCommands& commands);
// Runs the one that was given; false when none of them was.
bool RunContentCommand(Output& out, const ContentCommands& commands);

} // namespace fmtmgr
