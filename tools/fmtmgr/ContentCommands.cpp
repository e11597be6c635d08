#include "ContentCommands.h"

#include "Commands.h"
#include "HostCallbacks.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/Handles.h>

using nlohmann::json;

namespace fmtmgr {

namespace {

constexpr unsigned long kReadMask = 0x2; // contents of a container
constexpr unsigned long kAnyCapability = 0xFFFFFFFF;
constexpr wchar_t kInnerMark = L'|'; // "container|inner\path" from the plug-ins

// Inner names may hold control characters ("\005SummaryInformation"): shown, and typed, as \xNN.
std::string Printable(const std::wstring& name) {
    std::wstring shown;
    for (wchar_t c : name) {
        if (c < 0x20) {
            wchar_t hex[8];
            wsprintfW(hex, L"\\x%02X", static_cast<unsigned>(c));
            shown += hex;
        } else {
            shown += c;
        }
    }
    return Utf8(shown);
}

std::wstring PathOf(ITovFileNavigator* navigator) {
    ffm::UniqueBstr path;
    if (FAILED(navigator->GetFilePath(path.put())) || !path)
        return {};
    return std::wstring(path.get(), SysStringLen(path.get()));
}

// The inner part of a path the plug-in handed out; the whole path when it has none.
std::wstring InnerOf(const std::wstring& path) {
    const auto mark = path.find(kInnerMark);
    return mark == std::wstring::npos ? path : path.substr(mark + 1);
}

ffm::ComPtr<ITovFileNavigator> Open(const std::wstring& file, unsigned long mask, ITovCallback* callback) {
    ffm::ComPtr<ITovFileNavigator> navigator;
    ForgetErrorInfo();
    const HRESULT hr =
        gpoGetFileFormatMgr()->mhGetNavigator2(file, navigator, mask, callback, nullptr, nullptr);
    if (FAILED(hr))
        throw CommandError(hr, "cannot open " + Utf8(file));
    if (!navigator)
        throw CommandError(ffm::FFM_E_NO_NAVIGATOR, "cannot open " + Utf8(file));
    return navigator;
}

void List(ITovFileNavigator* container, bool folders, NavigatorList& list, ITovCallback* callback) {
    ForgetErrorInfo();
    const HRESULT hr = folders ? gpoGetFileFormatMgr()->mhGetSubFolders(container, list.items, callback)
                               : gpoGetFileFormatMgr()->mhGetSubFiles(container, list.items, callback);
    if (FAILED(hr))
        throw CommandError(hr, "cannot list the inner files");
}

// Size of an inner element when its navigator answers the size query; -1 otherwise.
long long InnerSize(ITovFileNavigator* navigator) {
    ffm::ComPtr<ITovFileQuery> query;
    if (FAILED(navigator->QueryInterface(__uuidof(ITovFileQuery), query.put_void())) || !query)
        return -1;
    ffm::UniqueVariant date, size, input;
    if (FAILED(query->Query(1, *input.get(), date.get(), size.get())) ||
        FAILED(VariantChangeType(size.get(), size.get(), 0, VT_I8)))
        return -1;
    return size->llVal;
}

void ShowInner(Output& out, const std::wstring& file, bool folders, unsigned long mask) {
    ProgressCallback callback(out);
    const auto container = Open(file, mask, &callback);
    NavigatorList list;
    List(container.get(), folders, list, &callback);
    json entries = json::array();
    for (ITovFileNavigator* n : list.items) {
        const std::wstring path = PathOf(n);
        json e{{"name", Printable(InnerOf(path))}, {"path", Utf8(path)}};
        if (!folders)
            e["size"] = InnerSize(n);
        entries.push_back(e);
    }
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)}, {"folders", folders}, {"entries", entries}});
    const std::string kind = folders ? "inner folder" : "inner file";
    out.Line(std::to_string(entries.size()) + " " + kind + (entries.size() == 1 ? "" : "s") + " in " +
             Utf8(file) + (entries.empty() ? "." : ":"));
    for (const auto& e : entries)
        out.Line("  " + e["name"].get<std::string>() +
                 (e.contains("size") && e["size"].get<long long>() >= 0
                      ? "  (" + std::to_string(e["size"].get<long long>()) + " bytes)"
                      : ""));
}

void ShowSearchPaths(Output& out, const std::wstring& file, const std::string& key,
                     const std::string& argument) {
    ProgressCallback callback(out);
    // The plug-in for the file, when there is one, names folders of its own.
    ffm::ComPtr<ITovFileFormat> format;
    ForgetErrorInfo();
    const HRESULT found =
        gpoGetFileFormatMgr()->mhGetFormat(file, format, kAnyCapability, &callback, nullptr, true);
    if (FAILED(found) && found != ffm::FFM_E_NO_PLUGIN)
        throw CommandError(found, "cannot resolve the plug-in for " + Utf8(file));
    std::list<std::wstring> paths;
    ForgetErrorInfo();
    const std::wstring pluginArgument = argument.empty() ? file : Wide(argument);
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetSearchPaths(Wide(key).c_str(), file.c_str(),
                                                               pluginArgument.c_str(), format.get(), paths);
    if (FAILED(hr))
        throw CommandError(hr, "cannot build the search paths");
    json list = json::array();
    for (const auto& p : paths)
        list.push_back(Utf8(p));
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)}, {"settingsKey", key}, {"searchPaths", list}});
    out.Line("Search paths for " + Utf8(file) + ":");
    for (const auto& p : list)
        out.Line("  " + p.get<std::string>());
}

void ShowModules(Output& out, const std::wstring& file, unsigned long mask) {
    std::wstring modules;
    ForgetErrorInfo();
    try {
        gpoGetFileFormatMgr()->mvGetProductModuleList(file.c_str(), static_cast<long>(mask), modules);
    } catch (const ffm::ComError& e) {
        throw CommandError(e.Error(), "no product modules for " + Utf8(file),
                           e.Error() == E_POINTER ? "the plug-in offers no product modules" : "");
    }
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)}, {"mask", mask}, {"modules", Utf8(modules)}});
    out.Line("Product modules for " + Utf8(file) + ": " + (modules.empty() ? "(none)" : Utf8(modules)));
}

} // namespace

NavigatorList::~NavigatorList() {
    for (ITovFileNavigator* n : items)
        n->Release(); // the one reference each listing handed over
}

InnerSelection::InnerSelection(const Output& out, const std::wstring& file,
                               const std::vector<std::string>& names)
    : m_callback(out), m_container(Open(file, kReadMask, &m_callback)) {
    List(m_container.get(), false, m_inner, &m_callback);
    for (const std::string& name : names) {
        const std::wstring wanted = Wide(name);
        const auto found =
            std::find_if(m_inner.items.begin(), m_inner.items.end(), [&](ITovFileNavigator* n) {
                const std::wstring shown = Wide(Printable(InnerOf(PathOf(n))));
                return CompareStringOrdinal(shown.c_str(), static_cast<int>(shown.size()), wanted.c_str(),
                                            static_cast<int>(wanted.size()), TRUE) == CSTR_EQUAL;
            });
        if (found == m_inner.items.end())
            throw CommandError(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                               Utf8(file) + " holds no inner file " + name,
                               "fmtmgr subfiles " + Utf8(file) + " lists them");
        m_selected.push_back(*found);
    }
}

void AddContentCommands(CLI::App& app, ContentCommands& c) {
    const auto fileArg = [&](CLI::App* sub) {
        sub->add_option("FILE", c.file, "the container file")->required();
    };
    c.subfiles = app.add_subcommand("subfiles", "the inner files of a container FILE (or its inner folders)");
    fileArg(c.subfiles);
    c.subfiles->add_flag("--folders", c.folders, "the inner folders instead of the inner files");
    c.subfiles->add_option("--mask", c.mask, "capabilities asked for (default: 0x2, reading)");
    c.searchPaths = app.add_subcommand(
        "search-paths", "folders searched for FILE's references (needs the settings component)");
    fileArg(c.searchPaths);
    c.searchPaths->add_option("--settings-key", c.settingsKey, "the settings' key whose folders come first");
    c.searchPaths->add_option("--argument", c.argument, "what the plug-in is told (default: FILE)");
    c.modules = app.add_subcommand("modules", "product modules of FILE's plug-in for its file type");
    fileArg(c.modules);
    c.modules->add_option("--mask", c.mask, "capabilities asked for (default: any)");
}

bool RunContentCommand(Output& out, const ContentCommands& c) {
    const std::wstring file = c.file.empty() ? std::wstring() : FullPath(Wide(c.file));
    if (c.subfiles && c.subfiles->parsed())
        ShowInner(out, file, c.folders, c.mask ? c.mask : kReadMask);
    else if (c.searchPaths && c.searchPaths->parsed())
        ShowSearchPaths(out, file, c.settingsKey, c.argument);
    else if (c.modules && c.modules->parsed())
        ShowModules(out, file, c.mask ? c.mask : kAnyCapability);
    else
        return false;
    return true;
}

} // namespace fmtmgr
