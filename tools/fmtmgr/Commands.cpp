#include "Commands.h"

#include "HostCallbacks.h"
#include <FileFmtMgr/FileFmtRegistryAccess.h>
#include <FileFmtMgr/Handles.h>
#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>
#include <shlwapi.h>

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

ffm::UniqueFile OpenForReading(const std::wstring& path) {
    return ffm::UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
}

std::wstring Wide(const ffm::SpStr& s) {
    return s.W() ? s.W() : L"";
}

struct Entry {
    ExtensionRecord record;
    std::shared_ptr<FileFormatPlugin> plugin;
};

// The entries the manager chooses from for the file, in the store's order: those of its
// extension whose plug-in is registered, or, when there is none, those of ".*". Names compare
// as the plug-in table compares them.
std::vector<Entry> EntriesFor(const std::wstring& file) {
    FileFmtRegistryAccess store;
    FileFormatPluginList plugins;
    ExtensionRecordList records;
    store.GetPlugins(plugins);
    store.GetExtensionRecords(records);
    for (const std::wstring& extension :
         {std::wstring(PathFindExtensionW(file.c_str())), std::wstring(L".*")}) {
        std::vector<Entry> entries;
        for (const auto& r : records) {
            if (!SameText(Wide(r.moExtension), extension))
                continue;
            const auto plugin = std::find_if(plugins.begin(), plugins.end(), [&](const auto& p) {
                return SameText(Wide(p->mbsName), Wide(r.moPluginName));
            });
            if (plugin != plugins.end())
                entries.push_back({r, *plugin});
        }
        if (!entries.empty())
            return entries;
    }
    return {};
}

// The registered plug-in that owns the entry with this mask that the manager chose.
std::wstring PluginForEntry(const std::wstring& file, unsigned long mask) {
    for (const Entry& e : EntriesFor(file))
        if (e.record.mlMask == mask)
            return Wide(e.plugin->mbsName);
    return {};
}

// Delivers the file's references to the sink; raises CommandError, or what the sink raised.
void ReadReferences(ITovFileNavigator* navigator, ITovCallback* callback, const std::wstring& file,
                    ReferenceSink& sink) {
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetReferences(navigator, &sink, callback);
    sink.Rethrow();
    if (FAILED(hr))
        throw CommandError(hr, "cannot read the references of " + Utf8(file));
}

void WriteReference(JsonWriter& w, const DeliveredReference& r) {
    w.Object().Key("configurations").Array();
    if (r.pairs)
        for (const XRefConfigInfo* p : *r.pairs)
            w.Object()
                .Member("config1", p->mbsConfig1)
                .Member("config2", p->mbsConfig2)
                .Member("count", p->mlCount)
                .Member("flag1Count", p->mlFlag1Count)
                .Member("flag2OnlyCount", p->mlFlag2OnlyCount)
                .End();
    w.End().Member("dataSize", r.dataSize);
    if (const std::wstring_view data = r.DataText(); !data.empty())
        w.Member("dataText", data);
    w.Member("filePath", r.filePath)
        .Member("flag", r.flag)
        .Member("number", r.number)
        .Member("numberA", r.numberA)
        .Member("numberB", r.numberB)
        .Member("numberC", r.numberC)
        .Member("numberD", r.numberD)
        .Member("refPath", r.refPath)
        .Member("text", r.text)
        .End();
}

// The lines of one reference in the text listing, built in a line kept for the next.
void WriteReference(Output& out, const DeliveredReference& r, std::string& line) {
    line.assign("  ");
    AppendUtf8(line, r.refPath);
    line += " -> ";
    AppendUtf8(line, r.filePath);
    out.Line(line);
    line.assign("    A ").append(std::to_string(r.numberA)).append(", B ").append(std::to_string(r.numberB));
    line += r.flag ? ", flag on" : ", flag off";
    if (const std::wstring_view data = r.DataText(); !data.empty()) {
        line += ", data \"";
        AppendUtf8(line, data);
        line += '"';
    } else if (r.dataSize) {
        line.append(", ").append(std::to_string(r.dataSize)).append(" bytes of data");
    }
    if (!r.text.empty()) {
        line += ", text \"";
        AppendUtf8(line, r.text);
        line += '"';
    }
    out.Line(line);
    if (!r.pairs)
        return;
    for (const XRefConfigInfo* p : *r.pairs) {
        line.assign("    ");
        AppendUtf8(line, p->mbsConfig1);
        line += " > ";
        if (p->mbsConfig2.empty())
            line += "(unnamed)";
        else
            AppendUtf8(line, p->mbsConfig2);
        line.resize(std::max<size_t>(line.size() + 2, 30), ' ');
        line.append(std::to_string(p->mlCount)).append(p->mlCount == 1 ? " use" : " uses");
        if (p->mlFlag1Count)
            line.append(", flag 1 on ").append(std::to_string(p->mlFlag1Count));
        if (p->mlFlag2OnlyCount)
            line.append(", only flag 2 on ").append(std::to_string(p->mlFlag2OnlyCount));
        out.Line(line);
    }
}

// Writes each reference as it is delivered: JSON rows go out in pieces as they come, text rows
// wait for the count that heads them.
class ReferenceListing final : public ReferenceSink {
  public:
    ReferenceListing(Output& out, const std::wstring& file, unsigned long mask) : m_out(out) {
        if (m_out.IsJson())
            m_out.Json().Object().Member("file", file).Member("mask", mask).Key("references").Array();
    }
    // After the last reference.
    void Finish(const std::wstring& file) {
        if (m_out.IsJson()) {
            m_out.Json().End().End();
            return;
        }
        m_out.Headline(Utf8(file) + ": " + std::to_string(m_count) +
                       (m_count == 1 ? " reference" : " references"));
    }

  private:
    void Take(const DeliveredReference& ref) override {
        ++m_count;
        if (!m_out.IsJson()) {
            WriteReference(m_out, ref, m_line);
            return;
        }
        WriteReference(m_out.Json(), ref);
        m_out.Spill();
    }

    Output& m_out;
    size_t m_count = 0;
    std::string m_line;
};

// The references' keys and paths in the order delivered; Find gives the path of a key's first
// reference, as a file may repeat keys.
class PathsByKey final : public ReferenceSink {
  public:
    // After the last reference.
    void Index() {
        m_first.reserve(m_rows.size());
        for (size_t i = 0; i < m_rows.size(); ++i)
            m_first.emplace(m_rows[i].first, i);
    }
    const std::wstring* Find(std::wstring_view key) const {
        const auto found = m_first.find(key);
        return found == m_first.end() ? nullptr : &m_rows[found->second].second;
    }

  private:
    void Take(const DeliveredReference& ref) override { m_rows.emplace_back(ref.refPath, ref.filePath); }

    std::vector<std::pair<std::wstring, std::wstring>> m_rows;
    std::unordered_map<std::wstring_view, size_t> m_first; // views of the keys in m_rows
};

// The references whose path differs from the one their key had before, written as they are
// delivered.
class ChangeListing final : public ReferenceSink {
  public:
    ChangeListing(Output& out, const PathsByKey& before) : m_out(out), m_before(before) {
        if (m_out.IsJson())
            m_out.Json().Object().Key("changed").Array();
    }
    // After the last reference.
    void Finish(const std::wstring& file) {
        if (m_out.IsJson()) {
            m_out.Json().End().Member("file", file).Member("references", m_count).End();
            return;
        }
        m_out.Headline(Utf8(file) + ": " + std::to_string(m_changed) + " of " + std::to_string(m_count) +
                       " references changed");
    }

  private:
    void Take(const DeliveredReference& ref) override {
        ++m_count;
        const std::wstring* old = m_before.Find(ref.refPath);
        if (!old || *old == ref.filePath)
            return;
        ++m_changed;
        if (m_out.IsJson()) {
            m_out.Json()
                .Object()
                .Member("from", *old)
                .Member("refPath", ref.refPath)
                .Member("to", ref.filePath)
                .End();
            m_out.Spill();
            return;
        }
        m_line.assign("  ");
        AppendUtf8(m_line, ref.refPath);
        m_out.Line(m_line);
        m_line.assign("    was ");
        AppendUtf8(m_line, *old);
        m_out.Line(m_line);
        m_line.assign("    now ");
        AppendUtf8(m_line, ref.filePath);
        m_out.Line(m_line);
    }

    Output& m_out;
    const PathsByKey& m_before;
    size_t m_count = 0;
    size_t m_changed = 0;
    std::string m_line;
};

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

std::string ReadWholeFile(const std::wstring& path) {
    const ffm::UniqueFile file = OpenForReading(path);
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size))
        throw CommandError(HRESULT_FROM_WIN32(GetLastError()), "cannot read " + Utf8(path));
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    for (size_t done = 0; done < bytes.size();) {
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        if (!ReadFile(file.get(), bytes.data() + done, chunk, &got, nullptr))
            throw CommandError(HRESULT_FROM_WIN32(GetLastError()), "cannot read " + Utf8(path));
        if (got == 0) {
            bytes.resize(done);
            break;
        }
        done += got;
    }
    return bytes;
}

std::wstring FullPath(const std::wstring& path) {
    std::wstring full(path.size() + 64, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0)
            return path;
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.resize(n); // n counts the terminator when the buffer was too small
    }
}

void ListPlugins(Output& out) {
    FileFmtRegistryAccess store;
    FileFormatPluginList plugins;
    ExtensionRecordList records;
    SkippedRegistryEntryList skipped;
    store.GetPlugins(plugins);
    store.GetExtensionRecords(records);
    store.GetSkippedEntries(skipped);

    // Each record goes to the first plug-in whose name it names, as the plug-in table links them.
    std::vector<const FileFormatPlugin*> owner;
    owner.reserve(records.size());
    for (const auto& r : records) {
        const auto plugin = std::find_if(plugins.begin(), plugins.end(), [&](const auto& p) {
            return SameText(Wide(p->mbsName), Wide(r.moPluginName));
        });
        owner.push_back(plugin == plugins.end() ? nullptr : plugin->get());
    }

    if (out.IsJson()) {
        JsonWriter& w = out.Json();
        w.Object().Key("plugins").Array();
        for (const auto& plugin : plugins) {
            w.Object()
                .Member("clsid", ClsidText(plugin->moClsid))
                .Member("component", Text(plugin->mbsComponent));
            w.Key("extensions").Array();
            size_t i = 0;
            for (const auto& r : records)
                if (owner[i++] == plugin.get())
                    w.Object().Member("extension", Text(r.moExtension)).Member("mask", r.mlMask).End();
            w.End().Member("name", Text(plugin->mbsName)).End();
        }
        // Entries naming a plug-in that is not (properly) registered: the manager skips them.
        w.End().Key("unknownPluginEntries").Array();
        size_t i = 0;
        for (const auto& r : records)
            if (!owner[i++])
                w.Object()
                    .Member("extension", Text(r.moExtension))
                    .Member("mask", r.mlMask)
                    .Member("plugin", Text(r.moPluginName))
                    .End();
        w.End().Key("unusableEntries").Array();
        for (const auto& u : skipped)
            w.Object()
                .Member("key", Utf8(u.key))
                .Member("reason", Utf8(u.reason))
                .Member("value", Utf8(u.value))
                .End();
        w.End().End();
        return;
    }
    if (plugins.empty())
        out.Line("No file-format plug-in is registered.");
    for (const auto& plugin : plugins) {
        const std::string component = Text(plugin->mbsComponent);
        out.Line(Text(plugin->mbsName) + "  " + ClsidText(plugin->moClsid) +
                 "  component: " + (component.empty() ? "(none)" : component));
        std::map<std::string, std::vector<unsigned long>> masks;
        size_t i = 0;
        for (const auto& r : records)
            if (owner[i++] == plugin.get())
                masks[Text(r.moExtension)].push_back(r.mlMask);
        for (auto& [extension, list] : masks) {
            std::sort(list.begin(), list.end());
            std::string line = "    " + extension;
            line.resize(std::max<size_t>(line.size() + 2, 14), ' ');
            for (size_t k = 0; k < list.size(); ++k)
                line += (k ? ", " : "") + MaskText(list[k]);
            out.Line(line);
        }
    }
    size_t i = 0;
    for (const auto& r : records)
        if (!owner[i++])
            out.Line("(entry " + Text(r.moExtension) + " " + MaskText(r.mlMask) +
                     " names the unregistered plug-in " + Text(r.moPluginName) + ")");
    for (const auto& u : skipped)
        out.Line("(unusable registry entry FileFormats" + (u.key.empty() ? "" : "\\" + Utf8(u.key)) +
                 (u.value.empty() ? "" : " value \"" + Utf8(u.value) + "\"") + ": " + Utf8(u.reason) + ")");
}

void ListExtensions(Output& out, unsigned long mask) {
    ProgressCallback callback(out);
    std::list<std::wstring> extensions;
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetExtensions(mask, extensions, &callback);
    if (FAILED(hr))
        throw CommandError(hr, "cannot list the extensions");
    if (out.IsJson()) {
        JsonWriter& w = out.Json();
        w.Object().Key("extensions").Array();
        for (const auto& e : extensions)
            w.String(Utf8(e));
        w.End().Member("mask", mask).End();
        return;
    }
    if (extensions.empty())
        out.Line("No extension offers " + MaskText(mask) + ".");
    for (const auto& e : extensions)
        out.Line(Utf8(e));
}

void ShowFormat(Output& out, const std::wstring& file, unsigned long mask) {
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
    if (out.IsJson()) {
        out.Json()
            .Object()
            .Member("file", Utf8(file))
            .Member("mask", chosen)
            .Member("plugin", Utf8(plugin))
            .Member("requestedMask", mask)
            .End();
        return;
    }
    out.Line(Utf8(file));
    out.Line("  plug-in: " +
             (plugin.empty() ? std::string("(not in the registration store)") : Utf8(plugin)));
    out.Line("  entry:   " + MaskText(chosen));
}

void ShowReferences(Output& out, const std::wstring& file, unsigned long mask) {
    ProgressCallback callback(out);
    unsigned long chosen = 0;
    const auto navigator = OpenNavigator(file, mask, &callback, chosen);
    ReferenceListing listing(out, file, chosen);
    ReadReferences(navigator.get(), &callback, file, listing);
    listing.Finish(file);
}

void ShowSizeAndDate(Output& out, const std::wstring& file, bool universal) {
    double date = 0;
    LONGLONG size = 0;
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetFileSizeAndDate(file.c_str(), &date, &size, universal);
    if (FAILED(hr))
        throw CommandError(hr, "no size and date for " + Utf8(file));
    if (out.IsJson()) {
        out.Json()
            .Object()
            .Member("date", DateText(date, 'T') + (universal && date > 0 ? "Z" : ""))
            .Member("file", Utf8(file))
            .Member("oleDate", date)
            .Member("size", size)
            .Member("universal", universal)
            .End();
        return;
    }
    out.Line(Utf8(file));
    out.Line("  size: " + std::to_string(size) + " bytes");
    out.Line("  date: " + DateText(date) + (universal ? " UTC" : " local time"));
}

void UpdateReferences(Output& out, const std::wstring& file, const std::vector<MoveRef>& moves,
                      const Roots& roots, const KeptFile& kept) {
    ProgressCallback callback(out);
    unsigned long chosen = 0;
    PathsByKey before;
    ReadReferences(OpenNavigator(file, kReferenceUpdateMask, &callback, chosen).get(), &callback, file,
                   before);
    before.Index();
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
    ChangeListing changes(out, before);
    ReadReferences(OpenNavigator(file, kReferenceUpdateMask, &callback, chosen).get(), &callback, file,
                   changes);
    changes.Finish(file);
}

bool IsActivationFailure(HRESULT hr) {
    switch (hr) {
    case REGDB_E_CLASSNOTREG:
    case CLASS_E_CLASSNOTAVAILABLE:
    case CO_E_DLLNOTFOUND:
    case CO_E_ERRORINDLL:
    case E_NOINTERFACE:
    case HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND):
    case HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT):
    case HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND):
    case HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED):
        return true;
    default:
        return false;
    }
}

namespace {

// A string value (an expandable one expanded); false when the key or the value is missing.
bool ReadRegistryText(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring& text) {
    ffm::UniqueHKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, bytes = 0;
    LONG rc = RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &bytes);
    std::wstring value;
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        value.resize(bytes / sizeof(wchar_t) + 1);
        bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        rc = RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes);
        value.resize(wcsnlen(value.c_str(), value.size()));
    }
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    if (type == REG_EXPAND_SZ) {
        const DWORD n = ExpandEnvironmentStringsW(value.c_str(), nullptr, 0);
        std::wstring expanded(n, L'\0');
        if (n && ExpandEnvironmentStringsW(value.c_str(), expanded.data(), n) == n) {
            expanded.resize(n - 1);
            value = expanded;
        }
    }
    text = value;
    return true;
}

// The file the loader would take for a DLL named in the registry; empty when there is none.
std::wstring FindModule(const std::wstring& name) {
    std::wstring found(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = SearchPathW(nullptr, name.c_str(), nullptr, static_cast<DWORD>(found.size()),
                                    found.data(), nullptr);
        if (n == 0)
            return {};
        if (n < found.size())
            return found.substr(0, n);
        found.resize(n);
    }
}

// Why the file cannot be this process's in-process server; empty when it is a DLL of our machine.
std::string NotALoadableDll(const std::wstring& path) {
    const ffm::UniqueFile file = OpenForReading(path);
    if (!file)
        return "cannot be read";
    std::vector<unsigned char> head(4096);
    DWORD got = 0;
    if (!ReadFile(file.get(), head.data(), static_cast<DWORD>(head.size()), &got, nullptr))
        return "cannot be read";
    head.resize(got);
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS64 nt{};
    if (head.size() < sizeof(dos) ||
        (std::memcpy(&dos, head.data(), sizeof(dos)), dos.e_magic) != IMAGE_DOS_SIGNATURE ||
        dos.e_lfanew < 0 || head.size() < static_cast<size_t>(dos.e_lfanew) + sizeof(nt) ||
        (std::memcpy(&nt, head.data() + dos.e_lfanew, sizeof(nt)), nt.Signature) != IMAGE_NT_SIGNATURE)
        return "is not a DLL (no Windows program header)";
    if (!(nt.FileHeader.Characteristics & IMAGE_FILE_DLL))
        return "is a program, not a DLL";
    if (nt.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64)
        return "is a DLL for another processor (fmtmgr is a 64-bit x64 program)";
    return {};
}

// What is wrong with one plug-in's COM class; empty when nothing is found.
std::vector<std::string> DiagnoseClass(const FileFormatPlugin& plugin) {
    std::vector<std::string> problems;
    const std::string name = "plug-in " + Text(plugin.mbsName) + ": ";
    const std::string clsid = ClsidText(plugin.moClsid);
    const std::wstring key = L"CLSID\\" + fmtmgr::Wide(clsid);
    std::wstring server, ignored;
    if (!ReadRegistryText(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, server)) {
        if (!ReadRegistryText(HKEY_CLASSES_ROOT, key + L"\\LocalServer32", nullptr, ignored))
            problems.push_back(name + "its class " + clsid +
                               " is not registered (HKEY_CLASSES_ROOT\\CLSID\\" + clsid +
                               " has no InprocServer32)");
        return problems;
    }
    if (server.empty()) {
        problems.push_back(name + "the InprocServer32 key of its class " + clsid + " names no DLL");
        return problems;
    }
    const std::wstring module = FindModule(server);
    if (module.empty()) {
        problems.push_back(name + "its DLL " + Utf8(server) + " does not exist");
        return problems;
    }
    if (const std::string why = NotALoadableDll(module); !why.empty()) {
        problems.push_back(name + "its DLL " + Utf8(module) + " " + why);
        return problems;
    }
    // Mapped without running its code, only to read its exports.
    if (HMODULE image = LoadLibraryExW(module.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES)) {
        const bool factory = GetProcAddress(image, "DllGetClassObject") != nullptr;
        FreeLibrary(image);
        if (!factory) {
            problems.push_back(name + "its DLL " + Utf8(module) +
                               " exports no DllGetClassObject: it is not a COM server");
            return problems;
        }
    }
    std::wstring model;
    ReadRegistryText(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", model);
    if (!SameText(model, L"Both") && !SameText(model, L"Free"))
        problems.push_back(name + "its class " + clsid + " has the ThreadingModel \"" +
                           (model.empty() ? std::string("(none: single-threaded)") : Utf8(model)) +
                           "\": fmtmgr works in the multithreaded apartment, where such an object is reached "
                           "through a proxy the plug-in's interfaces do not have; register \"Both\"");
    return problems;
}

} // namespace

std::vector<std::string> DiagnoseActivation(const std::wstring& file) {
    std::vector<std::string> problems;
    try {
        std::vector<const FileFormatPlugin*> seen;
        for (const Entry& e : EntriesFor(file)) {
            if (std::find(seen.begin(), seen.end(), e.plugin.get()) != seen.end())
                continue;
            seen.push_back(e.plugin.get());
            for (auto& p : DiagnoseClass(*e.plugin))
                problems.push_back(std::move(p));
        }
    } catch (...) {
        // A diagnosis that fails adds nothing to the failure it explains.
    }
    return problems;
}

} // namespace fmtmgr
