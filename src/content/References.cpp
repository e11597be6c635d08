// Reference reading: the three generations of plug-in reading, the configuration-pair summary,
// delivery to the caller's target, and writing reference paths back. These work only on the
// caller's navigator, so they take no manager lock.
#include "content/References.h"

#include "content/SafeArrayReading.h"
#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>

using ffm::ComError;
using ffm::ComPtr;
using ffm::RefRecordArray;
using ffm::UniqueBstr;
using ffm::UniqueSafeArray;

namespace ffm {

bool ExpandShortPath(const std::wstring& path, std::wstring& out) {
    if (path.find(L'~') == std::wstring::npos) {
        out = path;
        return true;
    }
    out.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find(L'\\', start);
        std::wstring component =
            path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (component.find(L'~') != std::wstring::npos) {
            WIN32_FIND_DATAW found;
            const UniqueFind search(::FindFirstFileW((out + component).c_str(), &found));
            if (!search) {
                out.clear();
                return false;
            }
            component = found.cFileName;
        }
        out += component;
        if (end == std::wstring::npos)
            return true;
        out += L'\\';
        start = end + 1;
    }
}

HRESULT ReadReferencesOneByOne(ITovFileNavigator* navigator, RefRecordArray<TovRefData>& refs) {
    long n = 0;
    HRESULT hr = navigator->GetReferenceCount(&n);
    if (FAILED(hr) || n < 1)
        return hr;
    if (static_cast<unsigned long>(n) > LONG_MAX / sizeof(TovRefData))
        throw ComError(E_OUTOFMEMORY);
    RefRecordArray<TovRefData> built(static_cast<TovRefData*>(NewTaskBlock(n * sizeof(TovRefData))), n);
    for (long i = 0; i < n; ++i) {
        UniqueBstr data, refPath, filePath;
        long numberA = 0;
        hr = navigator->GetReference(i, data.put(), refPath.put(), filePath.put(), &numberA);
        if (FAILED(hr))
            return hr;
        TovRefData& rec = built[i];
        if (const UINT chars = ::SysStringLen(data.get())) {
            const std::size_t bytes = (static_cast<std::size_t>(chars) + 1) * sizeof(wchar_t);
            rec.mpcData = static_cast<unsigned char*>(NewTaskBlock(bytes));
            std::memcpy(rec.mpcData, data.get(), bytes);
            rec.mlDataSize = static_cast<long>(bytes);
        }
        rec.mbsRefPath = refPath.release();
        rec.mbsFilePath = filePath.release();
        rec.mlNumberA = numberA;
        rec.mlNumberB = 0;
        rec.mlNumberC = 1;
    }
    const long count = built.count();
    refs.reset(built.release(), count);
    return hr;
}

XRefConfigList::~XRefConfigList() {
    for (XRefConfigInfo* info : m_list)
        std::unique_ptr<XRefConfigInfo> owned(info);
}

namespace {

bool SamePath(BSTR a, BSTR b) {
    return ::VarBstrCmp(a, b, LOCALE_USER_DEFAULT, NORM_IGNORECASE) == static_cast<HRESULT>(VARCMP_EQ);
}

// Appends the grouping key of a path to keys: two paths VarBstrCmp finds equal
// (LOCALE_USER_DEFAULT, NORM_IGNORECASE) have equal keys and no others do. VarBstrCmp puts null
// and empty strings in a class of their own (the empty key) before comparing; the rest compare as
// CompareStringW does, which is what their sort keys reproduce. False, with keys unchanged, when
// no sort key can be made.
bool AppendPathKey(BSTR path, std::string& keys) {
    if (!path || !path[0])
        return true;
    const int length = static_cast<int>(::SysStringLen(path));
    const DWORD flags = LCMAP_SORTKEY | NORM_IGNORECASE;
    const std::size_t start = keys.size();
    const auto make = [&](int room) {
        keys.resize(start + 1 + static_cast<std::size_t>(room));
        keys[start] = 'k';
        return ::LCMapStringW(LOCALE_USER_DEFAULT, flags, path, length,
                              reinterpret_cast<LPWSTR>(&keys[start + 1]), room);
    };
    int bytes = make(8 * length + 32); // enough for ordinary text, so one call suffices
    if (bytes <= 0) {
        const int needed = ::LCMapStringW(LOCALE_USER_DEFAULT, flags, path, length, nullptr, 0);
        bytes = needed > 0 ? make(needed) : 0;
    }
    keys.resize(bytes > 0 ? start + 1 + static_cast<std::size_t>(bytes) : start);
    return bytes > 0;
}

// lstrcmpiW of two names; identical texts, the usual case, are equal without asking it.
int CompareNames(BSTR a, BSTR b) {
    if (a && b && ::SysStringLen(a) == ::SysStringLen(b) && std::wcscmp(a, b) == 0)
        return 0;
    return ::lstrcmpiW(a, b);
}

bool NamesLess(const TovRefConfigData& a, const TovRefConfigData& b) {
    if (const int c = CompareNames(a.mbsConfig1, b.mbsConfig1))
        return c < 0;
    return CompareNames(a.mbsConfig2, b.mbsConfig2) < 0;
}

// Paths that are the same text: elements side by side with such paths share one key.
bool SameText(BSTR a, BSTR b) {
    const UINT length = ::SysStringLen(a);
    return length == ::SysStringLen(b) && (length == 0 || std::wmemcmp(a, b, length) == 0);
}

} // namespace

ConfigPairIndex::ConfigPairIndex(const TovRefConfigData* elements, long count)
    : m_elements(elements), m_count(count) {
    const std::size_t n = static_cast<std::size_t>(std::max(count, 0L));
    // A plug-in lists the uses of one reference together, so runs of one path are the rule: the
    // index holds one key per run.
    for (std::size_t e = 0; e < n; ++e)
        if (e == 0 || !SameText(m_elements[e].mbsPath, m_elements[e - 1].mbsPath))
            m_runs.push_back(static_cast<long>(e));
    const std::size_t runs = m_runs.size();
    m_runs.push_back(static_cast<long>(n));
    std::vector<std::size_t> ends(runs); // where each run's key ends in m_keys
    std::vector<bool> keyed(runs);
    m_keys.reserve(runs * 32);
    for (std::size_t r = 0; r < runs; ++r) {
        keyed[r] = AppendPathKey(m_elements[m_runs[r]].mbsPath, m_keys);
        ends[r] = m_keys.size();
    }
    m_index.emplace(runs);
    for (std::size_t r = 0; r < runs; ++r) {
        const std::size_t begin = r ? ends[r - 1] : 0;
        if (keyed[r])
            m_index->Add(std::string_view(m_keys).substr(begin, ends[r] - begin), static_cast<long>(r));
        else
            m_odd.push_back(static_cast<long>(r));
    }
}

void ConfigPairIndex::AppendPairs(BSTR refPath, Lst<XRefConfigInfo*>& out) {
    m_found.clear();
    m_refKey.clear();
    const auto addRun = [this](long r) {
        for (long e = m_runs[r]; e < m_runs[r + 1]; ++e)
            m_found.push_back(e);
    };
    if (AppendPathKey(refPath, m_refKey)) {
        m_index->ForEach(std::string_view(m_refKey), addRun);
        // Runs without a key are rare; they join in array order.
        if (!m_odd.empty()) {
            for (long r : m_odd)
                if (SamePath(m_elements[m_runs[r]].mbsPath, refPath))
                    addRun(r);
            std::sort(m_found.begin(), m_found.end());
        }
    } else {
        for (long e = 0; e < m_count; ++e)
            if (SamePath(m_elements[e].mbsPath, refPath))
                m_found.push_back(e);
    }

    // In name order, equal pairs side by side and each run led by its first element in array order.
    // A reference has few uses: those are placed by insertion, which needs no buffer.
    const auto less = [this](long a, long b) { return NamesLess(m_elements[a], m_elements[b]); };
    if (m_found.size() > 16) {
        std::stable_sort(m_found.begin(), m_found.end(), less);
    } else {
        for (std::size_t i = 1; i < m_found.size(); ++i)
            for (std::size_t j = i; j > 0 && less(m_found[j], m_found[j - 1]); --j)
                std::swap(m_found[j], m_found[j - 1]);
    }
    for (std::size_t i = 0; i < m_found.size();) {
        const TovRefConfigData& first = m_elements[m_found[i]];
        auto info = std::make_unique<XRefConfigInfo>();
        info->mbsConfig1 = first.mbsConfig1 ? first.mbsConfig1 : L"";
        info->mbsConfig2 = first.mbsConfig2 ? first.mbsConfig2 : L"";
        for (; i < m_found.size() && !NamesLess(first, m_elements[m_found[i]]); ++i) {
            const TovRefConfigData& element = m_elements[m_found[i]];
            ++info->mlCount;
            if (element.mbFlag1 == VARIANT_TRUE)
                ++info->mlFlag1Count;
            if (element.mbFlag2 == VARIANT_TRUE && element.mbFlag1 == VARIANT_FALSE)
                ++info->mlFlag2OnlyCount;
        }
        out.AddTail(info.get());
        (void)info.release();
    }
}

HRESULT FileFormatMgrXRefCallback::OnReference(BSTR refPath, const wchar_t* filePath, const wchar_t* text,
                                               bool flag, const unsigned char* data, long dataSize,
                                               long numberB, long numberA, double number, long numberC,
                                               Lst<XRefConfigInfo*>*, long) {
    const UniqueBstr ownedRefPath(refPath);
    return Boundary([&] {
        auto ref = std::make_unique<FileFormatMgr::Reference>();
        ref->moFilePath = filePath ? filePath : L"";
        if (refPath)
            ref->moRefPath.assign(refPath, ::SysStringLen(refPath));
        ref->moData = BinBlock(data, dataSize);
        ref->mlNumberB = numberB;
        ref->mlNumberA = numberA;
        ref->mdNumber = number;
        ref->mlNumberC = numberC;
        ref->moText = text ? text : L"";
        ref->mbFlag = flag;
        mpoList->push_back(ref.get());
        (void)ref.release();
    });
}

} // namespace ffm

namespace {

bool DeliveredFlag(const TovRefData&) {
    return true;
}
bool DeliveredFlag(const TovRefData2& rec) {
    return rec.mlFlag != 0;
}

// The plug-in's configuration information for all references, or null when it offers none.
UniqueSafeArray ReferenceConfigurations(ITovFileNavigator* navigator) {
    ComPtr<ITovFileNavigator2> navigator2;
    const HRESULT hr = navigator->QueryInterface(__uuidof(ITovFileNavigator2), navigator2.put_void());
    if (hr == E_NOINTERFACE)
        return {};
    if (FAILED(hr))
        throw ComError(hr);
    UniqueSafeArray array;
    // Without configuration information the references still go out, with empty pair lists.
    if (navigator2)
        navigator2->GetReferenceConfigurations(array.put());
    return array;
}

// Delivers every record to target, each with its configuration pairs. After a failed delivery
// the remaining records are only released. Every record is emptied on the way, so the array's
// owner frees only what an exception left behind.
template <class Rec>
HRESULT DeliverReferences(ITovFileNavigator* navigator, RefRecordArray<Rec>& refs,
                          IFileFormatMgrXRefCallback* target) {
    UniqueSafeArray array;
    if (refs.count() > 0)
        array = ReferenceConfigurations(navigator);
    std::optional<ffm::ArrayData> data;
    std::optional<ffm::ConfigPairIndex> index;
    if (array) {
        data.emplace(array.get());
        const long count = ffm::ElementCount(array.get());
        index.emplace(static_cast<const TovRefConfigData*>(data->Data()), count);
    }

    HRESULT result = S_OK;
    for (long i = 0; i < refs.count(); ++i) {
        Rec& rec = refs[i];
        const UniqueBstr file(std::exchange(rec.mbsFilePath, nullptr));
        const wchar_t* filePath = file ? file.get() : L"";
        std::wstring expanded;
        if (std::wcschr(filePath, L'~') && ffm::ExpandShortPath(filePath, expanded))
            filePath = expanded.c_str();
        if (SUCCEEDED(result)) {
            ffm::XRefConfigList pairs;
            if (index)
                index->AppendPairs(rec.mbsRefPath, pairs.List());
            result =
                target->OnReference(std::exchange(rec.mbsRefPath, nullptr), filePath, rec.mpwText,
                                    DeliveredFlag(rec), rec.mpcData, rec.mlDataSize, rec.mlNumberB,
                                    rec.mlNumberA, rec.mdNumber, rec.mlNumberC, &pairs.List(), rec.mlNumberD);
        }
        ffm::FreeRefRecord(rec);
    }
    return result;
}

} // namespace

namespace ffm {

HRESULT GetReferences(ITovFileNavigator* navigator, IFileFormatMgrXRefCallback* target,
                      ITovCallback* callback) {
    if (!navigator || !target)
        return E_POINTER;
    return ffm::Boundary([&]() -> HRESULT {
        HRESULT hr = S_OK;
        ComPtr<ITovFileNavigator4> navigator4;
        if (SUCCEEDED(navigator->QueryInterface(__uuidof(ITovFileNavigator4), navigator4.put_void())) &&
            navigator4) {
            long count = 0;
            TovRefData2* refs = nullptr;
            hr = navigator4->GetReferences2(callback, &count, &refs);
            if (FAILED(hr))
                return hr;
            hr = DeliverReferenceArray(navigator, count, refs, target);
        } else {
            long count = 0;
            TovRefData* refs = nullptr;
            hr = navigator->GetReferences(callback, &count, &refs);
            if (hr == E_NOTIMPL) {
                count = 0;
                refs = nullptr;
                hr = GetReferencesOneByOne(navigator, count, refs);
            }
            if (FAILED(hr))
                return hr;
            hr = DeliverReferenceArray(navigator, count, refs, target);
        }
        if (FAILED(hr))
            return hr;
        if (callback)
            callback->SetProgress(0);
        return hr;
    });
}

HRESULT GetReferencesOneByOne(ITovFileNavigator* navigator, long& count, TovRefData*& refs) {
    RefRecordArray<TovRefData> built;
    const HRESULT hr = ReadReferencesOneByOne(navigator, built);
    if (SUCCEEDED(hr) && built.get()) {
        count = built.count();
        refs = built.release();
    }
    return hr;
}

HRESULT DeliverReferenceArray(ITovFileNavigator* navigator, long count, TovRefData* refs,
                              IFileFormatMgrXRefCallback* target) {
    RefRecordArray<TovRefData> owned(refs, count);
    return DeliverReferences(navigator, owned, target);
}

HRESULT DeliverReferenceArray(ITovFileNavigator* navigator, long count, TovRefData2* refs,
                              IFileFormatMgrXRefCallback* target) {
    RefRecordArray<TovRefData2> owned(refs, count);
    return DeliverReferences(navigator, owned, target);
}

HRESULT SetReferencePaths(ITovFileNavigator* navigator, const FileFormatMgr::ReferenceList& list,
                          ITovCallback* callback, bool save) {
    if (!navigator || ffm::HoldsNull(list))
        return E_POINTER;
    return ffm::Boundary([&]() -> HRESULT {
        if (list.size() > LONG_MAX / sizeof(TovRefData))
            throw ComError(E_OUTOFMEMORY);
        const long count = static_cast<long>(list.size());
        RefRecordArray<TovRefData> records(
            static_cast<TovRefData*>(ffm::NewTaskBlock(count * sizeof(TovRefData))), count);
        long i = 0;
        for (const FileFormatMgr::Reference* ref : list) {
            TovRefData& rec = records[i++];
            rec.mbsRefPath = ffm::NewBstr(ref->moRefPath);
            rec.mbsFilePath = ffm::NewBstr(ref->moFilePath);
            rec.mlNumberC = 1;
            rec.mlDataSize = ref->moData.Size();
            if (rec.mlDataSize) {
                rec.mpcData = static_cast<unsigned char*>(ffm::NewTaskBlock(rec.mlDataSize));
                std::memcpy(rec.mpcData, ref->moData.Data(), rec.mlDataSize);
            }
        }
        HRESULT hr = navigator->SetReferences(callback, count, records.get());
        records.reset();
        if (FAILED(hr))
            return hr;
        if (save) {
            hr = navigator->Save();
            if (FAILED(hr))
                return hr;
        }
        if (callback)
            callback->SetProgress(0);
        return hr;
    });
}

} // namespace ffm
