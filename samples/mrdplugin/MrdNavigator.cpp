#include "MrdNavigator.h"

#include "MrdRecords.h"
#include <algorithm>
#include <cstring>
#include <shlwapi.h>

namespace mrd {

namespace {

std::wstring FolderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

void Progress(ITovCallback* callback, long percent) {
    if (callback)
        callback->SetProgress(percent);
}

// The path's components, pieces of it; a UNC path's root ("\\\\server\\share") counts as one.
std::vector<std::wstring_view> Components(std::wstring_view path) {
    std::vector<std::wstring_view> parts;
    size_t start = 0;
    if (path.compare(0, 2, L"\\\\") == 0) {
        const size_t share = path.find(L'\\', 2);
        start = share == std::wstring_view::npos ? path.size() : path.find(L'\\', share + 1);
        if (start == std::wstring_view::npos)
            start = path.size();
        parts.push_back(path.substr(0, start));
        ++start;
    }
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The path of target relative to the folder given by its components, both full; empty when they
// share no root. Built here at any length (the shell's function writes into a buffer of MAX_PATH
// characters).
std::wstring RelativePath(const std::vector<std::wstring_view>& from, const std::wstring& target) {
    const auto to = Components(target);
    size_t common = 0;
    while (common < from.size() && common < to.size() && SameText(from[common], to[common]))
        ++common;
    if (common == 0 || common == to.size())
        return {};
    std::wstring relative;
    relative.reserve(3 * (from.size() - common) + target.size());
    for (size_t i = common; i < from.size(); ++i)
        relative += L"..\\";
    for (size_t i = common; i < to.size(); ++i)
        relative.append(to[i]).append(i + 1 < to.size() ? L"\\" : L"");
    return relative;
}

// How many leading ".." components a relative path has.
size_t LevelsUp(const std::wstring& relative) {
    size_t levels = 0;
    for (size_t at = 0; relative.compare(at, 2, L"..") == 0; at += 3) {
        if (at + 2 < relative.size() && relative[at + 2] != L'\\' && relative[at + 2] != L'/')
            break;
        ++levels;
    }
    return levels;
}

} // namespace

void QuerySizeAndDate(const std::wstring& path, VARIANT* date, VARIANT* size) {
    if (!date || !size)
        throw Failure(E_POINTER);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(FileSystemPath(FullPathName(path)).c_str(), GetFileExInfoStandard, &data)) {
        const DWORD err = GetLastError();
        throw Failure(HRESULT_FROM_WIN32(err ? err : ERROR_FILE_NOT_FOUND), L"Cannot find " + path + L".");
    }
    FILETIME local{};
    SYSTEMTIME st{};
    double when = 0;
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !FileTimeToSystemTime(&local, &st) ||
        !SystemTimeToVariantTime(&st, &when))
        throw Failure(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), L"The date of " + path + L" cannot be shown.");
    ffm::UniqueVariant dateValue, sizeValue;
    dateValue->vt = VT_DATE;
    dateValue->date = when;
    sizeValue->vt = VT_I8;
    sizeValue->llVal =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    dateValue.move_to(date);
    sizeValue.move_to(size);
}

Navigator::Navigator(std::wstring path, Document document, const FileState& state)
    : m_openPath(std::move(path)), m_filePath(m_openPath), m_document(std::move(document)), m_state(state) {}

ffm::ComPtr<Navigator> Navigator::Open(const std::wstring& path, FileKind kind, ITovCallback* callback) {
    const std::wstring full = FullPathName(path);
    FileState state;
    std::wstring text = ReadTextFile(full, state);
    Progress(callback, 50);
    try {
        auto navigator = ffm::Make<Navigator>(full, Document(std::move(text), kind), state);
        Progress(callback, 100);
        return navigator;
    } catch (const Failure& f) {
        throw Failure(f.Code(), std::wstring(PathFindFileNameW(full.c_str())) + L", " + f.Text());
    }
}

std::wstring Navigator::FullPath(const Reference& ref, const std::wstring& folder) const {
    std::wstring path;
    path.reserve(folder.size() + 1 + ref.storedPath.size());
    path = ref.storedPath;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (PathIsRelativeW(path.c_str()))
        path.insert(0, 1, L'\\').insert(0, folder);
    return FullPathName(path);
}

// A reference stored relative stays relative (so a folder of files can move as a whole) unless
// the new path climbs further above the file's folder than the old one did: then it is written out.
std::wstring Navigator::StoredForm(const Reference& ref, const std::wstring& path,
                                   const std::vector<std::wstring_view>& folder) const {
    if (!PathIsRelativeW(ref.storedPath.c_str()) || PathIsRelativeW(path.c_str()))
        return path;
    const std::wstring text = RelativePath(folder, FullPathName(path));
    return !text.empty() && LevelsUp(text) <= LevelsUp(ref.storedPath) ? text : path;
}

template <class Rec> HRESULT Navigator::ReadReferences(long* count, Rec** refs) const {
    if (!count || !refs)
        return E_POINTER;
    *count = 0;
    *refs = nullptr;
    const auto& all = m_document.References();
    if (all.empty())
        return S_OK;
    // Everything is made first, each part owned, so a failure frees what was made; placing the
    // parts in the array cannot fail.
    struct Parts {
        ffm::UniqueBstr file, key;
        ffm::UniqueTaskMem<unsigned char> data; // the path as written, with its terminating zero
        long bytes = 0;
    };
    std::vector<Parts> parts(all.size());
    const std::wstring folder = FolderOf(m_filePath);
    for (size_t i = 0; i < all.size(); ++i) {
        const Reference& ref = all[i];
        parts[i].file = NewBstr(FullPath(ref, folder));
        parts[i].key = NewBstr(ref.key);
        const size_t bytes = (ref.storedPath.size() + 1) * sizeof(wchar_t);
        parts[i].data.reset(static_cast<unsigned char*>(CoTaskMemAlloc(bytes)));
        if (!parts[i].data)
            throw std::bad_alloc();
        std::memcpy(parts[i].data.get(), ref.storedPath.c_str(), bytes);
        parts[i].bytes = static_cast<long>(bytes);
    }
    ffm::UniqueTaskMem<Rec> array(static_cast<Rec*>(CoTaskMemAlloc(sizeof(Rec) * all.size())));
    if (!array)
        throw std::bad_alloc();
    std::memset(array.get(), 0, sizeof(Rec) * all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const Reference& ref = all[i];
        Rec& r = array.get()[i];
        r.mlDataSize = parts[i].bytes;
        r.mpcData = parts[i].data.release();
        r.mbsFilePath = parts[i].file.release();
        r.mbsRefPath = parts[i].key.release();
        r.mlNumberA = ref.kind;
        const Uses uses = m_document.UsesOf(ref);
        r.mlNumberB = static_cast<long>(uses.size());
        r.mlNumberC = 1;
        if constexpr (std::is_same_v<Rec, TovRefData2>) {
            // Active unless every use is suppressed.
            r.mlFlag = uses.empty() ||
                       std::any_of(uses.begin(), uses.end(), [](const Use& u) { return !u.suppressed; });
        }
    }
    *count = static_cast<long>(all.size());
    *refs = array.release();
    return S_OK;
}

HRESULT Navigator::GetReferences(ITovCallback*, long* count, TovRefData** refs) {
    return Guard(__uuidof(ITovFileNavigator), [&] { return ReadReferences(count, refs); });
}

HRESULT Navigator::GetReferences2(ITovCallback*, long* count, TovRefData2** refs) {
    return Guard(__uuidof(ITovFileNavigator4), [&] { return ReadReferences(count, refs); });
}

HRESULT Navigator::SetReferences(ITovCallback*, long count, TovRefData* refs) {
    return Guard(__uuidof(ITovFileNavigator), [&] {
        if (count < 0 || (count > 0 && !refs))
            return E_INVALIDARG;
        // Every record is checked, and every new path made, before anything changes.
        std::vector<std::pair<size_t, std::wstring>> changes;
        changes.reserve(static_cast<size_t>(count));
        const std::wstring folder = FolderOf(m_filePath);
        const auto folderParts = Components(folder);
        for (long i = 0; i < count; ++i) {
            const std::wstring key = FromBstr(refs[i].mbsRefPath);
            const size_t index = m_document.FindReference(key);
            if (index == std::wstring::npos)
                throw Failure(E_INVALIDARG, L"The file has no reference with the key \"" + key + L"\".");
            const std::wstring path = FromBstr(refs[i].mbsFilePath);
            if (path.empty())
                throw Failure(E_INVALIDARG, L"The reference \"" + key + L"\" needs a path.");
            std::wstring stored = StoredForm(m_document.References()[index], path, folderParts);
            if (!Document::StorablePath(stored))
                throw Failure(E_INVALIDARG, L"A reference path must be one line without surrounding blanks.");
            changes.emplace_back(index, std::move(stored));
        }
        bool changed = false;
        for (const auto& [index, stored] : changes)
            changed = m_document.SetReferencePath(index, stored) || changed;
        m_dirty = m_dirty || changed;
        return S_OK;
    });
}

HRESULT Navigator::GetFilePath(BSTR* path) {
    return Guard(__uuidof(ITovFileNavigator), [&] {
        if (!path)
            return E_POINTER;
        *path = NewBstr(m_filePath).release();
        return S_OK;
    });
}

template <class Rec>
HRESULT Navigator::ReadAttributes(BSTR configuration, long count, Rec* attributes) const {
    if (count > 0 && !attributes)
        return E_POINTER;
    const std::wstring config = FromBstr(configuration);
    const bool known = config.empty() || m_document.HasConfiguration(config);
    for (long i = 0; i < count; ++i) {
        Rec& a = attributes[i];
        ffm::UniqueVariant().move_to(&a.mvValue); // the caller's earlier value goes first
        a.mlStatus = 0;
        a.mlFlag = 0;
        bool inherited = false;
        const Property* p =
            known ? m_document.FindProperty(config, FromBstr(a.mbsBlock), FromBstr(a.mbsName), inherited)
                  : nullptr;
        if (!p)
            continue;
        a.mvValue.bstrVal = NewBstr(p->value).release();
        a.mvValue.vt = VT_BSTR;
        a.mlStatus = 1;
        a.mlFlag = inherited ? 1 : 0; // the value comes from the file-wide block
    }
    return S_OK;
}

template <class Rec> HRESULT Navigator::WriteAttributes(BSTR configuration, long count, Rec* attributes) {
    if (count > 0 && !attributes)
        return E_POINTER;
    const std::wstring config = FromBstr(configuration);
    Document next = m_document;
    bool changed = false;
    for (long i = 0; i < count; ++i) {
        Rec& a = attributes[i];
        a.mlStatus = 0;
        std::wstring value;
        if (a.mvValue.vt != VT_EMPTY && a.mvValue.vt != VT_NULL) {
            ffm::UniqueVariant text;
            if (FAILED(VariantChangeTypeEx(text.get(), &a.mvValue, LOCALE_INVARIANT, VARIANT_ALPHABOOL,
                                           VT_BSTR)))
                continue;
            value = FromBstr(text->bstrVal);
        }
        try {
            changed = next.SetProperty(config, FromBstr(a.mbsBlock), FromBstr(a.mbsName), value) || changed;
            a.mlStatus = 1;
        } catch (const Failure& f) {
            if (f.Code() != E_INVALIDARG)
                throw;
        }
    }
    m_document = std::move(next);
    m_dirty = m_dirty || changed;
    return S_OK;
}

HRESULT Navigator::GetAttributes(BSTR configuration, long, ITovCallback*, long count,
                                 TovAttribData* attributes) {
    return Guard(__uuidof(ITovFileNavigator),
                 [&] { return ReadAttributes(configuration, count, attributes); });
}

HRESULT Navigator::GetAttributes2(BSTR configuration, long, ITovCallback*, long count,
                                  TovAttribData2* attributes) {
    return Guard(__uuidof(ITovFileNavigator3),
                 [&] { return ReadAttributes(configuration, count, attributes); });
}

HRESULT Navigator::SetAttributes(BSTR configuration, long, ITovCallback*, long count,
                                 TovAttribData* attributes, long) {
    return Guard(__uuidof(ITovFileNavigator),
                 [&] { return WriteAttributes(configuration, count, attributes); });
}

HRESULT Navigator::SetAttributes2(BSTR configuration, long, ITovCallback*, long count,
                                  TovAttribData2* attributes, long) {
    return Guard(__uuidof(ITovFileNavigator3),
                 [&] { return WriteAttributes(configuration, count, attributes); });
}

HRESULT Navigator::Save() {
    return Guard(__uuidof(ITovFileNavigator), [&] {
        if (!m_dirty)
            return S_OK;
        ReplaceTextFile(m_openPath, m_document.Text(), m_state, m_state);
        m_dirty = false;
        return S_OK;
    });
}

HRESULT Navigator::GetConfigurationNames(BSTR* names) {
    return Guard(__uuidof(ITovFileNavigator), [&] {
        if (!names)
            return E_POINTER;
        std::wstring text;
        for (const auto& c : m_document.Configurations())
            text += (text.empty() ? L"" : L"\n") + c;
        *names = NewBstr(text).release();
        return S_OK;
    });
}

HRESULT Navigator::SetOption(long option, long value) {
    return Guard(__uuidof(ITovFileNavigator), [&] {
        m_options.emplace_back(option, value);
        return S_OK;
    });
}

HRESULT Navigator::GetReferenceCount(long* count) {
    if (!count)
        return E_POINTER;
    *count = static_cast<long>(m_document.References().size());
    return S_OK;
}

HRESULT Navigator::GetReference(long index, BSTR* data, BSTR* refPath, BSTR* filePath, long* numberA) {
    return Guard(__uuidof(ITovFileNavigator), [&] {
        if (!data || !refPath || !filePath || !numberA)
            return E_POINTER;
        const auto& all = m_document.References();
        if (index < 0 || static_cast<size_t>(index) >= all.size())
            throw Failure(E_INVALIDARG, L"No reference with the index " + std::to_wstring(index) + L".");
        const Reference& ref = all[static_cast<size_t>(index)];
        auto stored = NewBstr(ref.storedPath), key = NewBstr(ref.key),
             full = NewBstr(FullPath(ref, FolderOf(m_filePath)));
        *data = stored.release();
        *refPath = key.release();
        *filePath = full.release();
        *numberA = ref.kind;
        return S_OK;
    });
}

HRESULT Navigator::GetReferenceConfigurations(SAFEARRAY** configurations) {
    return Guard(__uuidof(ITovFileNavigator2), [&] {
        if (!configurations)
            return E_POINTER;
        *configurations = nullptr;
        ULONG total = 0;
        for (const auto& ref : m_document.References())
            total += static_cast<ULONG>(ref.useCount);
        if (total == 0)
            return S_OK;
        // Destroying the array frees whatever strings were already placed.
        ffm::UniqueSafeArray array(NewRefConfigArray(total));
        {
            ffm::SafeArrayAccess<TovRefConfigData> elements;
            Check(elements.Lock(array.get()));
            TovRefConfigData* element = elements.data();
            for (const auto& ref : m_document.References())
                for (const Use& use : m_document.UsesOf(ref)) {
                    element->mbsPath = NewBstr(ref.key).release();
                    element->mbsConfig1 = NewBstr(use.config).release();
                    element->mbsConfig2 = NewBstr(use.childConfig).release();
                    element->mbFlag1 = use.suppressed ? VARIANT_TRUE : VARIANT_FALSE;
                    element->mbFlag2 = use.excluded ? VARIANT_TRUE : VARIANT_FALSE;
                    ++element;
                }
        }
        *configurations = array.release();
        return S_OK;
    });
}

HRESULT Navigator::SetFilePath(BSTR path) {
    return Guard(__uuidof(ITovFileNavigator2), [&] {
        if (SysStringLen(path) == 0)
            throw Failure(E_INVALIDARG, L"SetFilePath needs a path.");
        m_filePath = FullPathName(FromBstr(path));
        return S_OK;
    });
}

HRESULT Navigator::Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) {
    return Guard(__uuidof(ITovFileQuery), [&] {
        if (!result)
            return E_POINTER;
        switch (kind) {
        case 1:
            QuerySizeAndDate(input.vt == VT_BSTR && SysStringLen(input.bstrVal) ? FromBstr(input.bstrVal)
                                                                                : m_openPath,
                             result, second);
            return S_OK;
        case 3: {
            // Without configurations the manager asks for the names and reports one unnamed one.
            const auto& configs = m_document.Configurations();
            if (configs.empty())
                return E_NOTIMPL;
            ffm::UniqueVariant value;
            {
                ffm::UniqueSafeArray array(NewConfigArray(static_cast<ULONG>(configs.size())));
                ffm::SafeArrayAccess<ConfigElement> elements;
                Check(elements.Lock(array.get()));
                for (size_t i = 0; i < configs.size(); ++i) {
                    elements[i].mlValue = static_cast<std::int64_t>(i + 1);
                    elements[i].mbsName = NewBstr(configs[i]).release();
                }
                elements.Unlock();
                value->vt = VT_ARRAY | VT_RECORD;
                value->parray = array.release();
            }
            value.move_to(result);
            return S_OK;
        }
        case 5:
        case 7: {
            const bool on = kind == 5 ? m_document.Kind() == FileKind::Drawing && m_document.DetailingMode()
                                      : m_document.Kind() == FileKind::Assembly && m_document.LdrMode();
            ffm::UniqueVariant value;
            value->vt = VT_BOOL;
            value->boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
            value.move_to(result);
            return S_OK;
        }
        default:
            return E_NOTIMPL;
        }
    });
}

} // namespace mrd
