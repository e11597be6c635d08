// Search paths for resolving a file's references, and a plug-in's product modules.
#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/PathList.h>
#include <FileFmtMgr/Settings.h>

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include <shlwapi.h>

using ffm::ComPtr;

namespace {

const wchar_t kSearchPathSeparator = L';';

bool IsSlash(wchar_t c) {
    return c == L'\\' || c == L'/';
}

} // namespace

// In place: a leading double backslash (a server path) stays, a single one goes; every run of
// slashes and backslashes after it becomes one backslash; no trailing backslash, except that a
// bare drive stays a drive root.
void FileFormatMgr::zvCleanPath(std::wstring& path) {
    if (path.empty())
        return;
    std::wstring clean;
    std::size_t at = 0;
    if (path.compare(0, 2, L"\\\\") == 0) {
        clean = L"\\\\";
        at = 2;
    } else if (path[0] == L'\\') {
        at = 1;
    }
    for (bool inRun = false; at < path.size(); ++at) {
        if (IsSlash(path[at]) && !inRun)
            clean += L'\\';
        else if (!IsSlash(path[at]))
            clean += path[at];
        inRun = IsSlash(path[at]);
    }
    if (!clean.empty() && clean.back() == L'\\')
        clean.pop_back();
    if (clean.size() == 2 && clean[1] == L':')
        clean += L'\\';
    path.swap(clean);
}

// The drive and folder of a cleaned file path, as one folder ("C:\Data\Models", "D:\").
std::wstring FileFormatMgr::zoFolderOf(const std::wstring& path) {
    std::wstring drive;
    std::size_t rest = 0;
    if (path.size() >= 2 && path[1] == L':') {
        drive = path.substr(0, 2);
        rest = 2;
    }
    const std::size_t slash = path.find_last_of(L"\\/");
    std::wstring folder =
        slash == std::wstring::npos || slash < rest ? std::wstring() : path.substr(rest, slash + 1 - rest);
    if (folder.size() > 1)
        folder.pop_back();
    return drive + folder;
}

ComPtr<ISettings> FileFormatMgr::moGetSettings() {
    {
        auto lock = moLock.Lock();
        if (mpoSettings)
            return mpoSettings;
    }
    // Created outside the lock: a component may take its time loading, and two threads racing
    // here both create one (the one stored last is kept).
    ComPtr<ISettings> created;
    const HRESULT hr = ::CoCreateInstance(CLSID_VkrSettings, nullptr, CLSCTX_INPROC_SERVER,
                                          __uuidof(ISettings), created.put_void());
    if (FAILED(hr)) {
        wchar_t text[128];
        wsprintfW(text, L"Error 0x0%X creating ISettings interface.\nIs VkrSettings.dll missing?",
                  static_cast<unsigned>(hr));
        ::MessageBoxW(nullptr, text, L"FileFmtMgr", MB_OK);
        throw ffm::ComError(hr);
    }
    if (!created)
        throw ffm::ComError(static_cast<HRESULT>(0x80040201));
    auto lock = moLock.Lock();
    mpoSettings = created;
    return created;
}

HRESULT FileFormatMgr::mhGetSearchPaths(const wchar_t* settingsKey, const wchar_t* filePath,
                                        const wchar_t* pluginArgument, ITovFileFormat* format,
                                        std::list<std::wstring>& result) {
    return ffm::Boundary([&] {
        const ComPtr<ISettings> settings = moGetSettings();
        if (settingsKey && *settingsKey)
            settings->AddSearchPaths(settingsKey, result, 0, 1); // its result is not ours to judge
        PathList paths(result, kSearchPathSeparator);

        std::wstring file = filePath ? filePath : L"";
        zvCleanPath(file);
        if (!file.empty()) {
            const std::wstring folder = zoFolderOf(file);
            if (!folder.empty())
                paths.mvAdd(folder);
        }

        if (format) {
            ffm::UniqueBstr argument(ffm::NewBstr(pluginArgument ? pluginArgument : L""));
            ffm::UniqueBstr named;
            const HRESULT hr = format->GetSearchPaths(argument.get(), named.put());
            if (hr != E_NOTIMPL) {
                ffm::ThrowIfFailed(hr, format, __uuidof(ITovFileFormat));
                paths.mvAppend(PathList(named ? std::wstring(named.get(), ::SysStringLen(named.get())) : L"",
                                        kSearchPathSeparator));
            }
        }
        paths.mvCopyTo(result);
    });
}

void FileFormatMgr::mvGetProductModuleList(const wchar_t* path, long mask, std::wstring& modules) {
    auto lock = moLock.Lock();
    const std::wstring file = path ? path : L"";
    unsigned long working = static_cast<unsigned long>(mask);
    const ComPtr<ITovFileFormat> format = moLookup(file.c_str(), working, nullptr);
    ComPtr<ITovProductModules> product;
    const HRESULT query = format.query_to(product);
    if (FAILED(query) && query != E_NOINTERFACE)
        throw ffm::ComError(query);
    if (!product)
        throw ffm::ComError(E_POINTER);
    const wchar_t* dot = ::PathFindExtensionW(file.c_str());
    ffm::UniqueBstr extension(ffm::NewBstr(*dot ? dot + 1 : dot));
    ffm::UniqueBstr text;
    ffm::ThrowIfFailed(product->GetModuleList(mask, extension.get(), text.put()), product.get(),
                       __uuidof(ITovProductModules));
    modules.assign(text ? text.get() : L"", text ? ::SysStringLen(text.get()) : 0);
}
