#include "CompoundNavigator.h"

#include "PropertySet.h"
#include "Storage.h"
#include <FileFmtMgr/Handles.h>
#include <FileFmtMgr/MenuItems.h>
#include <map>

namespace cfb {

namespace {

constexpr ULONGLONG kPropertySetLimit = 16u << 20; // no real property set comes near it

// A task-allocator array of navigators; released with their references when not handed over.
class NavigatorArray {
  public:
    explicit NavigatorArray(std::size_t count)
        : m_items(static_cast<ITovFileNavigator**>(
              ::CoTaskMemAlloc(sizeof(ITovFileNavigator*) * (count ? count : 1)))) {
        if (!m_items)
            throw std::bad_alloc();
    }
    NavigatorArray(const NavigatorArray&) = delete;
    NavigatorArray& operator=(const NavigatorArray&) = delete;
    ~NavigatorArray() {
        for (std::size_t i = 0; i < m_filled; ++i)
            m_items[i]->Release();
        ::CoTaskMemFree(m_items);
    }
    void Add(ffm::ComPtr<ITovFileNavigator> navigator) { m_items[m_filled++] = navigator.detach(); }
    ITovFileNavigator** Release(long* count) {
        *count = static_cast<long>(m_filled);
        m_filled = 0;
        return std::exchange(m_items, nullptr);
    }

  private:
    ITovFileNavigator** m_items;
    std::size_t m_filled = 0;
};

std::wstring PathOf(ITovFileNavigator* navigator) {
    ffm::UniqueBstr path;
    Check(navigator->GetFilePath(path.put()));
    return FromBstr(path.get());
}

// The streams a command acts on: this one and the other selected ones.
std::vector<Location> Selection(const Location& first, long otherCount, ITovFileNavigator** others) {
    std::vector<Location> selected{first};
    for (long i = 0; others && i < otherCount; ++i)
        if (others[i])
            selected.push_back(Location::Parse(PathOf(others[i])));
    for (auto& where : selected) {
        where.stream = !where.inner.empty() && Describe(where).stream;
        if (!where.stream)
            throw Failure(CFB_E_NOT_A_STREAM);
    }
    return selected;
}

// A file name for an extracted stream: container name, dot, inner path with separators and
// characters a file name cannot hold made harmless.
std::wstring ExtractName(const Location& where) {
    const auto slash = where.container.find_last_of(L"\\/");
    std::wstring name = where.container.substr(slash == std::wstring::npos ? 0 : slash + 1) + L".";
    for (wchar_t c : where.InnerPath()) {
        if (c < 0x20)
            continue;
        name += (c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' ||
                 c == L'>' || c == L'|')
                    ? L'_'
                    : c;
    }
    return name;
}

std::wstring FolderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// Writes the stream to a new file in folder (never over an existing one); returns its path.
std::wstring Extract(const Location& where, const std::wstring& folder) {
    const std::wstring base = folder + L"\\" + ExtractName(where);
    for (int n = 1; n < 1000; ++n) {
        const std::wstring path = n == 1 ? base : base + L" (" + std::to_wstring(n) + L")";
        ffm::UniqueFile out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) {
            if (::GetLastError() == ERROR_FILE_EXISTS)
                continue;
            throw Failure(HRESULT_FROM_WIN32(::GetLastError()));
        }
        try {
            const auto root = OpenContainer(where.container);
            const auto parent = OpenStorages(root.get(), where.Storages());
            CopyStreamTo(parent.get(), where.inner.back(), out.get());
        } catch (...) {
            out.reset();
            ::DeleteFileW(path.c_str());
            throw;
        }
        return path;
    }
    throw Failure(HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
}

std::wstring DescribeText(const Location& where) {
    const Element e = Describe(where);
    SYSTEMTIME utc{}, local{};
    wchar_t when[64] = L"no date";
    if ((e.modified.dwLowDateTime || e.modified.dwHighDateTime) &&
        ::FileTimeToSystemTime(&e.modified, &utc) && ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        wsprintfW(when, L"%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                  local.wMinute, local.wSecond);
    return where.InnerPath() + L": " + std::to_wstring(e.size) + L" bytes, modified " + when + L", in " +
           where.container;
}

void Status(ITovCallback* callback, const std::wstring& text) {
    if (!callback)
        return;
    ffm::UniqueBstr b(NewBstr(text));
    callback->SetStatusMessage(b.get());
}

// The attribute records of both versions share these fields.
template <class Record> struct Request {
    Record* record;
    const Block* block;
    std::wstring name;
};

template <class Record>
std::map<std::wstring, std::vector<Request<Record>>> ByStream(long count, Record* records) {
    std::map<std::wstring, std::vector<Request<Record>>> groups;
    for (long i = 0; i < count; ++i) {
        Record& r = records[i];
        r.mlStatus = 0;
        r.mlFlag = 0;
        if (const Block* block = FindBlock(FromBstr(r.mbsBlock)))
            groups[block->stream].push_back({&r, block, FromBstr(r.mbsName)});
    }
    return groups;
}

PropertySetStream LoadSet(IStorage* storage, const std::wstring& stream) {
    try {
        return PropertySetStream::Parse(ReadStream(storage, stream, kPropertySetLimit));
    } catch (const Failure& f) {
        if (f.Code() == STG_E_FILENOTFOUND)
            return PropertySetStream::Empty();
        throw;
    }
}

} // namespace

HRESULT Navigator::GetFilePath(BSTR* path) {
    return Guard([&] {
        if (!path)
            return E_POINTER;
        *path = NewBstr(m_where.Path());
        return S_OK;
    });
}

HRESULT Navigator::List(bool streams, long* count, ITovFileNavigator*** navigators) {
    return Guard([&] {
        if (!count || !navigators)
            return E_POINTER;
        *count = 0;
        *navigators = nullptr;
        if (m_where.stream)
            return E_NOTIMPL; // an inner file holds nothing
        const ContainerStamp stamp = StampOf(m_where.container);
        const auto root = OpenContainer(m_where.container);
        const auto storage = OpenStorages(root.get(), m_where.inner);
        const auto elements = ListElements(storage.get());
        std::size_t matching = 0;
        for (const auto& e : elements)
            matching += e.stream == streams;
        NavigatorArray array(matching);
        for (const auto& e : elements) {
            if (e.stream != streams)
                continue;
            Location inner = m_where;
            inner.inner.push_back(e.name);
            inner.stream = e.stream;
            array.Add(ffm::Make<Navigator>(std::move(inner), Listed{e, stamp}));
        }
        *navigators = array.Release(count);
        return S_OK;
    });
}

HRESULT Navigator::GetSubFolders(ITovRegistry*, ITovCallback*, long* count, ITovFileNavigator*** navigators) {
    return List(false, count, navigators);
}

HRESULT Navigator::GetSubFiles(ITovRegistry*, ITovCallback*, long* count, ITovFileNavigator*** navigators) {
    return List(true, count, navigators);
}

template <class Record> HRESULT Navigator::ReadAll(long count, Record* records) {
    return Guard([&] {
        if (count < 0 || (count && !records))
            return E_INVALIDARG;
        if (m_where.stream)
            return E_NOTIMPL;
        const auto root = OpenContainer(m_where.container);
        const auto storage = OpenStorages(root.get(), m_where.inner);
        for (auto& [stream, requests] : ByStream(count, records)) {
            PropertySetStream set;
            try {
                set = LoadSet(storage.get(), stream);
            } catch (const Failure&) {
                continue; // a damaged set: its properties are not found, the others still are
            }
            for (auto& q : requests) {
                const Section* section = set.Find(*q.block->fmtid);
                if (!section)
                    continue;
                const DWORD id = q.block->named ? section->IdOf(q.name) : StandardId(*q.block, q.name);
                ::VariantClear(&q.record->mvValue);
                try {
                    q.record->mlStatus = id && section->Read(id, &q.record->mvValue) ? 1 : 0;
                } catch (const Failure&) {
                    q.record->mlStatus = 0; // a value that runs past its set
                }
            }
        }
        return S_OK;
    });
}

template <class Record> HRESULT Navigator::WriteAll(long count, Record* records) {
    return Guard([&] {
        if (count < 0 || (count && !records))
            return E_INVALIDARG;
        if (m_where.stream)
            return E_NOTIMPL;
        auto groups = ByStream(count, records);
        std::map<std::wstring, std::vector<unsigned char>> changed;
        std::vector<Record*> written;
        {
            const auto root = OpenContainer(m_where.container);
            const auto storage = OpenStorages(root.get(), m_where.inner);
            for (auto& [stream, requests] : groups) {
                PropertySetStream set = LoadSet(storage.get(), stream);
                const std::size_t before = written.size();
                for (auto& q : requests) {
                    Section& section = set.Get(*q.block->fmtid);
                    try {
                        const DWORD id = q.block->named
                                             ? (q.record->mvValue.vt == VT_EMPTY ? section.IdOf(q.name)
                                                                                 : section.IdFor(q.name))
                                             : StandardId(*q.block, q.name);
                        if (!id)
                            continue;
                        section.Write(id, q.record->mvValue);
                        written.push_back(q.record);
                    } catch (const Failure&) {
                        // a value of a type the set cannot hold: this one is not written
                    }
                }
                if (written.size() != before) // streams nothing was written to stay as they are
                    changed[stream] = set.Serialize();
            }
        } // the container is closed before the copy replaces it
        if (written.empty())
            return S_OK;
        WriteStreamsSafely(m_where.container, m_where.inner, changed);
        for (Record* r : written)
            r->mlStatus = 1;
        return S_OK;
    });
}

HRESULT Navigator::GetAttributes(BSTR, long, ITovCallback*, long count, TovAttribData* attributes) {
    return ReadAll(count, attributes);
}
HRESULT Navigator::GetAttributes2(BSTR, long, ITovCallback*, long count, TovAttribData2* attributes) {
    return ReadAll(count, attributes);
}
HRESULT Navigator::SetAttributes(BSTR, long, ITovCallback*, long count, TovAttribData* attributes, long) {
    return WriteAll(count, attributes);
}
HRESULT Navigator::SetAttributes2(BSTR, long, ITovCallback*, long count, TovAttribData2* attributes, long) {
    return WriteAll(count, attributes);
}

HRESULT Navigator::GetSubFileMenuItems(ITovRegistry*, long* count, TovPreviewMenuItem** items, long,
                                       ITovFileNavigator**) {
    return Guard([&] {
        if (!m_where.stream)
            return ffm::HandOutMenuItems(nullptr, 0, count, items); // folders offer no commands
        const ffm::OfferedMenuItem offered[] = {
            {kCommandExtract, L"Extract", L"Write the selected inner files to files beside the document."},
            {kCommandProperties, L"Properties", L"Show size and date of the selected inner files."}};
        return ffm::HandOutMenuItems(offered, count, items);
    });
}

HRESULT Navigator::OnSubFileMenuCommand(ITovRegistry* registry, ITovCallback* callback, long window,
                                        long command, long otherCount, ITovFileNavigator** others) {
    return Guard([&] {
        if (command != kCommandExtract && command != kCommandProperties)
            return E_INVALIDARG;
        const auto selected = Selection(m_where, otherCount, others);
        if (command == kCommandProperties) {
            std::wstring text;
            for (const auto& where : selected)
                text += (text.empty() ? L"" : L"\n") + DescribeText(where);
            if (window)
                ::MessageBoxW(reinterpret_cast<HWND>(static_cast<LONG_PTR>(window)), text.c_str(),
                              L"Properties", MB_OK | MB_ICONINFORMATION);
            else
                Status(callback, text);
            return S_OK;
        }
        // The folder the user chose once (through the host's registry object), else the document's.
        std::wstring folder;
        ffm::UniqueBstr configured;
        ffm::UniqueBstr name(NewBstr(L"CompoundExtractFolder"));
        if (registry && SUCCEEDED(registry->GetStringValue(name.get(), configured.put())) &&
            ::SysStringLen(configured.get()))
            folder = FromBstr(configured.get());
        for (const auto& where : selected)
            Status(callback, L"Extracted " + where.InnerPath() + L" to " +
                                 Extract(where, folder.empty() ? FolderOf(where.container) : folder));
        return S_OK;
    });
}

namespace {

// An element's size and date; an element without a time (storages often carry none) takes the
// container's.
void SizeAndDate(const Element& e, const FILETIME& containerWritten, VARIANT* date, VARIANT* size) {
    const FILETIME modified =
        e.modified.dwLowDateTime || e.modified.dwHighDateTime ? e.modified : containerWritten;
    FILETIME local;
    SYSTEMTIME st;
    double ole = 0;
    if (!::FileTimeToLocalFileTime(&modified, &local) || !::FileTimeToSystemTime(&local, &st) ||
        !::SystemTimeToVariantTime(&st, &ole))
        throw Failure(E_FAIL);
    ::VariantClear(date);
    date->vt = VT_DATE;
    date->date = ole;
    ::VariantClear(size);
    size->vt = VT_I8;
    size->llVal = static_cast<LONGLONG>(e.size);
}

} // namespace

void SizeAndDate(const Location& where, VARIANT* date, VARIANT* size) {
    SizeAndDate(Describe(where), StampOf(where.container).written, date, size);
}

HRESULT Navigator::Query(long kind, VARIANT, VARIANT* result, VARIANT* second) {
    return Guard([&] {
        if (kind != 1)
            return E_NOTIMPL;
        if (!result || !second)
            return E_POINTER;
        if (m_listed) {
            const ContainerStamp now = StampOf(m_where.container);
            if (now == m_listed->stamp) {
                SizeAndDate(m_listed->element, now.written, result, second);
                return S_OK;
            }
        }
        SizeAndDate(m_where, result, second);
        return S_OK;
    });
}

} // namespace cfb
