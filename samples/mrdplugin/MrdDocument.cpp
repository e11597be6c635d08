#include "MrdDocument.h"

#include "MrdCom.h"
#include <algorithm>
#include <cwctype>

namespace mrd {

namespace {

constexpr LONGLONG kMaxFileBytes = 16 * 1024 * 1024;

std::wstring Trim(const std::wstring& s) {
    const auto first = s.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return {};
    return s.substr(first, s.find_last_not_of(L" \t") - first + 1);
}

bool IsIgnorable(const std::wstring& trimmed) {
    return trimmed.empty() || trimmed[0] == L'#' || trimmed[0] == L';';
}

bool SplitAt(const std::wstring& s, wchar_t at, std::wstring& before, std::wstring& after) {
    const auto pos = s.find(at);
    if (pos == std::wstring::npos)
        return false;
    before = Trim(s.substr(0, pos));
    after = Trim(s.substr(pos + 1));
    return true;
}

std::vector<std::wstring> Words(const std::wstring& s) {
    std::vector<std::wstring> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && iswspace(s[i]))
            ++i;
        const size_t start = i;
        while (i < s.size() && !iswspace(s[i]))
            ++i;
        if (i > start)
            words.push_back(s.substr(start, i - start));
    }
    return words;
}

const wchar_t* KindName(FileKind kind) {
    switch (kind) {
    case FileKind::Assembly:
        return L"assembly";
    case FileKind::Part:
        return L"part";
    default:
        return L"drawing";
    }
}

bool ParseSwitch(const std::wstring& text, bool& value) {
    static const struct {
        const wchar_t* text;
        bool value;
    } words[] = {{L"yes", true}, {L"on", true},   {L"true", true},   {L"1", true},
                 {L"no", false}, {L"off", false}, {L"false", false}, {L"0", false}};
    for (const auto& w : words)
        if (SameText(text, w.text)) {
            value = w.value;
            return true;
        }
    return false;
}

bool ValidConfigName(const std::wstring& name) {
    return !name.empty() && name.find_first_of(L">,") == std::wstring::npos && !IsIgnorable(name) &&
           name[0] != L'[';
}

bool HasLineBreak(const std::wstring& s) {
    return s.find_first_of(L"\r\n") != std::wstring::npos;
}

// The line with everything after its first '=' replaced by value.
std::wstring WithValue(const std::wstring& line, const std::wstring& value) {
    const std::wstring head = line.substr(0, line.find(L'=') + 1);
    return value.empty() ? head : head + L" " + value;
}

[[noreturn]] void RaiseLastError(const std::wstring& what) {
    const DWORD err = GetLastError();
    throw Failure(HRESULT_FROM_WIN32(err ? err : ERROR_GEN_FAILURE), what);
}

} // namespace

bool KindOfExtension(const std::wstring& extension, FileKind& kind) {
    const std::wstring e = !extension.empty() && extension[0] == L'.' ? extension.substr(1) : extension;
    if (SameText(e, L"mrdasm"))
        kind = FileKind::Assembly;
    else if (SameText(e, L"mrdprt"))
        kind = FileKind::Part;
    else if (SameText(e, L"mrddrw"))
        kind = FileKind::Drawing;
    else
        return false;
    return true;
}

Document::Document(std::wstring text, FileKind kind) : m_kind(kind) {
    m_crlf = text.find(L"\r\n") != std::wstring::npos || text.find(L'\n') == std::wstring::npos;
    m_finalNewline = text.empty() || text.back() == L'\n';
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        m_lines.push_back(std::move(line));
        start = end + 1;
    }
    Parse();
}

void Document::Malformed(size_t line, const std::wstring& what) const {
    throw Failure(MRD_E_MALFORMED, L"line " + std::to_wstring(line + 1) + L": " + what);
}

void Document::Parse() {
    enum class Section { None, Configurations, Settings, Properties, Reference };
    m_configs.clear();
    m_refs.clear();
    m_props.clear();
    m_propertySections.clear();
    m_detailing = m_ldr = false;

    Section section = Section::None;
    bool header = false, seenConfigs = false, seenSettings = false;
    std::vector<size_t> refLines;                              // section line of each reference
    std::vector<std::pair<size_t, std::wstring>> namedConfigs; // checked once all are declared

    for (size_t i = 0; i < m_lines.size(); ++i) {
        const std::wstring t = Trim(m_lines[i]);
        if (IsIgnorable(t))
            continue;
        if (!header) {
            const auto w = Words(t);
            if (w.size() != 3 || w[0] != L"MRD")
                Malformed(i, L"the file must start with \"MRD 1 <assembly|part|drawing>\".");
            if (w[1] != L"1")
                Malformed(i, L"format version " + w[1] + L" is not supported (only 1).");
            if (!SameText(w[2], KindName(m_kind)))
                Malformed(i, L"the file says it is a(n) " + w[2] + L", but its extension is for a(n) " +
                                 KindName(m_kind) + L".");
            header = true;
            continue;
        }
        if (t[0] == L'[') {
            if (t.back() != L']')
                Malformed(i, L"a section header must end with ']'.");
            const std::wstring inner = Trim(t.substr(1, t.size() - 2));
            const auto space = inner.find_first_of(L" \t");
            const std::wstring name = inner.substr(0, space);
            const std::wstring arg = space == std::wstring::npos ? std::wstring() : Trim(inner.substr(space));
            if (SameText(name, L"Configurations") || SameText(name, L"Settings")) {
                bool& seen = SameText(name, L"Settings") ? seenSettings : seenConfigs;
                if (!arg.empty() || seen)
                    Malformed(i, L"[" + name + L"] takes no name and appears once.");
                seen = true;
                section = SameText(name, L"Settings") ? Section::Settings : Section::Configurations;
            } else if (SameText(name, L"Properties")) {
                for (const auto& s : m_propertySections)
                    if (SameText(s.first, arg))
                        Malformed(i, L"a second [Properties " + arg + L"] section.");
                if (!arg.empty())
                    namedConfigs.emplace_back(i, arg);
                m_propertySections.emplace_back(arg, i);
                section = Section::Properties;
            } else if (SameText(name, L"Reference")) {
                if (arg.empty())
                    Malformed(i, L"[Reference] needs a key: [Reference <key>].");
                for (const auto& r : m_refs)
                    if (SameText(r.key, arg))
                        Malformed(i, L"a second reference with the key \"" + arg + L"\".");
                m_refs.push_back(Reference{arg, {}, kKindComponent, {}, std::wstring::npos});
                refLines.push_back(i);
                section = Section::Reference;
            } else {
                Malformed(i, L"unknown section [" + name + L"].");
            }
            continue;
        }

        std::wstring key, value;
        switch (section) {
        case Section::None:
            Malformed(i, L"text outside of any section.");
        case Section::Configurations:
            if (!ValidConfigName(t))
                Malformed(i, L"a configuration name may not contain '>' or ','.");
            if (HasConfiguration(t))
                Malformed(i, L"the configuration \"" + t + L"\" is declared twice.");
            m_configs.push_back(t);
            break;
        case Section::Settings: {
            bool on = false;
            if (!SplitAt(t, L'=', key, value) || !ParseSwitch(value, on))
                Malformed(i, L"a setting reads \"<name> = yes|no\".");
            if (SameText(key, L"DetailingMode"))
                m_detailing = on;
            else if (SameText(key, L"LdrMode"))
                m_ldr = on;
            else
                Malformed(i, L"unknown setting \"" + key + L"\".");
            break;
        }
        case Section::Properties: {
            std::wstring block, name;
            if (!SplitAt(t, L'=', key, value) || !SplitAt(key, L':', block, name) || block.empty() ||
                name.empty())
                Malformed(i, L"a property reads \"<block>:<name> = <value>\".");
            const std::wstring& config = m_propertySections.back().first;
            for (const auto& p : m_props)
                if (SameText(p.config, config) && SameText(p.block, block) && SameText(p.name, name))
                    Malformed(i, L"the property " + block + L":" + name + L" is set twice.");
            m_props.push_back(Property{config, block, name, value, i});
            m_propertySections.back().second = i;
            break;
        }
        case Section::Reference: {
            Reference& ref = m_refs.back();
            if (!SplitAt(t, L'=', key, value))
                Malformed(i, L"a reference line reads \"Path|Kind|Use = <value>\".");
            if (SameText(key, L"Path")) {
                if (ref.pathLine != std::wstring::npos || value.empty())
                    Malformed(i, L"a reference has exactly one non-empty Path.");
                ref.storedPath = value;
                ref.pathLine = i;
            } else if (SameText(key, L"Kind")) {
                if (SameText(value, L"component"))
                    ref.kind = kKindComponent;
                else if (SameText(value, L"frozen"))
                    ref.kind = kKindFrozen;
                else if (SameText(value, L"view"))
                    ref.kind = kKindView;
                else
                    Malformed(i, L"Kind is component, frozen or view.");
            } else if (SameText(key, L"Use")) {
                Use use;
                size_t start = 0;
                for (bool first = true; start <= value.size(); first = false) {
                    size_t comma = value.find(L',', start);
                    if (comma == std::wstring::npos)
                        comma = value.size();
                    const std::wstring piece = Trim(value.substr(start, comma - start));
                    start = comma + 1;
                    if (first) {
                        if (!SplitAt(piece, L'>', use.config, use.childConfig))
                            use.config = piece;
                    } else if (SameText(piece, L"suppressed")) {
                        use.suppressed = true;
                    } else if (SameText(piece, L"excluded")) {
                        use.excluded = true;
                    } else {
                        Malformed(i, L"unknown use flag \"" + piece + L"\" (suppressed, excluded).");
                    }
                }
                namedConfigs.emplace_back(i, use.config);
                ref.uses.push_back(use);
            } else {
                Malformed(i, L"unknown reference line \"" + key + L"\".");
            }
            break;
        }
        }
    }

    if (!header)
        Malformed(m_lines.empty() ? 0 : m_lines.size() - 1, L"the file has no \"MRD 1 <kind>\" header.");
    for (size_t r = 0; r < m_refs.size(); ++r)
        if (m_refs[r].pathLine == std::wstring::npos)
            Malformed(refLines[r], L"the reference \"" + m_refs[r].key + L"\" has no Path.");
    for (const auto& [line, config] : namedConfigs) {
        // A file without configurations uses the empty name.
        if (!(config.empty() ? m_configs.empty() : HasConfiguration(config)))
            Malformed(line, L"the configuration \"" + config + L"\" is not declared in [Configurations].");
    }
}

bool Document::HasConfiguration(const std::wstring& name) const {
    return std::any_of(m_configs.begin(), m_configs.end(),
                       [&](const std::wstring& c) { return SameText(c, name); });
}

const Property* Document::FindProperty(const std::wstring& config, const std::wstring& block,
                                       const std::wstring& name, bool& inherited) const {
    const auto find = [&](const std::wstring& in) -> const Property* {
        for (const auto& p : m_props)
            if (SameText(p.config, in) && SameText(p.block, block) && SameText(p.name, name))
                return &p;
        return nullptr;
    };
    inherited = false;
    if (const Property* own = find(config))
        return own;
    inherited = !config.empty();
    return inherited ? find(std::wstring()) : nullptr;
}

bool Document::SetReferencePath(size_t index, const std::wstring& storedPath) {
    if (storedPath.empty() || HasLineBreak(storedPath) || Trim(storedPath) != storedPath)
        throw Failure(E_INVALIDARG, L"A reference path must be one line without surrounding blanks.");
    Reference& ref = m_refs.at(index);
    if (ref.storedPath == storedPath)
        return false;
    m_lines[ref.pathLine] = WithValue(m_lines[ref.pathLine], storedPath);
    Parse();
    return true;
}

bool Document::SetProperty(const std::wstring& config, const std::wstring& block, const std::wstring& name,
                           const std::wstring& value) {
    const bool storable = !block.empty() && !name.empty() && Trim(block) == block && Trim(name) == name &&
                          Trim(value) == value && block.find_first_of(L":=[#;") == std::wstring::npos &&
                          name.find(L'=') == std::wstring::npos && !HasLineBreak(block + name + value);
    if (!storable)
        throw Failure(E_INVALIDARG,
                      L"The property " + block + L":" + name + L" cannot be stored in an MRD file.");
    if (!config.empty() && !HasConfiguration(config))
        throw Failure(E_INVALIDARG, L"The file has no configuration \"" + config + L"\".");

    for (const auto& p : m_props) {
        if (SameText(p.config, config) && SameText(p.block, block) && SameText(p.name, name)) {
            if (p.value == value)
                return false;
            m_lines[p.line] = WithValue(m_lines[p.line], value);
            Parse();
            return true;
        }
    }
    const std::wstring line = WithValue(block + L":" + name + L" =", value);
    const auto section = std::find_if(m_propertySections.begin(), m_propertySections.end(),
                                      [&](const auto& s) { return SameText(s.first, config); });
    if (section != m_propertySections.end()) {
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(section->second + 1), line);
    } else {
        if (!m_lines.empty() && !Trim(m_lines.back()).empty())
            m_lines.emplace_back();
        m_lines.push_back(config.empty() ? L"[Properties]" : L"[Properties " + config + L"]");
        m_lines.push_back(line);
    }
    Parse();
    return true;
}

std::wstring Document::Text() const {
    const wchar_t* eol = m_crlf ? L"\r\n" : L"\n";
    std::wstring text;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        text += m_lines[i];
        if (i + 1 < m_lines.size() || m_finalNewline)
            text += eol;
    }
    return text;
}

std::wstring ReadTextFile(const std::wstring& path, FILETIME& lastWrite) {
    const ffm::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        RaiseLastError(L"Cannot open " + path + L".");
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || !GetFileTime(file.get(), nullptr, nullptr, &lastWrite))
        RaiseLastError(L"Cannot read " + path + L".");
    if (size.QuadPart > kMaxFileBytes)
        throw Failure(MRD_E_MALFORMED, L"The file is larger than an MRD text file can be (16 MiB).");
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
         got != bytes.size()))
        RaiseLastError(L"Cannot read " + path + L".");

    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (bytes.find('\0') != std::string::npos)
        throw Failure(MRD_E_MALFORMED, L"The file holds binary data, not MRD text.");
    if (bytes.size() == skip)
        return {};
    const char* data = bytes.data() + skip;
    const int n = static_cast<int>(bytes.size() - skip);
    const int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, n, nullptr, 0);
    if (chars <= 0)
        throw Failure(MRD_E_MALFORMED, L"The file is not UTF-8 text.");
    std::wstring text(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, n, text.data(), chars);
    return text;
}

void ReplaceTextFile(const std::wstring& path, const std::wstring& text, const FILETIME& expectedWrite,
                     FILETIME& lastWrite) {
    WIN32_FILE_ATTRIBUTE_DATA now{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &now))
        RaiseLastError(L"Cannot find " + path + L" to save it.");
    if (CompareFileTime(&now.ftLastWriteTime, &expectedWrite) != 0)
        throw Failure(MRD_E_CHANGED_ON_DISK, path + L" was changed by someone else since it was opened.");
    if (now.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        throw Failure(E_ACCESSDENIED, path + L" is read-only.");

    const auto slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
    wchar_t temp[MAX_PATH];
    if (!GetTempFileNameW(folder.c_str(), L"mrd", 0, temp))
        RaiseLastError(L"Cannot create a temporary file beside " + path + L".");
    struct TempFile {
        const wchar_t* path;
        bool moved = false;
        ~TempFile() {
            if (!moved)
                DeleteFileW(path);
        }
    } guard{temp};

    std::string bytes;
    if (!text.empty()) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
        bytes.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr,
                            nullptr);
    }
    {
        const ffm::UniqueFile out(
            CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!out ||
            (!bytes.empty() &&
             (!WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
              written != bytes.size())) ||
            !FlushFileBuffers(out.get()))
            RaiseLastError(L"Cannot write the temporary file " + std::wstring(temp) + L".");
    }
    SetFileAttributesW(temp, now.dwFileAttributes & ~FILE_ATTRIBUTE_TEMPORARY);
    if (!MoveFileExW(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        RaiseLastError(L"Cannot replace " + path + L".");
    guard.moved = true;
    WIN32_FILE_ATTRIBUTE_DATA saved{};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &saved))
        lastWrite = saved.ftLastWriteTime;
}

} // namespace mrd
