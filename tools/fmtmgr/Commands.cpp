#include "Commands.h"

#include "HostCallbacks.h"
#include <FileFmtMgr/FileFmtRegistryAccess.h>
#include <algorithm>
#include <map>
#include <shlwapi.h>

using nlohmann::json;

namespace fmtmgr {

namespace {

// Mask of the reference update after moves (and of the navigator it opens).
constexpr unsigned long kReferenceUpdateMask = 0x1;

std::string ClsidText(const GUID& clsid) {
    wchar_t text[40];
    StringFromGUID2(clsid, text, 40);
    return Utf8(text);
}

std::string Text(const ffm::SpStr& s) {
    return Utf8(s.W() ? s.W() : L"");
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// The registered plug-in that owns the entry of the file's extension (or ".*") with this mask.
std::wstring PluginForEntry(const std::wstring& file, unsigned long mask) {
    FileFmtRegistryAccess store;
    ExtensionRecordList records;
    store.GetExtensionRecords(records);
    for (const std::wstring& extension :
         {std::wstring(PathFindExtensionW(file.c_str())), std::wstring(L".*")})
        for (const auto& r : records)
            if (r.mlMask == mask && SameText(r.moExtension.W() ? r.moExtension.W() : L"", extension))
                return r.moPluginName.W() ? r.moPluginName.W() : L"";
    return {};
}

std::vector<ReferenceRow> ReadReferences(ITovFileNavigator* navigator, ITovCallback* callback,
                                         const std::wstring& file) {
    ReferenceCollector collector;
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetReferences(navigator, &collector, callback);
    if (FAILED(hr))
        throw CommandError(hr, "cannot read the references of " + Utf8(file));
    return std::move(collector.rows);
}

json ReferenceJson(const ReferenceRow& r) {
    json pairs = json::array();
    for (const auto& p : r.pairs)
        pairs.push_back({{"config1", Utf8(p.config1)},
                         {"config2", Utf8(p.config2)},
                         {"count", p.count},
                         {"flag1Count", p.flag1Count},
                         {"flag2OnlyCount", p.flag2OnlyCount}});
    json row = {{"refPath", Utf8(r.refPath)}, {"filePath", Utf8(r.filePath)},
                {"text", Utf8(r.text)},       {"flag", r.flag},
                {"dataSize", r.data.size()},  {"numberA", r.numberA},
                {"numberB", r.numberB},       {"number", r.number},
                {"numberC", r.numberC},       {"numberD", r.numberD},
                {"configurations", pairs}};
    if (const std::wstring data = r.DataText(); !data.empty())
        row["dataText"] = Utf8(data);
    return row;
}

std::string PairLine(const ConfigPair& p) {
    std::string line = "    " + Utf8(p.config1) + " > " + (p.config2.empty() ? "(unnamed)" : Utf8(p.config2));
    line.resize(std::max<size_t>(line.size() + 2, 30), ' ');
    line += std::to_string(p.count) + (p.count == 1 ? " use" : " uses");
    if (p.flag1Count)
        line += ", flag 1 on " + std::to_string(p.flag1Count);
    if (p.flag2OnlyCount)
        line += ", only flag 2 on " + std::to_string(p.flag2OnlyCount);
    return line;
}

} // namespace

ffm::ComPtr<ITovFileNavigator> OpenNavigator(const std::wstring& file, unsigned long mask,
                                             ITovCallback* callback, unsigned long& chosen) {
    ffm::ComPtr<ITovFileNavigator> navigator;
    chosen = 0;
    ForgetErrorInfo();
    const HRESULT hr =
        gpoGetFileFormatMgr()->mhGetNavigator2(file, navigator, mask, callback, &chosen, nullptr);
    if (FAILED(hr))
        throw CommandError(hr, "cannot open " + Utf8(file));
    if (!navigator)
        throw CommandError(ffm::FFM_E_NO_NAVIGATOR, "cannot open " + Utf8(file));
    return navigator;
}

std::wstring FullPath(const std::wstring& path) {
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    return n && n < buffer.size() ? std::wstring(buffer.data(), n) : path;
}

void ListPlugins(const Output& out) {
    FileFmtRegistryAccess store;
    FileFormatPluginList plugins;
    ExtensionRecordList records;
    store.GetPlugins(plugins);
    store.GetExtensionRecords(records);

    json list = json::array();
    std::vector<bool> used(records.size());
    for (const auto& plugin : plugins) {
        json entries = json::array();
        size_t i = 0;
        for (const auto& r : records) {
            if (r.moPluginName == plugin->mbsName) {
                entries.push_back({{"extension", Text(r.moExtension)}, {"mask", r.mlMask}});
                used[i] = true;
            }
            ++i;
        }
        list.push_back({{"name", Text(plugin->mbsName)},
                        {"clsid", ClsidText(plugin->moClsid)},
                        {"component", Text(plugin->mbsComponent)},
                        {"extensions", entries}});
    }
    // Entries naming a plug-in that is not (properly) registered: the manager skips them.
    json orphans = json::array();
    size_t i = 0;
    for (const auto& r : records)
        if (!used[i++])
            orphans.push_back(
                {{"extension", Text(r.moExtension)}, {"plugin", Text(r.moPluginName)}, {"mask", r.mlMask}});

    if (out.IsJson())
        return out.Json({{"plugins", list}, {"unknownPluginEntries", orphans}});
    if (list.empty())
        out.Line("No file-format plug-in is registered.");
    for (const auto& p : list) {
        const std::string component = p["component"].get<std::string>();
        out.Line(p["name"].get<std::string>() + "  " + p["clsid"].get<std::string>() +
                 "  component: " + (component.empty() ? "(none)" : component));
        std::map<std::string, std::vector<unsigned long>> masks;
        for (const auto& e : p["extensions"])
            masks[e["extension"].get<std::string>()].push_back(e["mask"].get<unsigned long>());
        for (auto& [extension, list] : masks) {
            std::sort(list.begin(), list.end());
            std::string line = "    " + extension;
            line.resize(std::max<size_t>(line.size() + 2, 14), ' ');
            for (size_t k = 0; k < list.size(); ++k)
                line += (k ? ", " : "") + MaskText(list[k]);
            out.Line(line);
        }
    }
    for (const auto& o : orphans)
        out.Line("(entry " + o["extension"].get<std::string>() + " " +
                 MaskText(o["mask"].get<unsigned long>()) + " names the unregistered plug-in " +
                 o["plugin"].get<std::string>() + ")");
}

void ListExtensions(const Output& out, unsigned long mask) {
    ProgressCallback callback(out);
    std::list<std::wstring> extensions;
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetExtensions(mask, extensions, &callback);
    if (FAILED(hr))
        throw CommandError(hr, "cannot list the extensions");
    json list = json::array();
    for (const auto& e : extensions)
        list.push_back(Utf8(e));
    if (out.IsJson())
        return out.Json({{"mask", mask}, {"extensions", list}});
    if (extensions.empty())
        out.Line("No extension offers " + MaskText(mask) + ".");
    for (const auto& e : extensions)
        out.Line(Utf8(e));
}

void ShowFormat(const Output& out, const std::wstring& file, unsigned long mask) {
    ProgressCallback callback(out);
    ffm::ComPtr<ITovFileFormat> format;
    unsigned long chosen = 0;
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetFormat(file, format, mask, &callback, &chosen, true);
    if (FAILED(hr)) {
        std::string hint;
        if (hr == ffm::FFM_E_NO_PLUGIN && chosen != mask)
            hint = "the extension offers " + MaskText(chosen) + "; ask with --mask";
        throw CommandError(hr, "no format for " + Utf8(file), hint);
    }
    const std::wstring plugin = PluginForEntry(file, chosen);
    if (out.IsJson())
        return out.Json(
            {{"file", Utf8(file)}, {"requestedMask", mask}, {"mask", chosen}, {"plugin", Utf8(plugin)}});
    out.Line(Utf8(file));
    out.Line("  plug-in: " +
             (plugin.empty() ? std::string("(not in the registration store)") : Utf8(plugin)));
    out.Line("  entry:   " + MaskText(chosen));
}

void ShowReferences(const Output& out, const std::wstring& file, unsigned long mask) {
    ProgressCallback callback(out);
    unsigned long chosen = 0;
    const auto navigator = OpenNavigator(file, mask, &callback, chosen);
    const auto rows = ReadReferences(navigator.get(), &callback, file);
    if (out.IsJson()) {
        json list = json::array();
        for (const auto& r : rows)
            list.push_back(ReferenceJson(r));
        return out.Json({{"file", Utf8(file)}, {"mask", chosen}, {"references", list}});
    }
    out.Line(Utf8(file) + ": " + std::to_string(rows.size()) +
             (rows.size() == 1 ? " reference" : " references"));
    for (const auto& r : rows) {
        out.Line("  " + Utf8(r.refPath) + " -> " + Utf8(r.filePath));
        std::string details = "    A " + std::to_string(r.numberA) + ", B " + std::to_string(r.numberB) +
                              ", flag " + (r.flag ? "on" : "off");
        if (!r.DataText().empty())
            details += ", data \"" + Utf8(r.DataText()) + "\"";
        else if (!r.data.empty())
            details += ", " + std::to_string(r.data.size()) + " bytes of data";
        if (!r.text.empty())
            details += ", text \"" + Utf8(r.text) + "\"";
        out.Line(details);
        for (const auto& p : r.pairs)
            out.Line(PairLine(p));
    }
}

void ShowSizeAndDate(const Output& out, const std::wstring& file, bool universal) {
    double date = 0;
    LONGLONG size = 0;
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetFileSizeAndDate(file.c_str(), &date, &size, universal);
    if (FAILED(hr))
        throw CommandError(hr, "no size and date for " + Utf8(file));
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)},
                         {"size", size},
                         {"date", DateText(date, 'T') + (universal && date > 0 ? "Z" : "")},
                         {"oleDate", date},
                         {"universal", universal}});
    out.Line(Utf8(file));
    out.Line("  size: " + std::to_string(size) + " bytes");
    out.Line("  date: " + DateText(date) + (universal ? " UTC" : " local time"));
}

void UpdateReferences(const Output& out, const std::wstring& file, const std::vector<MoveRef>& moves,
                      const Roots& roots, const KeptFile& kept) {
    ProgressCallback callback(out);
    unsigned long chosen = 0;
    const std::vector<ReferenceRow> before =
        ReadReferences(OpenNavigator(file, kReferenceUpdateMask, &callback, chosen).get(), &callback, file);
    {
        ffm::Lst<MoveRef*> list;
        for (const MoveRef& m : moves)
            list.AddTail(const_cast<MoveRef*>(&m));
        const auto text = [](const std::optional<std::wstring>& s) { return s ? s->c_str() : nullptr; };
        // "FILE > KEPT" names the file whose attributes and time the library keeps.
        const std::wstring argument = kept.path == file ? file : file + L">" + kept.path;
        ForgetErrorInfo();
        const HRESULT hr = ghUpdateXRefPaths(argument.c_str(), text(roots.newRoot), text(roots.oldRoot),
                                             text(roots.altOldRoot), list,
                                             kept.keepTime ? ffm::kKeepLastWriteTime : 0, nullptr);
        if (FAILED(hr))
            throw CommandError(hr, "cannot update the references of " + Utf8(file));
    }
    // Read back from the saved file: what the plug-in really wrote.
    const auto after =
        ReadReferences(OpenNavigator(file, kReferenceUpdateMask, &callback, chosen).get(), &callback, file);

    json changed = json::array();
    for (const auto& a : after) {
        const auto old = std::find_if(before.begin(), before.end(),
                                      [&](const ReferenceRow& b) { return b.refPath == a.refPath; });
        if (old != before.end() && old->filePath != a.filePath)
            changed.push_back(
                {{"refPath", Utf8(a.refPath)}, {"from", Utf8(old->filePath)}, {"to", Utf8(a.filePath)}});
    }
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)}, {"references", after.size()}, {"changed", changed}});
    out.Line(Utf8(file) + ": " + std::to_string(changed.size()) + " of " + std::to_string(after.size()) +
             " references changed");
    for (const auto& c : changed) {
        out.Line("  " + c["refPath"].get<std::string>());
        out.Line("    was " + c["from"].get<std::string>());
        out.Line("    now " + c["to"].get<std::string>());
    }
}

} // namespace fmtmgr
