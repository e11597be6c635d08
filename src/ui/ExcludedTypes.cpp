// The manager's operations on the excluded file types: the dialog and the two exclusion tests.
#include <FileFmtMgr/FileFormatMgr.h>

#include "plugins/PluginTable.h"
#include "ui/ExcludeDlg.h"
#include <cwchar>

namespace {
// Upper-case extensions, each between line feeds.
constexpr const wchar_t* kXRefWriteExclusions = L"\nIPT\nIDW\nIAM\nIDE\nIDV\nIPJ\nIPN\n";
} // namespace

bool FileFormatMgr::mbEditExcludedExtensions(HWND parent) {
    ExcludeDlg dialog;
    if (dialog.miDoModal(parent) != IDOK)
        return false;
    // Without a table there is nothing to reload: the table reads the list when it is built.
    auto lock = moLock.Lock();
    if (PluginTable* table = mpoPluginTable.get())
        table->mvReloadExcluded();
    return true;
}

int FileFormatMgr::mbIsExcludedFromPreview(const wchar_t* extension) {
    auto lock = moLock.Lock();
    const PluginTable* table = mpoPluginTable.get();
    return table && table->mbIsExcluded(extension) ? 1 : 0;
}

int FileFormatMgr::mbIsExcludedFromXRefWrite(const wchar_t* extension) {
    if (!extension)
        return 0;
    const std::wstring line = L"\n" + std::wstring(extension) + L"\n";
    return std::wcsstr(kXRefWriteExclusions, line.c_str()) ? 1 : 0;
}
