#pragma once
// Plain forms of the reference rewrite's three passes and of the configuration-pair summary,
// following the written procedure step by step: every record is compared with every move and
// with every configuration element. The tests check the library's indexed forms against these,
// and the benchmark times both. They share no helper with the library. (Membership in the changed list is
// kept as a flag per record; a search of the list itself would only add a factor that says nothing about the
// passes.)
#include "foundation/Alloc.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <map>
#include <shlwapi.h>
#include <string>
#include <vector>

namespace ffmliteral {

// Its own comparisons, protection rule and roots, through the system's ordinal comparison and
// shell path functions: a fault in the library's helpers cannot hide in both.
inline bool SameText(const wchar_t* a, const wchar_t* b) {
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}
inline bool BeginsWith(const std::wstring& path, const std::wstring& prefix) {
    const int n = static_cast<int>(prefix.size());
    return path.size() >= prefix.size() &&
           ::CompareStringOrdinal(path.c_str(), n, prefix.c_str(), n, TRUE) == CSTR_EQUAL;
}
inline bool IsProtected(const TovRefData& r) {
    if (r.mlNumberA != 2 || !r.mbsFilePath)
        return false;
    const std::wstring extension =
        std::wstring(::PathFindExtensionW(::PathFindFileNameW(r.mbsFilePath))).substr(0, 8);
    for (const wchar_t* cad :
         {L".mrdprt", L".prt", L".mrdlfp", L".lfp", L".mrdasm", L".asm", L".mrddrw", L".drw"})
        if (!extension.empty() && SameText(extension.c_str(), cad))
            return true;
    return false;
}
inline std::wstring RootOf(const wchar_t* root) {
    std::wstring r = root;
    return r.empty() || r.back() != L'\\' ? r + L'\\' : r;
}

// The same contract as ffm::refupdate::ApplyMoves.
inline std::vector<long> ApplyMoves(TovRefData* refs, long count, const ffm::Lst<MoveRef*>& moves,
                                    const wchar_t* newRoot, const wchar_t* oldRoot,
                                    const wchar_t* altOldRoot) {
    const auto path = [](const TovRefData& r) -> const wchar_t* {
        return r.mbsFilePath ? r.mbsFilePath : L"";
    };
    const auto setPath = [](TovRefData& r, const std::wstring& p) {
        BSTR copy = ffm::NewBstr(p);
        ::SysFreeString(r.mbsFilePath);
        r.mbsFilePath = copy;
    };
    ffm::Lst<MoveRef*> working(moves);
    ffm::Lst<TovRefData*> changed;
    std::vector<bool> inChanged(static_cast<std::size_t>(count > 0 ? count : 0));

    // Pass 1: exact paths.
    for (long i = 0; i < count; ++i) {
        if (IsProtected(refs[i]))
            continue;
        for (auto* node = working.GetHead(); node; node = node->next) {
            if (!SameText(node->element->moOldPath.c_str(), path(refs[i])))
                continue;
            setPath(refs[i], node->element->moNewPath);
            working.RemoveAt(node);
            changed.AddTail(&refs[i]);
            inChanged[i] = true;
            break;
        }
    }
    // Pass 2: file names.
    while (!working.IsEmpty()) {
        const MoveRef* move = working.RemoveHead();
        for (long i = 0; i < count; ++i) {
            if (IsProtected(refs[i]) || inChanged[i])
                continue;
            if (!SameText(::PathFindFileNameW(path(refs[i])), ::PathFindFileNameW(move->moOldPath.c_str())))
                continue;
            setPath(refs[i], move->moNewPath);
            changed.AddTail(&refs[i]);
            inChanged[i] = true;
            break;
        }
    }
    // Pass 3: roots.
    if (newRoot && oldRoot && altOldRoot) {
        const std::wstring r1 = RootOf(newRoot);
        const std::wstring r2 = RootOf(oldRoot);
        const std::wstring r3 = RootOf(altOldRoot);
        for (long i = 0; i < count; ++i) {
            const std::wstring current = path(refs[i]);
            if (BeginsWith(current, r1))
                continue;
            std::wstring rebased;
            if (BeginsWith(current, r2))
                rebased = r1 + current.substr(r2.size());
            else if (r3 != L"\\" && BeginsWith(current, r3))
                rebased = r1 + current.substr(r3.size());
            if (rebased.empty())
                continue;
            setPath(refs[i], rebased);
            if (!inChanged[i]) {
                changed.AddHead(&refs[i]);
                inChanged[i] = true;
            }
        }
    }
    std::vector<long> order;
    for (TovRefData* r : changed)
        order.push_back(static_cast<long>(r - refs));
    return order;
}

// The configuration pairs of one reference: every element is compared with its path.
inline std::vector<XRefConfigInfo> ConfigPairs(const TovRefConfigData* elements, long count, BSTR refPath) {
    struct Less {
        bool operator()(const std::pair<BSTR, BSTR>& a, const std::pair<BSTR, BSTR>& b) const {
            const int c = ::lstrcmpiW(a.first, b.first);
            return c != 0 ? c < 0 : ::lstrcmpiW(a.second, b.second) < 0;
        }
    };
    std::map<std::pair<BSTR, BSTR>, XRefConfigInfo, Less> pairs;
    for (long e = 0; e < count; ++e) {
        const TovRefConfigData& element = elements[e];
        if (::VarBstrCmp(element.mbsPath, refPath, LOCALE_USER_DEFAULT, NORM_IGNORECASE) != VARCMP_EQ)
            continue;
        const std::pair<BSTR, BSTR> key(element.mbsConfig1, element.mbsConfig2);
        auto found = pairs.find(key);
        if (found == pairs.end()) {
            XRefConfigInfo info;
            info.mbsConfig1 = key.first ? key.first : L"";
            info.mbsConfig2 = key.second ? key.second : L"";
            found = pairs.emplace(key, info).first;
        }
        XRefConfigInfo& info = found->second;
        ++info.mlCount;
        if (element.mbFlag1 == -1)
            ++info.mlFlag1Count;
        if (element.mbFlag2 == -1 && element.mbFlag1 == 0)
            ++info.mlFlag2OnlyCount;
    }
    std::vector<XRefConfigInfo> out;
    for (const auto& entry : pairs)
        out.push_back(entry.second);
    return out;
}

} // namespace ffmliteral
