#include <FileFmtMgr/FileFmtRegistryAccess.h>

#include "plugins/Registry.h"
#include "plugins/RegistryKey.h"
#include <FileFmtMgr/ComError.h>
#include <FileFmtMgr/ResultCodes.h>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>
#include <objbase.h>
#include <shlwapi.h>

namespace {

// Runs one registry read; a registry failure gives false, anything else (running out of memory)
// goes on to the caller.
template <class Read> bool Tolerate(Read&& read) {
    try {
        read();
        return true;
    } catch (const ffm::ComError& e) {
        if (e.Error() != ffm::FFM_E_REG_OPEN && e.Error() != ffm::FFM_E_REG_READ)
            throw;
        return false;
    }
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// The 36-character form xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx. Parsed here rather than by
// CLSIDFromString, which would take a ProgID for a class identifier.
bool ParseGuid(const std::wstring& text, GUID& guid) {
    if (text.size() != 36)
        return false;
    BYTE bytes[16];
    size_t b = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i++] != L'-')
                return false;
            continue;
        }
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[b++] = static_cast<BYTE>(high * 16 + low);
        i += 2;
    }
    guid.Data1 = (DWORD(bytes[0]) << 24) | (DWORD(bytes[1]) << 16) | (DWORD(bytes[2]) << 8) | bytes[3];
    guid.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return true;
}

// Installers write the class identifier with or without braces.
bool ParseClsid(const std::wstring& text, GUID& clsid) {
    const size_t first = text.find_first_not_of(L"{}");
    if (first == std::wstring::npos)
        return false;
    const size_t last = text.find_last_not_of(L"{}");
    return ParseGuid(text.substr(first, last - first + 1), clsid);
}

// Solid Edge files (parts, assemblies, drafts...) may be served by several plug-ins at once.
bool IsSolidEdgeExtension(const std::wstring& name) {
    static const wchar_t* const kExtensions[] = {L".par", L".asm", L".dft", L".psm", L".pwd", L".pcf"};
    const std::wstring extension = std::wstring(PathFindExtensionW(name.c_str())).substr(0, 8);
    for (const wchar_t* e : kExtensions)
        if (_wcsicmp(extension.c_str(), e) == 0)
            return true;
    return false;
}

// The value name is the mask in decimal (see the header): leading blanks, then digits; no sign,
// and digits past 32 bits wrap, so only the low 32 bits count.
unsigned long ParseMask(const std::wstring& name) {
    size_t i = 0;
    while (i < name.size() && (name[i] == L' ' || name[i] == L'\t'))
        ++i;
    uint32_t mask = 0;
    for (; i < name.size() && name[i] >= L'0' && name[i] <= L'9'; ++i)
        mask = mask * 10 + static_cast<uint32_t>(name[i] - L'0');
    return mask;
}

// A string value as the store takes it: REG_SZ or REG_EXPAND_SZ (not expanded) holding a whole
// number of characters that ends in NUL, or no data at all. RegistryKey would terminate cut-off
// data itself; the store refuses it, so a plug-in whose component or class identifier was cut off
// is left out rather than registered under a shorter text.
std::wstring StoredString(const RegistryKey& key, const wchar_t* name) {
    DWORD type = 0;
    const std::vector<BYTE> data = key.moGetData(name, type);
    const size_t size = data.size();
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size % sizeof(wchar_t) != 0 ||
        (size != 0 && (data[size - 1] != 0 || data[size - 2] != 0)))
        throw ffm::ComError(ffm::FFM_E_REG_READ);
    return RegistryKey::zoTextOf(data);
}

// "Plugin" or "Plugin@ProgID"; the second counts only when the ProgID is registered. An "@"
// at either end is part of the name.
bool UsableCandidate(const std::wstring& text, std::wstring& plugin) {
    const size_t at = text.find(L'@');
    if (at == std::wstring::npos || at == 0 || at + 1 == text.size()) {
        plugin = text;
        return true;
    }
    CLSID ignored;
    if (FAILED(CLSIDFromProgID(text.substr(at + 1).c_str(), &ignored)))
        return false;
    plugin = text.substr(0, at);
    return true;
}

std::shared_ptr<FileFormatPlugin> ReadPluginKey(const RegistryKey& key, const std::wstring& name) {
    std::wstring component, clsid;
    if (!Tolerate([&] {
            component = StoredString(key, L"");
            clsid = StoredString(key, L"CLSID");
        }))
        return nullptr;
    auto plugin = std::make_shared<FileFormatPlugin>();
    if (!ParseClsid(clsid, plugin->moClsid))
        return nullptr;
    plugin->mbsName = name.c_str();
    plugin->mbsComponent = component.c_str();
    return plugin;
}

} // namespace

FileFmtRegistryAccess::FileFmtRegistryAccess() = default;
FileFmtRegistryAccess::~FileFmtRegistryAccess() = default;

HRESULT FileFmtRegistryAccess::QueryInterface(REFIID, void** out) {
    if (out)
        *out = nullptr;
    return E_NOINTERFACE;
}

void FileFmtRegistryAccess::GetPlugins(FileFormatPluginList& plugins) {
    mvLoad();
    FileFormatPluginList copy(moPlugins);
    plugins.swap(copy);
}

void FileFmtRegistryAccess::GetExtensionRecords(ExtensionRecordList& records) {
    mvLoad();
    ExtensionRecordList copy(moRecords);
    records.swap(copy);
}

HRESULT FileFmtRegistryAccess::GetFormatContext(unsigned long* first, unsigned long* second) {
    if (first)
        *first = 0;
    if (second)
        *second = 0;
    return S_OK;
}

void FileFmtRegistryAccess::mvLoad() {
    if (mbLoaded)
        return;
    // Set first: a load that fails part-way is not repeated by this object.
    mbLoaded = true;

    RegistryKey formats;
    if (!Tolerate(
            [&] { formats.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls", VendorKey(L"FileFormats").c_str()); }))
        return;
    // An enumeration failure ends the walk; what was read stays.
    Tolerate([&] {
        std::wstring name;
        for (DWORD index = 0; formats.mbEnumSubKey(index, name); ++index) {
            if (name.empty() || name[0] == L'{')
                continue;
            RegistryKey sub;
            if (!Tolerate([&] { sub.mvOpen(formats.mhKey(), KEY_READ, L"%ls", name.c_str()); }))
                continue;
            if (name[0] == L'.') {
                mvReadExtensionKey(sub, name);
            } else if (auto plugin = ReadPluginKey(sub, name)) {
                moPlugins.push_back(std::move(plugin));
            }
        }
    });
}

void FileFmtRegistryAccess::mvReadExtensionKey(const RegistryKey& key, const std::wstring& extension) {
    const bool everyCandidate = IsSolidEdgeExtension(extension);
    const ffm::SpStr extensionText(extension.c_str());
    // A failing value enumeration (a name too long for the buffer) drops the rest of the key.
    Tolerate([&] {
        std::wstring valueName;
        for (DWORD index = 0; key.mbEnumValueName(index, valueName); ++index) {
            if (valueName.empty())
                continue;
            std::list<std::wstring> candidates;
            if (!Tolerate([&] { key.mvGetMultiStringList(valueName.c_str(), candidates); }))
                continue;
            const unsigned long mask = ParseMask(valueName);
            std::wstring plugin;
            for (const std::wstring& candidate : candidates) {
                if (!UsableCandidate(candidate, plugin))
                    continue;
                moRecords.push_back(ExtensionRecord{extensionText, ffm::SpStr(plugin.c_str()), mask});
                if (!everyCandidate)
                    break;
            }
        }
    });
}
