#pragma once
// The subcommands of fmtmgr, each over the library's public API. A failed step raises
// CommandError; what a command found goes to the output as text or JSON.
#include "Report.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <optional>
#include <string>
#include <vector>

namespace fmtmgr {

struct Roots {
    std::optional<std::wstring> newRoot;
    std::optional<std::wstring> oldRoot;
    std::optional<std::wstring> altOldRoot;
};

// The file whose read-only attribute, and on request last-write time, an update keeps.
struct KeptFile {
    bool keepTime = false;
    std::wstring path;
};

// A path made absolute against the current folder.
std::wstring FullPath(const std::wstring& path);
// Opens the file through the entry of its plug-in that shares a bit with mask; raises
// CommandError. chosen receives the entry's mask.
ffm::ComPtr<ITovFileNavigator> OpenNavigator(const std::wstring& file, unsigned long mask,
                                             ITovCallback* callback, unsigned long& chosen);

void ListPlugins(const Output& out);
void ListExtensions(const Output& out, unsigned long mask);
void ShowFormat(const Output& out, const std::wstring& file, unsigned long mask);
void ShowReferences(const Output& out, const std::wstring& file, unsigned long mask);
void ShowSizeAndDate(const Output& out, const std::wstring& file, bool universal);
// Shows file in a pane of width x height through the plug-ins' previews and writes what the pane
// shows to png.
void RenderPreview(const Output& out, const std::wstring& file, int width, int height,
                   const std::wstring& png);
void UpdateReferences(const Output& out, const std::wstring& file, const std::vector<MoveRef>& moves,
                      const Roots& roots, const KeptFile& kept);

} // namespace fmtmgr
