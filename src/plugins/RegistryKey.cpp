#include "plugins/RegistryKey.h"

#include <FileFmtMgr/ComError.h>
#include <FileFmtMgr/ResultCodes.h>
#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kNameBuffer = MAX_PATH;
// Registry paths are far shorter; past this a format cannot name a key.
constexpr size_t kMaxPath = 32768;

[[noreturn]] void RaiseRead() {
    throw ffm::ComError(ffm::FFM_E_REG_READ);
}

std::wstring FormatPath(const wchar_t* format, va_list args) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int n = vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n >= 0)
            return std::wstring(buffer.data(), static_cast<size_t>(n));
        if (buffer.size() >= kMaxPath)
            throw ffm::ComError(ffm::FFM_E_REG_OPEN);
        buffer.resize(buffer.size() * 4);
    }
}

bool Enumerated(LONG rc, const wchar_t* buffer, DWORD chars, std::wstring& name) {
    if (rc == ERROR_NO_MORE_ITEMS)
        return false;
    if (rc != ERROR_SUCCESS)
        RaiseRead();
    name.assign(buffer, chars);
    return true;
}

} // namespace

void RegistryKey::mvOpen(HKEY parent, REGSAM access, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring path;
    try {
        path = FormatPath(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);

    ffm::UniqueHKey key;
    if (RegOpenKeyExW(parent, path.c_str(), 0, access, key.put()) != ERROR_SUCCESS)
        throw ffm::ComError(ffm::FFM_E_REG_OPEN);
    moKey = std::move(key);
    mlView = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

bool RegistryKey::mbEnumSubKey(DWORD index, std::wstring& name) const {
    wchar_t buffer[kNameBuffer];
    DWORD chars = kNameBuffer;
    const LONG rc = RegEnumKeyExW(moKey.get(), index, buffer, &chars, nullptr, nullptr, nullptr, nullptr);
    return Enumerated(rc, buffer, chars, name);
}

bool RegistryKey::mbEnumValueName(DWORD index, std::wstring& name) const {
    wchar_t buffer[kNameBuffer];
    DWORD chars = kNameBuffer;
    const LONG rc = RegEnumValueW(moKey.get(), index, buffer, &chars, nullptr, nullptr, nullptr, nullptr);
    return Enumerated(rc, buffer, chars, name);
}

std::vector<BYTE> RegistryKey::moGetData(const wchar_t* name, DWORD& type) const {
    DWORD size = 0;
    LONG rc = RegQueryValueExW(moKey.get(), name, nullptr, &type, nullptr, &size);
    std::vector<BYTE> data;
    while (rc == ERROR_SUCCESS) {
        data.resize(size);
        DWORD read = size;
        rc = RegQueryValueExW(moKey.get(), name, nullptr, &type, data.data(), &read);
        if (rc == ERROR_MORE_DATA) { // the value grew since its size was asked
            size = read;
            rc = ERROR_SUCCESS;
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        data.resize(read);
        return data;
    }
    RaiseRead();
}

std::wstring RegistryKey::zoTextOf(const std::vector<BYTE>& data) {
    std::wstring text((data.size() + 1) / sizeof(wchar_t), L'\0');
    if (!data.empty())
        std::memcpy(text.data(), data.data(), data.size());
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

std::wstring RegistryKey::moGetString(const wchar_t* name) const {
    DWORD type = 0;
    const std::vector<BYTE> data = moGetData(name, type);
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        RaiseRead();
    return zoTextOf(data);
}

void RegistryKey::mvGetMultiStringList(const wchar_t* name, std::list<std::wstring>& list) const {
    DWORD type = 0;
    const std::vector<BYTE> data = moGetData(name, type);
    if (type != REG_MULTI_SZ)
        RaiseRead();
    zvMultiStringsOf(data, list);
}

void RegistryKey::zvMultiStringsOf(const std::vector<BYTE>& data, std::list<std::wstring>& list) {
    if (data.size() % sizeof(wchar_t) != 0 || data.empty())
        RaiseRead();
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), data.data(), data.size());
    const size_t n = text.size();
    if (text[n - 1] != L'\0' || (n > 1 && text[n - 2] != L'\0'))
        RaiseRead();
    // Each string ends in a NUL inside the data, and the final pair of NULs stops the walk.
    for (size_t pos = 0; pos < n;) {
        const size_t end = text.find(L'\0', pos);
        if (end == pos && pos != 0)
            break;
        list.emplace_back(text, pos, end - pos);
        if (end == pos)
            break;
        pos = end + 1;
    }
}
