#include "Storage.h"

#include <FileFmtMgr/Handles.h>
#include <algorithm>
#include <array>
#include <cstring>

namespace cfb {

BSTR NewBstr(const std::wstring& text) {
    BSTR b = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!b)
        throw std::bad_alloc();
    return b;
}

std::wstring Location::InnerPath() const {
    std::wstring path;
    for (const auto& name : inner)
        path += (path.empty() ? L"" : L"\\") + name;
    return path;
}

std::wstring Location::Path() const {
    return inner.empty() ? container : container + kInnerMark + InnerPath();
}

std::vector<std::wstring> Location::Storages() const {
    if (!stream || inner.empty())
        return inner;
    return {inner.begin(), inner.end() - 1};
}

Location Location::Parse(const std::wstring& path) {
    Location where;
    const auto mark = path.find(kInnerMark);
    where.container = path.substr(0, mark);
    if (mark == std::wstring::npos)
        return where;
    std::wstring rest = path.substr(mark + 1);
    for (std::size_t start = 0; start <= rest.size();) {
        const auto end = std::min(rest.find(L'\\', start), rest.size());
        if (end > start)
            where.inner.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    return where;
}

namespace {

struct StatName {
    STATSTG stat{};
    ~StatName() { ::CoTaskMemFree(stat.pwcsName); }
};

// Deletes a file when it goes, unless kept.
class TempFile {
  public:
    explicit TempFile(std::wstring path) : m_path(std::move(path)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!m_kept)
            ::DeleteFileW(m_path.c_str());
    }
    const std::wstring& Path() const { return m_path; }
    void Keep() { m_kept = true; }

  private:
    std::wstring m_path;
    bool m_kept = false;
};

HRESULT LastError() {
    const DWORD e = ::GetLastError();
    return e ? HRESULT_FROM_WIN32(e) : E_FAIL;
}

// A fresh name beside the container, so the final replace stays on one volume.
std::wstring TempNameBeside(const std::wstring& container) {
    GUID g;
    Check(::CoCreateGuid(&g));
    wchar_t text[40];
    ::StringFromGUID2(g, text, 40);
    const auto slash = container.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? std::wstring() : container.substr(0, slash + 1);
    return folder + L"~cfb" + std::wstring(text + 1, 8) + L".tmp";
}

void CopyFileContents(HANDLE from, HANDLE to) {
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            throw Failure(LastError());
        if (got == 0)
            return;
        DWORD put = 0;
        if (!::WriteFile(to, buffer.data(), got, &put, nullptr) || put != got)
            throw Failure(LastError());
    }
}

// The allocation chains and the directory tree of a compound file, checked before the platform
// reads it: a loop in either makes the platform's reader spin for minutes, so such a file is
// refused at once. Everything else (bounds, truncation) the platform reports itself.
class ChainCheck {
  public:
    explicit ChainCheck(HANDLE file) : m_file(file) {}

    void Run() {
        unsigned char header[512];
        if (!ReadAt(0, header, sizeof header) || std::memcmp(header, kSignature, 8) != 0)
            return; // not ours to judge: the platform says what it is
        const WORD shift = U16(header, 0x1e);
        if (shift != 9 && shift != 12)
            return;
        m_sector = std::size_t(1) << shift;
        LARGE_INTEGER size{};
        ::GetFileSizeEx(m_file, &size);
        m_sectors = static_cast<std::size_t>(size.QuadPart / m_sector + 1);
        std::vector<DWORD> fatSectors;
        for (std::size_t i = 0; i < 109; ++i)
            fatSectors.push_back(U32(header, 0x4c + i * 4));
        DWORD difat = U32(header, 0x44);
        std::vector<unsigned char> sector(m_sector);
        for (std::size_t n = 0; difat < kMaxRegular && n < m_sectors; ++n) {
            if (!ReadSector(difat, sector))
                break;
            for (std::size_t i = 0; i + 4 < m_sector; i += 4)
                fatSectors.push_back(U32(sector.data(), i));
            difat = U32(sector.data(), m_sector - 4);
        }
        fatSectors.resize(std::min<std::size_t>(fatSectors.size(), U32(header, 0x2c)));
        for (DWORD s : fatSectors) {
            if (m_fat.size() >= m_sectors)
                break;
            if (!ReadSector(s, sector))
                sector.assign(m_sector, 0xff);
            for (std::size_t i = 0; i < m_sector; i += 4)
                m_fat.push_back(U32(sector.data(), i));
        }
        NoLoops(m_fat);
        // The mini allocation table, read along its (now loop-free) chain.
        std::vector<DWORD> mini;
        for (DWORD s = U32(header, 0x3c); s < m_fat.size() && mini.size() < m_sectors * m_sector / 4;
             s = m_fat[s]) {
            if (!ReadSector(s, sector))
                break;
            for (std::size_t i = 0; i < m_sector; i += 4)
                mini.push_back(U32(sector.data(), i));
        }
        NoLoops(mini);
        CheckDirectory(U32(header, 0x30));
    }

  private:
    static constexpr unsigned char kSignature[8] = {0xd0, 0xcf, 0x11, 0xe0, 0xa1, 0xb1, 0x1a, 0xe1};
    static constexpr DWORD kMaxRegular = 0xfffffffa;
    static constexpr DWORD kNoStream = 0xffffffff;

    static DWORD U32(const unsigned char* p, std::size_t at) {
        return p[at] | p[at + 1] << 8 | p[at + 2] << 16 | static_cast<DWORD>(p[at + 3]) << 24;
    }
    static WORD U16(const unsigned char* p, std::size_t at) {
        return static_cast<WORD>(p[at] | p[at + 1] << 8);
    }

    bool ReadAt(ULONGLONG offset, void* buffer, DWORD bytes) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        return ::ReadFile(m_file, buffer, bytes, &got, &at) && got == bytes;
    }
    bool ReadSector(DWORD index, std::vector<unsigned char>& sector) {
        return index < m_sectors &&
               ReadAt((ULONGLONG(index) + 1) * m_sector, sector.data(), static_cast<DWORD>(m_sector));
    }

    // Every chain of the table ends: no entry leads back into a chain being followed.
    static void NoLoops(const std::vector<DWORD>& next) {
        std::vector<unsigned char> state(next.size(), 0); // 0 new, 1 on the walk, 2 known to end
        std::vector<DWORD> walk;
        for (DWORD start = 0; start < next.size(); ++start) {
            walk.clear();
            DWORD at = start;
            while (at < next.size() && state[at] == 0) {
                state[at] = 1;
                walk.push_back(at);
                at = next[at];
            }
            if (at < next.size() && state[at] == 1)
                throw Failure(STG_E_DOCFILECORRUPT);
            for (DWORD w : walk)
                state[w] = 2;
        }
    }

    // The directory's entries form a tree: no entry is reached twice.
    void CheckDirectory(DWORD first) {
        const std::size_t perSector = m_sector / 128;
        std::vector<unsigned char> sector(m_sector);
        std::vector<std::array<DWORD, 3>> links; // left, right, child
        for (DWORD s = first; s < m_fat.size() && links.size() < m_sectors * perSector; s = m_fat[s]) {
            if (!ReadSector(s, sector))
                break;
            for (std::size_t e = 0; e < perSector; ++e)
                links.push_back({U32(sector.data(), e * 128 + 0x44), U32(sector.data(), e * 128 + 0x48),
                                 U32(sector.data(), e * 128 + 0x4c)});
        }
        std::vector<bool> seen(links.size(), false);
        std::vector<DWORD> pending{0};
        while (!pending.empty() && !links.empty()) {
            const DWORD e = pending.back();
            pending.pop_back();
            if (e == kNoStream || e >= links.size())
                continue;
            if (seen[e])
                throw Failure(STG_E_DOCFILECORRUPT);
            seen[e] = true;
            for (DWORD link : links[e])
                pending.push_back(link);
        }
    }

    HANDLE m_file;
    std::size_t m_sector = 512;
    std::size_t m_sectors = 0;
    std::vector<DWORD> m_fat;
};

} // namespace

ffm::ComPtr<IStorage> OpenContainer(const std::wstring& path) {
    {
        ffm::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            throw Failure(LastError());
        ChainCheck(file.get()).Run();
    }
    ffm::ComPtr<IStorage> root;
    Check(::StgOpenStorageEx(path.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE, STGFMT_STORAGE, 0, nullptr,
                             nullptr, IID_IStorage, root.put_void()));
    return root;
}

ffm::ComPtr<IStorage> OpenStorages(IStorage* root, const std::vector<std::wstring>& path, bool write) {
    ffm::ComPtr<IStorage> current(root);
    const DWORD mode = (write ? STGM_READWRITE : STGM_READ) | STGM_SHARE_EXCLUSIVE;
    for (const auto& name : path) {
        ffm::ComPtr<IStorage> next;
        Check(current->OpenStorage(name.c_str(), nullptr, mode, nullptr, 0, next.put()));
        current = next;
    }
    return current;
}

std::vector<Element> ListElements(IStorage* storage) {
    ffm::ComPtr<IEnumSTATSTG> elements;
    Check(storage->EnumElements(0, nullptr, 0, elements.put()));
    std::vector<Element> list;
    for (;;) {
        StatName s;
        ULONG got = 0;
        const HRESULT hr = elements->Next(1, &s.stat, &got);
        Check(hr);
        if (hr != S_OK || got != 1)
            return list;
        if (!s.stat.pwcsName || (s.stat.type != STGTY_STREAM && s.stat.type != STGTY_STORAGE))
            continue;
        list.push_back({s.stat.pwcsName, s.stat.type == STGTY_STREAM, s.stat.cbSize.QuadPart, s.stat.mtime,
                        s.stat.clsid});
    }
}

ContainerStamp StampOf(const std::wstring& container) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(container.c_str(), GetFileExInfoStandard, &data))
        throw Failure(LastError());
    return {(static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow, data.ftLastWriteTime};
}

Element Describe(const Location& where) {
    if (where.inner.empty()) {
        const ContainerStamp stamp = StampOf(where.container);
        return Element{where.container, false, stamp.size, stamp.written};
    }
    const auto root = OpenContainer(where.container);
    const auto parent =
        OpenStorages(root.get(), std::vector<std::wstring>(where.inner.begin(), where.inner.end() - 1));
    for (const auto& e : ListElements(parent.get()))
        if (e.name == where.inner.back())
            return e;
    throw Failure(STG_E_FILENOTFOUND);
}

std::vector<unsigned char> ReadStream(IStorage* parent, const std::wstring& name, ULONGLONG limit) {
    ffm::ComPtr<IStream> stream;
    Check(parent->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.put()));
    StatName s;
    Check(stream->Stat(&s.stat, STATFLAG_NONAME));
    if (s.stat.cbSize.QuadPart > limit)
        throw Failure(STG_E_MEDIUMFULL);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(s.stat.cbSize.QuadPart));
    ULONG got = 0;
    if (!bytes.empty())
        Check(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got));
    bytes.resize(got);
    return bytes;
}

void CopyStreamTo(IStorage* parent, const std::wstring& name, HANDLE target) {
    ffm::ComPtr<IStream> stream;
    Check(parent->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.put()));
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        ULONG got = 0;
        Check(stream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got));
        if (got == 0)
            return;
        DWORD put = 0;
        if (!::WriteFile(target, buffer.data(), got, &put, nullptr) || put != got)
            throw Failure(LastError());
    }
}

void WriteStreamsSafely(const std::wstring& container, const std::vector<std::wstring>& storages,
                        const std::map<std::wstring, std::vector<unsigned char>>& streams) {
    // A document marked read-only is left alone, whatever the platform's replace would allow.
    const DWORD attributes = ::GetFileAttributesW(container.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        throw Failure(E_ACCESSDENIED);
    // Held until the copy replaces the file: nobody writes the original meanwhile.
    ffm::UniqueFile original(::CreateFileW(container.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!original)
        throw Failure(LastError());
    TempFile copy(TempNameBeside(container));
    {
        ffm::UniqueFile out(::CreateFileW(copy.Path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out)
            throw Failure(LastError());
        CopyFileContents(original.get(), out.get());
    }
    {
        ffm::ComPtr<IStorage> root;
        Check(::StgOpenStorageEx(copy.Path().c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_STORAGE,
                                 0, nullptr, nullptr, IID_IStorage, root.put_void()));
        const auto target = OpenStorages(root.get(), storages, true);
        for (const auto& [name, bytes] : streams) {
            ffm::ComPtr<IStream> stream;
            Check(target->CreateStream(name.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                       0, stream.put()));
            ULONG put = 0;
            Check(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &put));
            if (put != bytes.size())
                throw Failure(STG_E_WRITEFAULT);
            Check(stream->Commit(STGC_DEFAULT));
        }
        Check(target->Commit(STGC_DEFAULT));
        Check(root->Commit(STGC_DEFAULT));
    }
    // Read back what the copy now holds before it may replace anything.
    {
        const auto root = OpenContainer(copy.Path());
        const auto target = OpenStorages(root.get(), storages);
        for (const auto& [name, bytes] : streams)
            if (ReadStream(target.get(), name, bytes.size()) != bytes)
                throw Failure(CFB_E_VERIFY_FAILED);
    }
    original.reset();
    if (!::ReplaceFileW(container.c_str(), copy.Path().c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                        nullptr, nullptr) &&
        !::MoveFileExW(copy.Path().c_str(), container.c_str(), MOVEFILE_REPLACE_EXISTING))
        throw Failure(LastError());
    copy.Keep();
}

} // namespace cfb
