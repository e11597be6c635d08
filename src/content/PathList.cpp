#include <FileFmtMgr/PathList.h>

#include "foundation/Paths.h"
#include <shlwapi.h>
#include <windows.h>

namespace {
constexpr std::size_t kGrowth = 10; // entries are reserved in blocks of this many

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}
} // namespace

PathList::PathList(const std::list<std::wstring>& paths, wchar_t separator) : mcSeparator(separator) {
    moPaths.reserve((paths.size() / kGrowth + 1) * kGrowth);
    for (const auto& p : paths)
        mvStore(p);
}

PathList::PathList(const std::wstring& text, wchar_t separator) : mcSeparator(separator) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(mcSeparator, at);
        if (end == std::wstring::npos)
            end = text.size();
        std::size_t first = at, last = end;
        while (first < last && IsBlank(text[first]))
            ++first;
        while (last > first && IsBlank(text[last - 1]))
            --last;
        if (last > first)
            mvAdd(text.substr(first, last - first));
        at = end + 1;
    }
}

PathList::~PathList() = default;

std::wstring PathList::zoNormalize(const std::wstring& path) {
    std::wstring normal = path;
    for (wchar_t& c : normal)
        if (c == L'/')
            c = L'\\';
    return ffm::WithBackslash(std::move(normal));
}

// Upper case as the ordinal case-insensitive comparison folds it.
std::wstring PathList::zoKey(const std::wstring& path) {
    std::wstring key = path;
    if (!key.empty())
        ::CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    return key;
}

void PathList::mvStore(std::wstring path) {
    if (moPaths.size() == moPaths.capacity())
        moPaths.reserve(moPaths.size() + kGrowth);
    moKeys.insert(zoKey(path));
    moPaths.push_back(std::move(path));
}

bool PathList::mbContains(const std::wstring& path) const {
    return moKeys.count(zoKey(zoNormalize(path))) != 0;
}

void PathList::mvAdd(const std::wstring& path) {
    if (!mbContains(path))
        mvStore(zoNormalize(path));
}

void PathList::mvAppend(const PathList& other) {
    for (const auto& p : other.moPaths)
        mvAdd(p);
}

void PathList::mvCopyTo(std::list<std::wstring>& paths) const {
    std::list<std::wstring> copy;
    for (const auto& p : moPaths)
        copy.push_back(zoNormalize(p));
    paths.swap(copy);
}
