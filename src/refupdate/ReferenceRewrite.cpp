// The reference rewrite: reads a file's references, matches them against the moves and the roots,
// writes the changed ones back in one call and saves. Matching goes through hash indexes of
// folded paths whose groups keep list order, so a rewrite costs about linear time in the
// references and moves while every pass still takes the first candidate in order.
#include "refupdate/ReferenceRewrite.h"

#include "foundation/ChainIndex.h"
#include "content/References.h"
#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include <algorithm>
#include <array>
#include <cwchar>
#include <memory>
#include <new>
#include <utility>

using ffm::ComError;

namespace ffm::refupdate {

namespace {

// Upper case of every UTF-16 unit; surrogate halves map to themselves. Built without allocating,
// since the noexcept comparisons may be the first to use it.
struct FoldTable {
    std::array<wchar_t, 0x10000> upper;
    FoldTable() noexcept {
        for (std::size_t c = 0; c < upper.size(); ++c)
            upper[c] = static_cast<wchar_t>(c);
        const auto map = [this](std::size_t first, std::size_t end) {
            wchar_t mapped[256];
            for (std::size_t at = first; at < end; at += 256) {
                const int length = static_cast<int>(std::min<std::size_t>(256, end - at));
                if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &upper[at], length, mapped,
                                    length, nullptr, nullptr, 0) == length)
                    std::copy_n(mapped, length, upper.begin() + at);
            }
        };
        map(0x0001, 0xD800);
        map(0xE000, 0x10000);
    }
};

const FoldTable& Table() {
    static const FoldTable table;
    return table;
}

const wchar_t* Text(BSTR path) noexcept {
    return path ? path : L"";
}

// Puts a copy of the text in place of a record's path and returns the old path.
UniqueBstr SwapPath(TovRefData& rec, const wchar_t* first, std::size_t firstLength,
                    const wchar_t* second = L"", std::size_t secondLength = 0) {
    BSTR copy = AllocBstrLen(nullptr, static_cast<UINT>(firstLength + secondLength));
    if (!copy)
        throw ComError(E_OUTOFMEMORY);
    std::copy_n(first, firstLength, copy);
    std::copy_n(second, secondLength, copy + firstLength);
    return UniqueBstr(std::exchange(rec.mbsFilePath, copy));
}
void SetPath(TovRefData& rec, const std::wstring& path) {
    SwapPath(rec, path.data(), path.size());
}

// Paths folded as PathEquals compares them.
struct FoldedHash {
    std::size_t operator()(const wchar_t* text) const noexcept {
        const FoldTable& table = Table();
        unsigned long long h = 14695981039346656037ull;
        for (; *text; ++text) {
            h ^= table.upper[static_cast<unsigned short>(*text)];
            h *= 1099511628211ull;
        }
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};
struct FoldedEqual {
    bool operator()(const wchar_t* a, const wchar_t* b) const noexcept { return PathEquals(a, b); }
};
using PathIndex = ChainIndex<const wchar_t*, FoldedHash, FoldedEqual>;

// Paths replaced while an index still points into them, freed when it goes.
class RetiredPaths {
  public:
    explicit RetiredPaths(std::size_t capacity) { m_paths.reserve(capacity); }
    RetiredPaths(const RetiredPaths&) = delete;
    RetiredPaths& operator=(const RetiredPaths&) = delete;
    ~RetiredPaths() = default;
    // Within the reserved capacity, so the move cannot fail.
    void Add(UniqueBstr path) noexcept { m_paths.push_back(std::move(path)); }

  private:
    std::vector<UniqueBstr> m_paths;
};

} // namespace

wchar_t FoldChar(wchar_t c) noexcept {
    return Table().upper[static_cast<unsigned short>(c)];
}

bool PathEquals(const wchar_t* a, const wchar_t* b) noexcept {
    const FoldTable& table = Table();
    for (;; ++a, ++b) {
        if (table.upper[static_cast<unsigned short>(*a)] != table.upper[static_cast<unsigned short>(*b)])
            return false;
        if (!*a)
            return true;
    }
}

bool PathStartsWith(const wchar_t* path, const std::wstring& prefix) noexcept {
    const FoldTable& table = Table();
    for (wchar_t p : prefix) {
        if (!*path ||
            table.upper[static_cast<unsigned short>(*path)] != table.upper[static_cast<unsigned short>(p)])
            return false;
        ++path;
    }
    return true;
}

const wchar_t* FileNameOf(const wchar_t* path) noexcept {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':')
            name = p + 1;
    return name;
}

const wchar_t* ExtensionOf(const wchar_t* path) noexcept {
    const wchar_t* name = FileNameOf(path);
    const wchar_t* dot = std::wcsrchr(name, L'.');
    return dot ? dot : name + std::wcslen(name);
}

bool IsProtectedReference(const TovRefData& ref) noexcept {
    if (ref.mlNumberA != 2)
        return false;
    const wchar_t* dot = ExtensionOf(Text(ref.mbsFilePath));
    if (!*dot)
        return false;
    wchar_t extension[9] = {};
    std::wcsncpy(extension, dot, 8);
    static const wchar_t* const kProtected[] = {L".mrdprt", L".prt", L".mrdlfp", L".lfp",
                                                L".mrdasm", L".asm", L".mrddrw", L".drw"};
    for (const wchar_t* candidate : kProtected)
        if (PathEquals(extension, candidate))
            return true;
    return false;
}

std::vector<long> ApplyMoves(TovRefData* refs, long count, const Lst<MoveRef*>& moves, const wchar_t* newRoot,
                             const wchar_t* oldRoot, const wchar_t* altOldRoot) {
    count = std::max(count, 0L);
    std::vector<const MoveRef*> working;
    working.reserve(static_cast<std::size_t>(moves.GetCount()));
    for (const MoveRef* move : moves)
        working.push_back(move);
    std::vector<bool> applied(working.size());
    std::vector<bool> changed(static_cast<std::size_t>(count));
    std::vector<bool> isProtected(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i)
        isProtected[i] = IsProtectedReference(refs[i]);
    std::vector<long> order; // passes 1 and 2, in the order of change

    // Pass 1: each record takes the first unused move with its exact path.
    if (!working.empty() && count > 0) {
        PathIndex byOldPath(working.size());
        for (std::size_t m = 0; m < working.size(); ++m)
            byOldPath.Add(working[m]->moOldPath.c_str(), static_cast<long>(m));
        for (long i = 0; i < count; ++i) {
            if (isProtected[i])
                continue;
            const long m = byOldPath.Take(Text(refs[i].mbsFilePath));
            if (m < 0)
                continue;
            SetPath(refs[i], working[m]->moNewPath);
            applied[m] = true;
            changed[i] = true;
            order.push_back(i);
        }
    }

    // Pass 2: each move left, in list order, goes to the first unchanged record with its file
    // name. A record leaves its group only by being changed here, so no group holds stale ones.
    if (std::find(applied.begin(), applied.end(), false) != applied.end() && count > 0) {
        RetiredPaths retired(static_cast<std::size_t>(count)); // the index's keys point into them
        PathIndex byName(static_cast<std::size_t>(count));
        for (long i = 0; i < count; ++i)
            if (!isProtected[i] && !changed[i])
                byName.Add(FileNameOf(Text(refs[i].mbsFilePath)), i);
        for (std::size_t m = 0; m < working.size(); ++m) {
            if (applied[m])
                continue;
            const long i = byName.Take(FileNameOf(working[m]->moOldPath.c_str()));
            if (i < 0)
                continue;
            const std::wstring& path = working[m]->moNewPath;
            retired.Add(SwapPath(refs[i], path.data(), path.size()));
            changed[i] = true;
            order.push_back(i);
        }
    }

    // Pass 3: rebase what lies below the old (or alternative old) root onto the new root. Records
    // changed here for the first time go to the head, so they end up before the others, last
    // first.
    std::vector<long> rebased;
    if (newRoot && oldRoot && altOldRoot) {
        const std::wstring r1 = WithBackslash(newRoot);
        const std::wstring r2 = WithBackslash(oldRoot);
        const std::wstring r3 = WithBackslash(altOldRoot);
        const bool useAlternative = r3 != L"\\";
        for (long i = 0; i < count; ++i) {
            const wchar_t* path = Text(refs[i].mbsFilePath);
            if (PathStartsWith(path, r1))
                continue;
            std::size_t cut = 0;
            if (PathStartsWith(path, r2))
                cut = r2.size();
            else if (useAlternative && PathStartsWith(path, r3))
                cut = r3.size();
            else
                continue;
            SwapPath(refs[i], r1.data(), r1.size(), path + cut, std::wcslen(path + cut));
            if (!changed[i]) {
                changed[i] = true;
                rebased.push_back(i);
            }
        }
    }
    order.insert(order.begin(), rebased.rbegin(), rebased.rend());
    return order;
}

} // namespace ffm::refupdate

namespace {

HRESULT Rewrite(ITovFileNavigator* navigator, const ffm::Lst<MoveRef*>& moves, const wchar_t* newRoot,
                const wchar_t* oldRoot, const wchar_t* altOldRoot) {
    ffm::RefRecordArray<TovRefData> refs;
    long count = 0;
    TovRefData* read = nullptr;
    HRESULT hr = navigator->GetReferences(nullptr, &count, &read);
    if (hr == E_NOTIMPL)
        hr = ffm::ReadReferencesOneByOne(navigator, refs);
    else if (SUCCEEDED(hr))
        refs.reset(read, count);
    if (FAILED(hr))
        return hr;

    const std::vector<long> changed =
        ffm::refupdate::ApplyMoves(refs.get(), refs.count(), moves, newRoot, oldRoot, altOldRoot);
    if (changed.empty())
        return hr;

    {
        // Copies share the records' strings and data: the records keep owning them.
        ffm::UniqueTaskMem<TovRefData> copies(
            static_cast<TovRefData*>(ffm::NewTaskBlock(changed.size() * sizeof(TovRefData))));
        for (std::size_t k = 0; k < changed.size(); ++k)
            copies.get()[k] = refs[changed[k]];
        hr = navigator->SetReferences(nullptr, static_cast<long>(changed.size()), copies.get());
    }
    refs.reset();
    if (FAILED(hr))
        return hr;
    return navigator->Save();
}

} // namespace

HRESULT ghUpdateReferences(ITovFileNavigator* navigator, const ffm::Lst<MoveRef*>& moves,
                           const wchar_t* newRoot, const wchar_t* oldRoot, const wchar_t* altOldRoot) {
    if (!navigator || ffm::HoldsNull(moves))
        return E_POINTER;
    try {
        return Rewrite(navigator, moves, newRoot, oldRoot, altOldRoot);
    } catch (const std::bad_alloc&) {
        throw ComError(E_OUTOFMEMORY);
    }
}
