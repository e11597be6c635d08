#include "MrdDocument.h"

#include "MrdCom.h"
#include <algorithm>
#include <cstdio>
#include <cwctype>

namespace mrd {

namespace {

constexpr LONGLONG kMaxFileBytes = 16 * 1024 * 1024;

std::wstring_view Trim(std::wstring_view s) {
    const auto first = s.find_first_not_of(L" \t");
    if (first == std::wstring_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(L" \t") - first + 1);
}

bool IsIgnorable(std::wstring_view trimmed) {
    return trimmed.empty() || trimmed[0] == L'#' || trimmed[0] == L';';
}

bool SplitAt(std::wstring_view s, wchar_t at, std::wstring_view& before, std::wstring_view& after) {
    const auto pos = s.find(at);
    if (pos == std::wstring_view::npos)
        return false;
    before = Trim(s.substr(0, pos));
    after = Trim(s.substr(pos + 1));
    return true;
}

std::vector<std::wstring_view> Words(std::wstring_view s) {
    std::vector<std::wstring_view> words;
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

bool ParseSwitch(std::wstring_view text, bool& value) {
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

bool ValidConfigName(std::wstring_view name) {
    return !name.empty() && name.find_first_of(L">,") == std::wstring_view::npos && !IsIgnorable(name) &&
           name[0] != L'[';
}

bool HasLineBreak(std::wstring_view s) {
    return s.find_first_of(L"\r\n") != std::wstring_view::npos;
}

// The line with everything after its first '=' replaced by value.
std::wstring WithValue(std::wstring_view line, std::wstring_view value) {
    std::wstring text(line.substr(0, line.find(L'=') + 1));
    if (!value.empty())
        text.append(L" ").append(value);
    return text;
}

[[noreturn]] void RaiseLastError(const std::wstring& what) {
    const DWORD err = GetLastError();
    throw Failure(HRESULT_FROM_WIN32(err ? err : ERROR_GEN_FAILURE), what);
}

// Room for one more element, so that adding it cannot fail; grows geometrically, as push_back
// would, so many edits stay linear.
template <class Vector> void ReserveOneMore(Vector& v) {
    if (v.size() == v.capacity())
        v.reserve(std::max<size_t>(8, 2 * v.capacity()));
}

// The key of a name in the indexes: names compare without regard to case.
std::wstring Folded(std::wstring_view name) {
    std::wstring text(name);
    if (!text.empty())
        CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring PropertyKey(std::wstring_view config, std::wstring_view block, std::wstring_view name) {
    std::wstring key;
    key.reserve(config.size() + block.size() + name.size() + 2);
    key.append(config).append(1, L'\n').append(block).append(1, L'\n').append(name);
    return key;
}

std::uint64_t HashOf(std::wstring_view folded) {
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const wchar_t c : folded) {
        hash ^= static_cast<std::uint64_t>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

} // namespace

bool NameIndex::Add(std::wstring_view name, size_t value) {
    const std::wstring folded = Folded(name);
    const std::uint64_t hash = HashOf(folded);
    if (m_slots.empty() || 2 * (m_entries.size() + 1) > m_slots.size()) {
        std::vector<std::uint32_t> slots(std::max<size_t>(16, 2 * m_slots.size()));
        const size_t mask = slots.size() - 1;
        for (size_t e = 0; e < m_entries.size(); ++e) {
            size_t i = m_entries[e].hash & mask;
            while (slots[i])
                i = (i + 1) & mask;
            slots[i] = static_cast<std::uint32_t>(e + 1);
        }
        m_slots.swap(slots);
    }
    const size_t slot = Locate(folded, hash);
    if (m_slots[slot])
        return false;
    ReserveOneMore(m_entries);
    const size_t start = m_names.size();
    m_names += folded;
    m_entries.push_back(
        Entry{hash, static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(folded.size()), value});
    m_slots[slot] = static_cast<std::uint32_t>(m_entries.size());
    return true;
}

size_t NameIndex::Find(std::wstring_view name) const {
    if (m_slots.empty())
        return std::wstring::npos;
    const std::wstring folded = Folded(name);
    const size_t slot = m_slots[Locate(folded, HashOf(folded))];
    return slot ? m_entries[slot - 1].value : std::wstring::npos;
}

size_t NameIndex::Locate(std::wstring_view folded, std::uint64_t hash) const {
    const size_t mask = m_slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const std::uint32_t slot = m_slots[i];
        if (!slot)
            return i;
        const Entry& e = m_entries[slot - 1];
        if (e.hash == hash && std::wstring_view(m_names).substr(e.start, e.length) == folded)
            return i;
    }
}

void NameIndex::Clear() noexcept {
    m_names.clear();
    m_entries.clear();
    m_slots.clear();
}

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

Document::Document(std::wstring text, FileKind kind)
    : m_kind(kind), m_text(std::make_shared<const std::wstring>(std::move(text))) {
    const std::wstring& all = *m_text;
    if (all.size() > UINT32_MAX)
        throw Failure(MRD_E_MALFORMED, L"The text is larger than an MRD text file can be.");
    m_crlf = all.find(L"\r\n") != std::wstring::npos || all.find(L'\n') == std::wstring::npos;
    m_finalNewline = all.empty() || all.back() == L'\n';
    m_lines.reserve(static_cast<size_t>(std::count(all.begin(), all.end(), L'\n')) + 1);
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find(L'\n', start);
        const bool lineFeed = end != std::wstring::npos;
        if (!lineFeed)
            end = all.size();
        Line line{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end - start), m_crlf, false};
        if (lineFeed)
            line.crlf = line.length > 0 && all[end - 1] == L'\r';
        if (line.crlf && line.length > 0 && all[start + line.length - 1] == L'\r')
            --line.length;
        m_lines.push_back(line);
        start = end + 1;
    }
    m_fileLines = m_lines.size();
    Parse();
}

std::wstring_view Document::LineText(size_t line) const {
    const Line& l = m_lines[line];
    return l.own ? std::wstring_view(m_ownTexts[l.start])
                 : std::wstring_view(*m_text).substr(l.start, l.length);
}

void Document::SetLineText(size_t line, std::wstring text) {
    Line& l = m_lines[line];
    if (l.own) {
        m_ownTexts[l.start].swap(text);
        return;
    }
    ReserveOneMore(m_ownTexts); // so nothing below can fail
    l.start = static_cast<std::uint32_t>(m_ownTexts.size());
    l.own = true;
    m_ownTexts.push_back(std::move(text));
}

void Document::Malformed(size_t line, const std::wstring& what) const {
    throw Failure(MRD_E_MALFORMED, L"line " + std::to_wstring(line + 1) + L": " + what);
}

void Document::Parse() {
    enum class Section { None, Configurations, Settings, Properties, Reference };
    m_configs.clear();
    m_configIndex.Clear();
    m_refIndex.Clear();
    m_propIndex.Clear();
    m_sectionIndex.Clear();
    m_refs.clear();
    m_uses.clear();
    m_props.clear();
    m_propertySections.clear();
    m_detailing = m_ldr = false;

    Section section = Section::None;
    bool header = false, seenConfigs = false, seenSettings = false;
    std::vector<size_t> refLines; // section line of each reference
    // Checked once all are declared; the names are pieces of the file's text.
    std::vector<std::pair<size_t, std::wstring_view>> namedConfigs;
    const auto text = [](std::wstring_view piece) { return std::wstring(piece); };

    for (size_t i = 0; i < m_lines.size(); ++i) {
        const std::wstring_view t = Trim(LineText(i));
        if (IsIgnorable(t))
            continue;
        if (!header) {
            const auto w = Words(t);
            if (w.size() != 3 || w[0] != L"MRD")
                Malformed(i, L"the file must start with \"MRD 1 <assembly|part|drawing>\".");
            if (w[1] != L"1")
                Malformed(i, L"format version " + text(w[1]) + L" is not supported (only 1).");
            if (!SameText(w[2], KindName(m_kind)))
                Malformed(i, L"the file says it is a(n) " + text(w[2]) + L", but its extension is for a(n) " +
                                 KindName(m_kind) + L".");
            header = true;
            continue;
        }
        if (t[0] == L'[') {
            if (t.back() != L']')
                Malformed(i, L"a section header must end with ']'.");
            const std::wstring_view inner = Trim(t.substr(1, t.size() - 2));
            const auto space = inner.find_first_of(L" \t");
            const std::wstring_view name = inner.substr(0, space);
            const std::wstring_view arg =
                space == std::wstring_view::npos ? std::wstring_view() : Trim(inner.substr(space));
            if (SameText(name, L"Configurations") || SameText(name, L"Settings")) {
                bool& seen = SameText(name, L"Settings") ? seenSettings : seenConfigs;
                if (!arg.empty() || seen)
                    Malformed(i, L"[" + text(name) + L"] takes no name and appears once.");
                seen = true;
                section = SameText(name, L"Settings") ? Section::Settings : Section::Configurations;
            } else if (SameText(name, L"Properties")) {
                if (!m_sectionIndex.Add(arg, m_propertySections.size()))
                    Malformed(i, L"a second [Properties " + text(arg) + L"] section.");
                if (!arg.empty())
                    namedConfigs.emplace_back(i, arg);
                m_propertySections.emplace_back(text(arg), i);
                section = Section::Properties;
            } else if (SameText(name, L"Reference")) {
                if (arg.empty())
                    Malformed(i, L"[Reference] needs a key: [Reference <key>].");
                if (!m_refIndex.Add(arg, m_refs.size()))
                    Malformed(i, L"a second reference with the key \"" + text(arg) + L"\".");
                m_refs.push_back(Reference{arg, {}, kKindComponent, m_uses.size(), 0, std::wstring::npos});
                refLines.push_back(i);
                section = Section::Reference;
            } else {
                Malformed(i, L"unknown section [" + text(name) + L"].");
            }
            continue;
        }

        std::wstring_view key, value;
        switch (section) {
        case Section::None:
            Malformed(i, L"text outside of any section.");
        case Section::Configurations:
            if (!ValidConfigName(t))
                Malformed(i, L"a configuration name may not contain '>' or ','.");
            if (!m_configIndex.Add(t, m_configs.size()))
                Malformed(i, L"the configuration \"" + text(t) + L"\" is declared twice.");
            m_configs.push_back(text(t));
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
                Malformed(i, L"unknown setting \"" + text(key) + L"\".");
            break;
        }
        case Section::Properties: {
            std::wstring_view block, name;
            if (!SplitAt(t, L'=', key, value) || !SplitAt(key, L':', block, name) || block.empty() ||
                name.empty())
                Malformed(i, L"a property reads \"<block>:<name> = <value>\".");
            const std::wstring& config = m_propertySections.back().first;
            if (!m_propIndex.Add(PropertyKey(config, block, name), m_props.size()))
                Malformed(i, L"the property " + text(block) + L":" + text(name) + L" is set twice.");
            m_props.push_back(Property{config, text(block), text(name), text(value), i});
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
                std::wstring_view config = value;
                size_t start = 0;
                for (bool first = true; start <= value.size(); first = false) {
                    size_t comma = value.find(L',', start);
                    if (comma == std::wstring_view::npos)
                        comma = value.size();
                    const std::wstring_view piece = Trim(value.substr(start, comma - start));
                    start = comma + 1;
                    if (first) {
                        std::wstring_view child;
                        if (!SplitAt(piece, L'>', config, child))
                            config = piece;
                        use.config = config;
                        use.childConfig = child;
                    } else if (SameText(piece, L"suppressed")) {
                        use.suppressed = true;
                    } else if (SameText(piece, L"excluded")) {
                        use.excluded = true;
                    } else {
                        Malformed(i, L"unknown use flag \"" + text(piece) + L"\" (suppressed, excluded).");
                    }
                }
                namedConfigs.emplace_back(i, config);
                m_uses.push_back(use);
                ++ref.useCount;
            } else {
                Malformed(i, L"unknown reference line \"" + text(key) + L"\".");
            }
            break;
        }
        }
    }

    if (!header)
        Malformed(m_lines.empty() ? 0 : m_lines.size() - 1, L"the file has no \"MRD 1 <kind>\" header.");
    // The lists grew by doubling; a navigator keeps them as long as the file is open.
    m_refs.shrink_to_fit();
    m_uses.shrink_to_fit();
    for (size_t r = 0; r < m_refs.size(); ++r)
        if (m_refs[r].pathLine == std::wstring::npos)
            Malformed(refLines[r], L"the reference \"" + text(m_refs[r].key) + L"\" has no Path.");
    std::wstring_view checked; // the name just found declared: uses repeat names line after line
    for (const auto& [line, config] : namedConfigs) {
        if (!config.empty() && config == checked)
            continue;
        // A file without configurations uses the empty name.
        if (!(config.empty() ? m_configs.empty() : HasConfiguration(config)))
            Malformed(line,
                      L"the configuration \"" + text(config) + L"\" is not declared in [Configurations].");
        checked = config;
    }
}

bool Document::HasConfiguration(std::wstring_view name) const {
    return m_configIndex.Find(name) != std::wstring::npos;
}

size_t Document::FindReference(const std::wstring& key) const {
    return m_refIndex.Find(key);
}

const Property* Document::FindProperty(const std::wstring& config, const std::wstring& block,
                                       const std::wstring& name, bool& inherited) const {
    const auto find = [&](const std::wstring& in) -> const Property* {
        const size_t found = m_propIndex.Find(PropertyKey(in, block, name));
        return found == std::wstring::npos ? nullptr : &m_props[found];
    };
    inherited = false;
    if (const Property* own = find(config))
        return own;
    inherited = !config.empty();
    return inherited ? find(std::wstring()) : nullptr;
}

bool Document::StorablePath(const std::wstring& storedPath) {
    return !storedPath.empty() && !HasLineBreak(storedPath) && Trim(storedPath) == storedPath;
}

bool Document::SetReferencePath(size_t index, const std::wstring& storedPath) {
    if (!StorablePath(storedPath))
        throw Failure(E_INVALIDARG, L"A reference path must be one line without surrounding blanks.");
    Reference& ref = m_refs.at(index);
    if (ref.storedPath == storedPath)
        return false;
    std::wstring line = WithValue(LineText(ref.pathLine), storedPath);
    std::wstring stored = storedPath;
    ReserveOneMore(m_ownTexts);
    // Nothing can fail from here on: the line and the model change together.
    SetLineText(ref.pathLine, std::move(line));
    ref.storedPath.swap(stored);
    return true;
}

size_t Document::AddLine(size_t anchor, std::wstring text) {
    const bool crlf = anchor == std::wstring::npos ? m_crlf : m_lines[anchor].crlf;
    auto& after = anchor == std::wstring::npos ? m_addedAtEnd : m_added[anchor];
    ReserveOneMore(after);
    ReserveOneMore(m_lines);
    ReserveOneMore(m_ownTexts);
    after.push_back(m_lines.size());
    m_lines.push_back(Line{static_cast<std::uint32_t>(m_ownTexts.size()), 0, crlf, true});
    m_ownTexts.push_back(std::move(text));
    return m_lines.size() - 1;
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

    const std::wstring key = PropertyKey(config, block, name);
    if (const size_t found = m_propIndex.Find(key); found != std::wstring::npos) {
        Property& p = m_props[found];
        if (p.value == value)
            return false;
        std::wstring newValue = value;
        SetLineText(p.line, WithValue(LineText(p.line), value));
        p.value.swap(newValue);
        return true;
    }
    const std::wstring line = WithValue(block + L":" + name + L" =", value);
    size_t at;
    if (const size_t section = m_sectionIndex.Find(config); section != std::wstring::npos) {
        at = AddLine(m_propertySections[section].second, line);
    } else {
        const bool lastBlank = m_addedAtEnd.empty()
                                   ? m_fileLines == 0 || Trim(LineText(m_fileLines - 1)).empty()
                                   : Trim(LineText(m_addedAtEnd.back())).empty();
        if (!lastBlank)
            AddLine(std::wstring::npos, L"");
        const size_t header =
            AddLine(std::wstring::npos, config.empty() ? L"[Properties]" : L"[Properties " + config + L"]");
        m_sectionIndex.Add(config, m_propertySections.size());
        m_propertySections.emplace_back(config, header);
        at = AddLine(header, line);
    }
    m_propIndex.Add(key, m_props.size());
    m_props.push_back(Property{config, block, name, value, at});
    return true;
}

std::wstring Document::Text() const {
    // The file's lines in order, each followed by the lines added after it; then those added at
    // the end. A line added after a line keeps that line's end.
    std::vector<size_t> order;
    order.reserve(m_lines.size());
    const auto visit = [&](size_t index, const auto& self) -> void {
        order.push_back(index);
        if (const auto added = m_added.find(index); added != m_added.end())
            for (size_t next : added->second)
                self(next, self);
    };
    for (size_t i = 0; i < m_fileLines; ++i)
        visit(i, visit);
    for (size_t i : m_addedAtEnd)
        visit(i, visit);
    std::wstring text;
    text.reserve(m_text->size() + 64 * (m_ownTexts.size() + 1));
    for (size_t k = 0; k < order.size(); ++k) {
        text += LineText(order[k]);
        // A file without a final line end keeps it so, unless lines were added after its last one.
        if (k + 1 < order.size() || m_finalNewline)
            text += m_lines[order[k]].crlf ? L"\r\n" : L"\n";
    }
    return text;
}

std::wstring FullPathName(const std::wstring& path) {
    // GetFullPathNameW leaves a prefixed path as it is ("..\" included): normalise it without.
    std::wstring stripped;
    const std::wstring* plain = &path;
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        plain = &stripped.assign(path).erase(2, 6);
    else if (path.compare(0, 4, L"\\\\?\\") == 0 && path.size() >= 6 && path[5] == L':')
        plain = &stripped.assign(path, 4);
    std::wstring full(plain->size() + 64, L'\0');
    for (;;) {
        const DWORD n =
            GetFullPathNameW(plain->c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0)
            return *plain;
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.resize(n);
    }
}

std::wstring FileSystemPath(const std::wstring& full) {
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\')
        return L"\\\\?\\" + full;
    if (full.compare(0, 2, L"\\\\") == 0 && full.compare(0, 4, L"\\\\?\\") != 0 &&
        full.compare(0, 4, L"\\\\.\\") != 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return full;
}

namespace {

FileState StateOf(HANDLE file, const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        RaiseLastError(L"Cannot read the state of " + path + L".");
    FileState state;
    state.volume = info.dwVolumeSerialNumber;
    state.index = (ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    state.lastWrite = info.ftLastWriteTime;
    state.size = (ULONGLONG(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return state;
}

bool SameState(const FileState& a, const FileState& b) {
    return a.volume == b.volume && a.index == b.index && a.size == b.size &&
           CompareFileTime(&a.lastWrite, &b.lastWrite) == 0;
}

// The path of the file an open handle reads, links resolved, without the long-path prefix.
std::wstring FinalPath(HANDLE file, const std::wstring& path) {
    std::wstring final(path.size() + 64, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()), 0);
        // Wine answers a short buffer with ERROR_MORE_DATA instead of the length it needs, and
        // cannot name a file whose path is longer than MAX_PATH: such a file is taken as named.
        if (n == 0 && GetLastError() == ERROR_MORE_DATA) {
            if (final.size() >= 65536)
                return path;
            final.resize(final.size() * 2);
            continue;
        }
        if (n == 0)
            RaiseLastError(L"Cannot resolve the path of " + path + L".");
        if (n < final.size())
            return FullPathName(final.substr(0, n));
        final.resize(n);
    }
}

std::string Utf8Bytes(const std::wstring& text) {
    std::string bytes;
    if (!text.empty()) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
        bytes.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr,
                            nullptr);
    }
    return bytes;
}

// Writes every byte; a write that takes fewer than it was given means the disk is full.
void WriteAll(HANDLE file, const std::string& bytes, const std::wstring& path) {
    for (size_t done = 0; done < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        SetLastError(ERROR_SUCCESS);
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr))
            RaiseLastError(L"Cannot write " + path + L".");
        if (written == 0)
            throw Failure(HRESULT_FROM_WIN32(ERROR_DISK_FULL), L"The disk is full: " + std::to_wstring(done) +
                                                                   L" of " + std::to_wstring(bytes.size()) +
                                                                   L" bytes of " + path + L" were written.");
        done += written;
    }
}

// The temporary file of a save sits beside the file under a name made from the file's, so a save
// that was killed leaves a file the next save of the same file finds and removes.
std::wstring TemporaryName(const std::wstring& file) {
    const std::wstring name = Folded(file.substr(file.find_last_of(L'\\') + 1));
    unsigned long long hash = 14695981039346656037ull; // FNV-1a
    for (const wchar_t c : name) {
        hash ^= static_cast<unsigned long long>(c);
        hash *= 1099511628211ull;
    }
    wchar_t text[32];
    swprintf(text, 32, L"~mrd%016llX.tmp", hash);
    return file.substr(0, file.find_last_of(L'\\') + 1) + text;
}

// The security of the file, for the temporary file to start with: a private file stays private
// where the platform derives permissions from it.
std::vector<BYTE> SecurityOf(HANDLE file) {
    const SECURITY_INFORMATION what =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    GetKernelObjectSecurity(file, what, nullptr, 0, &needed);
    std::vector<BYTE> sd(needed);
    if (needed == 0 || !GetKernelObjectSecurity(file, what, sd.data(), needed, &needed))
        sd.clear();
    return sd;
}

// Opens an existing file. Wine puts a file in another's place by removing the old one first, so
// for a moment a file being saved is not there: a missing file is looked for again briefly.
// Another save holds the file for the moment of its replace: a save waits that long, not for ever.
ffm::UniqueFile OpenExisting(const std::wstring& path, DWORD access, DWORD share) {
    for (int attempt = 0;; ++attempt) {
        ffm::UniqueFile file(CreateFileW(FileSystemPath(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        const DWORD err = GetLastError();
        if (file || !((err == ERROR_FILE_NOT_FOUND && attempt < 10) ||
                      (err == ERROR_SHARING_VIOLATION && attempt < 250))) {
            SetLastError(err);
            return file;
        }
        Sleep(err == ERROR_FILE_NOT_FOUND ? 2 : 20);
    }
}

ffm::UniqueFile OpenForSave(const std::wstring& path) {
    ffm::UniqueFile file =
        OpenExisting(path, GENERIC_READ | GENERIC_WRITE | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_DELETE);
    if (file)
        return file;
    const DWORD err = GetLastError();
    if (err == ERROR_ACCESS_DENIED)
        throw Failure(E_ACCESSDENIED, path + L" is read-only or may not be written.");
    if (err == ERROR_SHARING_VIOLATION)
        throw Failure(HRESULT_FROM_WIN32(err), path + L" is held open for writing by another program.");
    throw Failure(HRESULT_FROM_WIN32(err ? err : ERROR_GEN_FAILURE),
                  L"Cannot open " + path + L" to save it.");
}

} // namespace

std::wstring ReadTextFile(const std::wstring& path, FileState& state) {
    const ffm::UniqueFile file =
        OpenExisting(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!file)
        RaiseLastError(L"Cannot open " + path + L".");
    state = StateOf(file.get(), path);
    if (state.size > static_cast<ULONGLONG>(kMaxFileBytes))
        throw Failure(MRD_E_MALFORMED, L"The file is larger than an MRD text file can be (16 MiB).");
    std::string bytes(static_cast<size_t>(state.size), '\0');
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

void ReplaceTextFile(const std::wstring& path, const std::wstring& text, const FileState& expected,
                     FileState& saved) {
    const std::string bytes = Utf8Bytes(text);
    if (bytes.size() > static_cast<size_t>(kMaxFileBytes))
        throw Failure(HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE),
                      path +
                          L" would grow larger than an MRD text file can be (16 MiB); nothing was written.");

    // Held with write access and without sharing it from the check to the replace: another save
    // waits, then finds the file changed; a reader is not disturbed.
    ffm::UniqueFile held = OpenForSave(path);
    if (!SameState(StateOf(held.get(), path), expected))
        throw Failure(MRD_E_CHANGED_ON_DISK, path + L" was changed by someone else since it was opened.");
    if (GetFileAttributesW(FileSystemPath(path).c_str()) & FILE_ATTRIBUTE_READONLY)
        throw Failure(E_ACCESSDENIED, path + L" is read-only.");

    const std::wstring target = FinalPath(held.get(), path); // a link's target is what changes
    const std::wstring temp = TemporaryName(target);
    DeleteFileW(FileSystemPath(temp).c_str()); // left by a save that was killed
    std::vector<BYTE> security = SecurityOf(held.get());
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security.empty() ? nullptr : security.data(), FALSE};
    struct TempFile {
        std::wstring path;
        bool moved = false;
        ~TempFile() {
            if (!moved)
                DeleteFileW(path.c_str());
        }
    } guard{FileSystemPath(temp)};
    FileState written;
    {
        ffm::UniqueFile out(CreateFileW(guard.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out)
            RaiseLastError(L"Cannot create the temporary file " + temp + L".");
        WriteAll(out.get(), bytes, temp);
        if (!FlushFileBuffers(out.get()))
            RaiseLastError(L"Cannot write " + temp + L".");
        written = StateOf(out.get(), temp);
    }
    // ReplaceFileW keeps the file's attributes and security; under Wine it crashes on a path
    // longer than MAX_PATH. There a move takes the file's place, with the attributes copied and
    // the security the temporary file was made with; Wine refuses to move over a file held open,
    // so the hold ends just before it (the one moment another save could slip in).
    if (target.size() < MAX_PATH - 12) {
        if (!ReplaceFileW(FileSystemPath(target).c_str(), guard.path.c_str(), nullptr,
                          REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            RaiseLastError(L"Cannot replace " + target + L".");
    } else {
        SetFileAttributesW(guard.path.c_str(), GetFileAttributesW(FileSystemPath(target).c_str()) &
                                                   ~(FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_READONLY));
        held.reset();
        if (!MoveFileExW(guard.path.c_str(), FileSystemPath(target).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            RaiseLastError(L"Cannot replace " + target + L".");
    }
    guard.moved = true;
    saved = written;
    // The replace may give the file times of its own; taken when the file is still the one written.
    ffm::UniqueFile now(CreateFileW(FileSystemPath(target).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (now) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileInformationByHandle(now.get(), &info) &&
            ((ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow) == written.index)
            saved = StateOf(now.get(), target);
    }
}

} // namespace mrd
