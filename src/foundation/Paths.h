#pragma once
// Small path helpers shared by the subsystems.
#include <string>

namespace ffm {

// The path with a backslash appended unless it already ends in one (null and "" become "\").
inline std::wstring WithBackslash(std::wstring path) {
    if (path.empty() || path.back() != L'\\')
        path.push_back(L'\\');
    return path;
}
inline std::wstring WithBackslash(const wchar_t* path) {
    return WithBackslash(std::wstring(path ? path : L""));
}

} // namespace ffm
