#include "PropertySet.h"

#include <algorithm>
#include <cstring>

namespace cfb {

namespace {

constexpr GUID kSummary = {0xf29f85e0, 0x4ff9, 0x1068, {0xab, 0x91, 0x08, 0x00, 0x2b, 0x27, 0xb3, 0xd9}};
constexpr GUID kDocSummary = {0xd5cdd502, 0x2e9c, 0x101b, {0x93, 0x97, 0x08, 0x00, 0x2b, 0x2c, 0xf9, 0xae}};
constexpr GUID kUserDefined = {0xd5cdd505, 0x2e9c, 0x101b, {0x93, 0x97, 0x08, 0x00, 0x2b, 0x2c, 0xf9, 0xae}};
constexpr UINT kUnicode = 1200;
constexpr DWORD kDictionary = 0;
constexpr DWORD kCodePage = 1;
constexpr std::size_t kMaxSections = 64;

const Block kBlocks[] = {
    {L"SummaryInformation", L"\005SummaryInformation", &kSummary, false},
    {L"DocumentSummaryInformation", L"\005DocumentSummaryInformation", &kDocSummary, false},
    {L"CustomProperty", L"\005DocumentSummaryInformation", &kUserDefined, true},
};

struct NamedId {
    const wchar_t* name;
    DWORD id;
};
const NamedId kSummaryIds[] = {
    {L"Title", 2},    {L"Subject", 3},    {L"Author", 4},     {L"Keywords", 5},   {L"Comments", 6},
    {L"Template", 7}, {L"LastAuthor", 8}, {L"RevNumber", 9},  {L"EditTime", 10},  {L"LastPrinted", 11},
    {L"Created", 12}, {L"LastSaved", 13}, {L"PageCount", 14}, {L"WordCount", 15}, {L"CharCount", 16},
    {L"AppName", 18}, {L"Security", 19}};
const NamedId kDocSummaryIds[] = {{L"Category", 2},  {L"PresentationFormat", 3}, {L"ByteCount", 4},
                                  {L"LineCount", 5}, {L"ParagraphCount", 6},     {L"SlideCount", 7},
                                  {L"NoteCount", 8}, {L"HiddenCount", 9},        {L"ClipCount", 10},
                                  {L"Manager", 14},  {L"Company", 15},           {L"LinksDirty", 16}};

[[noreturn]] void Bad() {
    throw Failure(CFB_E_BAD_PROPERTY_SET);
}

// Reads little-endian numbers from a byte range; every read is checked.
class Reader {
  public:
    Reader(const unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}
    DWORD U32(std::size_t at) const {
        Need(at, 4);
        return m_data[at] | m_data[at + 1] << 8 | m_data[at + 2] << 16 |
               static_cast<DWORD>(m_data[at + 3]) << 24;
    }
    WORD U16(std::size_t at) const {
        Need(at, 2);
        return static_cast<WORD>(m_data[at] | m_data[at + 1] << 8);
    }
    void Need(std::size_t at, std::size_t count) const {
        if (at > m_size || count > m_size - at)
            Bad();
    }
    const unsigned char* At(std::size_t at) const { return m_data + at; }
    std::size_t Size() const { return m_size; }

  private:
    const unsigned char* m_data;
    std::size_t m_size;
};

void Put32(std::vector<unsigned char>& out, DWORD v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void Put16(std::vector<unsigned char>& out, WORD v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
void Pad4(std::vector<unsigned char>& out) {
    while (out.size() % 4)
        out.push_back(0);
}

std::wstring Decode(const unsigned char* text, std::size_t bytes, UINT codePage) {
    std::wstring s;
    if (codePage == kUnicode) {
        s.resize(bytes / 2);
        std::memcpy(s.data(), text, s.size() * 2);
    } else if (bytes) {
        const int n = ::MultiByteToWideChar(codePage, 0, reinterpret_cast<const char*>(text),
                                            static_cast<int>(bytes), nullptr, 0);
        s.resize(n > 0 ? n : 0);
        if (n > 0)
            ::MultiByteToWideChar(codePage, 0, reinterpret_cast<const char*>(text), static_cast<int>(bytes),
                                  s.data(), n);
    }
    while (!s.empty() && s.back() == 0)
        s.pop_back();
    return s;
}

// The text in the code page with its terminating zero; false when a character has no form there.
// Checked by converting back: some code pages map a missing character to a similar one silently.
bool Encode(const std::wstring& text, UINT codePage, std::vector<unsigned char>& out) {
    if (codePage == kUnicode) {
        for (wchar_t c : text + L'\0')
            Put16(out, static_cast<WORD>(c));
        return true;
    }
    const std::wstring z = text + L'\0';
    const int n = ::WideCharToMultiByte(codePage, 0, z.c_str(), static_cast<int>(z.size()), nullptr, 0,
                                        nullptr, nullptr);
    if (n <= 0)
        return false;
    std::vector<unsigned char> bytes(n);
    ::WideCharToMultiByte(codePage, 0, z.c_str(), static_cast<int>(z.size()),
                          reinterpret_cast<char*>(bytes.data()), n, nullptr, nullptr);
    if (Decode(bytes.data(), bytes.size(), codePage) != text)
        return false;
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
}

struct DictionaryEntry {
    DWORD id;
    std::wstring name;
};

std::vector<DictionaryEntry> ReadDictionary(const StoredProperty& p, UINT codePage) {
    const Reader r(p.bytes.data(), p.bytes.size());
    const DWORD count = r.U32(0);
    std::vector<DictionaryEntry> entries;
    std::size_t at = 4;
    for (DWORD i = 0; i < count; ++i) {
        const DWORD id = r.U32(at);
        const DWORD length = r.U32(at + 4);
        at += 8;
        const std::size_t bytes = codePage == kUnicode ? std::size_t(length) * 2 : length;
        r.Need(at, bytes);
        entries.push_back({id, Decode(r.At(at), bytes, codePage)});
        at += bytes;
        if (codePage == kUnicode)
            at = (at + 3) & ~std::size_t(3);
    }
    return entries;
}

StoredProperty WriteDictionary(const std::vector<DictionaryEntry>& entries, UINT codePage) {
    StoredProperty p{kDictionary, {}};
    Put32(p.bytes, static_cast<DWORD>(entries.size()));
    for (const auto& e : entries) {
        Put32(p.bytes, e.id);
        std::vector<unsigned char> name;
        if (!Encode(e.name, codePage, name))
            throw Failure(DISP_E_TYPEMISMATCH);
        Put32(p.bytes, static_cast<DWORD>(codePage == kUnicode ? name.size() / 2 : name.size()));
        p.bytes.insert(p.bytes.end(), name.begin(), name.end());
        if (codePage == kUnicode)
            Pad4(p.bytes);
    }
    Pad4(p.bytes);
    return p;
}

// FILETIME spans below this (the year 1700) are durations, such as the editing time.
constexpr ULONGLONG kDurationLimit = 30ULL * 365 * 24 * 3600 * 10000000ULL * 3;

bool FileTimeToDate(ULONGLONG ticks, VARIANT* value) {
    if (ticks < kDurationLimit) {
        value->vt = VT_I4;
        value->lVal = static_cast<LONG>(std::min<ULONGLONG>(ticks / 10000000ULL, 0x7fffffff));
        return true;
    }
    FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME st;
    double date = 0;
    if (!::FileTimeToSystemTime(&ft, &st) || !::SystemTimeToVariantTime(&st, &date))
        return false;
    value->vt = VT_DATE;
    value->date = date;
    return true;
}

} // namespace

const Block* FindBlock(const std::wstring& name) {
    for (const auto& b : kBlocks)
        if (SameText(name, b.name))
            return &b;
    return nullptr;
}

DWORD StandardId(const Block& block, const std::wstring& name) {
    const auto find = [&](const auto& table) -> DWORD {
        for (const auto& e : table)
            if (SameText(name, e.name))
                return e.id;
        return 0;
    };
    if (block.fmtid == &kSummary)
        return find(kSummaryIds);
    if (block.fmtid == &kDocSummary)
        return find(kDocSummaryIds);
    return 0;
}

// ---- Section ----------------------------------------------------------------------------------

const StoredProperty* Section::Find(DWORD id) const {
    for (const auto& p : properties)
        if (p.id == id)
            return &p;
    return nullptr;
}

UINT Section::CodePage() const {
    const StoredProperty* p = Find(kCodePage);
    if (!p || p->bytes.size() < 6)
        return 1252;
    const Reader r(p->bytes.data(), p->bytes.size());
    return r.U16(4);
}

DWORD Section::IdOf(const std::wstring& name) const {
    const StoredProperty* dictionary = Find(kDictionary);
    if (!dictionary)
        return 0;
    for (const auto& e : ReadDictionary(*dictionary, CodePage()))
        if (SameText(e.name, name))
            return e.id;
    return 0;
}

bool Section::Read(DWORD id, VARIANT* value) const {
    ::VariantInit(value);
    const StoredProperty* p = id == kDictionary ? nullptr : Find(id);
    if (!p)
        return false;
    const Reader r(p->bytes.data(), p->bytes.size());
    const DWORD type = r.U32(0);
    switch (type) {
    case VT_I2:
        value->vt = VT_I4;
        value->lVal = static_cast<SHORT>(r.U16(4));
        return true;
    case VT_I4:
    case VT_INT:
    case VT_UI4:
    case VT_UINT:
    case VT_UI2:
        value->vt = VT_I4;
        value->lVal = static_cast<LONG>(type == VT_UI2 ? r.U16(4) : r.U32(4));
        return true;
    case VT_BOOL:
        value->vt = VT_BOOL;
        value->boolVal = r.U16(4) ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    case VT_R4: {
        const DWORD bits = r.U32(4);
        float f;
        std::memcpy(&f, &bits, 4);
        value->vt = VT_R8;
        value->dblVal = f;
        return true;
    }
    case VT_R8:
    case VT_FILETIME: {
        const ULONGLONG bits = r.U32(4) | static_cast<ULONGLONG>(r.U32(8)) << 32;
        if (type == VT_FILETIME)
            return FileTimeToDate(bits, value);
        value->vt = VT_R8;
        std::memcpy(&value->dblVal, &bits, 8);
        return true;
    }
    case VT_LPSTR:
    case VT_BSTR:
    case VT_LPWSTR: {
        const DWORD count = r.U32(4);
        const std::size_t bytes = type == VT_LPWSTR ? std::size_t(count) * 2 : count;
        r.Need(8, bytes);
        const std::wstring text = Decode(r.At(8), bytes, type == VT_LPWSTR ? kUnicode : CodePage());
        value->bstrVal = NewBstr(text);
        value->vt = VT_BSTR;
        return true;
    }
    default:
        return false;
    }
}

void Section::Remove(DWORD id) {
    properties.erase(
        std::remove_if(properties.begin(), properties.end(), [&](const auto& p) { return p.id == id; }),
        properties.end());
    StoredProperty* dictionary = nullptr;
    for (auto& p : properties)
        if (p.id == kDictionary)
            dictionary = &p;
    if (!dictionary)
        return;
    auto entries = ReadDictionary(*dictionary, CodePage());
    const auto before = entries.size();
    entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const auto& e) { return e.id == id; }),
                  entries.end());
    if (entries.size() != before)
        *dictionary = WriteDictionary(entries, CodePage());
}

DWORD Section::IdFor(const std::wstring& name) {
    if (const DWORD id = IdOf(name))
        return id;
    DWORD next = 2;
    for (const auto& p : properties)
        if (p.id >= next && p.id < 0x80000000)
            next = p.id + 1;
    std::vector<DictionaryEntry> entries;
    auto it =
        std::find_if(properties.begin(), properties.end(), [](const auto& p) { return p.id == kDictionary; });
    if (it != properties.end())
        entries = ReadDictionary(*it, CodePage());
    for (const auto& e : entries)
        next = std::max(next, e.id + 1);
    entries.push_back({next, name});
    StoredProperty dictionary = WriteDictionary(entries, CodePage());
    if (it != properties.end())
        *it = std::move(dictionary);
    else
        properties.insert(properties.begin(), std::move(dictionary));
    return next;
}

void Section::Write(DWORD id, const VARIANT& value) {
    if (value.vt == VT_EMPTY) {
        Remove(id);
        return;
    }
    const StoredProperty* old = Find(id);
    const DWORD oldType =
        old && old->bytes.size() >= 4 ? Reader(old->bytes.data(), old->bytes.size()).U32(0) : 0;
    StoredProperty p{id, {}};
    VARIANT number;
    ::VariantInit(&number);
    switch (value.vt) {
    case VT_BSTR: {
        const std::wstring text = FromBstr(value.bstrVal);
        std::vector<unsigned char> bytes;
        const bool wide = oldType == VT_LPWSTR || CodePage() == kUnicode || !Encode(text, CodePage(), bytes);
        if (wide) {
            bytes.clear();
            Encode(text, kUnicode, bytes);
        }
        Put32(p.bytes, wide ? VT_LPWSTR : VT_LPSTR);
        Put32(p.bytes, static_cast<DWORD>(wide ? bytes.size() / 2 : bytes.size()));
        p.bytes.insert(p.bytes.end(), bytes.begin(), bytes.end());
        break;
    }
    case VT_BOOL:
        Put32(p.bytes, VT_BOOL);
        Put16(p.bytes, value.boolVal ? 0xffff : 0);
        break;
    case VT_DATE: {
        SYSTEMTIME st;
        FILETIME ft;
        if (!::VariantTimeToSystemTime(value.date, &st) || !::SystemTimeToFileTime(&st, &ft))
            throw Failure(DISP_E_OVERFLOW);
        Put32(p.bytes, VT_FILETIME);
        Put32(p.bytes, ft.dwLowDateTime);
        Put32(p.bytes, ft.dwHighDateTime);
        break;
    }
    case VT_R4:
    case VT_R8: {
        Check(::VariantChangeType(&number, const_cast<VARIANT*>(&value), 0, VT_R8));
        ULONGLONG bits;
        std::memcpy(&bits, &number.dblVal, 8);
        Put32(p.bytes, VT_R8);
        Put32(p.bytes, static_cast<DWORD>(bits));
        Put32(p.bytes, static_cast<DWORD>(bits >> 32));
        break;
    }
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_I8:
    case VT_UI8: {
        Check(::VariantChangeType(&number, const_cast<VARIANT*>(&value), 0, VT_I4));
        if (oldType == VT_I2 && number.lVal >= -32768 && number.lVal <= 32767) {
            Put32(p.bytes, VT_I2);
            Put16(p.bytes, static_cast<WORD>(number.lVal));
        } else {
            Put32(p.bytes, VT_I4);
            Put32(p.bytes, static_cast<DWORD>(number.lVal));
        }
        break;
    }
    default:
        throw Failure(DISP_E_TYPEMISMATCH);
    }
    Pad4(p.bytes);
    for (auto& q : properties)
        if (q.id == id) {
            q = std::move(p);
            return;
        }
    properties.push_back(std::move(p));
}

// ---- Stream -----------------------------------------------------------------------------------

PropertySetStream PropertySetStream::Parse(const std::vector<unsigned char>& bytes) {
    const Reader r(bytes.data(), bytes.size());
    PropertySetStream set;
    r.Need(0, 28);
    if (r.U16(0) != 0xfffe)
        Bad();
    std::memcpy(set.header, bytes.data(), 24);
    const DWORD count = r.U32(24);
    if (count > kMaxSections)
        Bad();
    for (DWORD s = 0; s < count; ++s) {
        const std::size_t entry = 28 + std::size_t(s) * 20;
        r.Need(entry, 20);
        Section section;
        std::memcpy(&section.fmtid, r.At(entry), 16);
        const std::size_t start = r.U32(entry + 16);
        const DWORD declared = r.U32(start);
        const DWORD properties = r.U32(start + 4);
        // Some writers declare a section a little longer than the stream: the stream's end counts.
        const std::size_t end = start + std::min<std::size_t>(declared, bytes.size() - start);
        if (properties > (end - start) / 8)
            Bad();
        std::vector<std::pair<DWORD, std::size_t>> table;
        for (DWORD i = 0; i < properties; ++i) {
            const std::size_t at = start + 8 + std::size_t(i) * 8;
            r.Need(at, 8);
            const std::size_t offset = r.U32(at + 4);
            if (offset < 8 + std::size_t(properties) * 8 || offset >= end - start)
                Bad();
            table.push_back({r.U32(at), start + offset});
        }
        std::vector<std::size_t> offsets;
        for (const auto& t : table)
            offsets.push_back(t.second);
        std::sort(offsets.begin(), offsets.end());
        for (const auto& [id, at] : table) {
            const auto next = std::upper_bound(offsets.begin(), offsets.end(), at);
            const std::size_t stop = next == offsets.end() ? end : *next;
            section.properties.push_back({id, std::vector<unsigned char>(r.At(at), r.At(stop))});
        }
        set.sections.push_back(std::move(section));
    }
    return set;
}

PropertySetStream PropertySetStream::Empty() {
    PropertySetStream set;
    const unsigned char header[8] = {0xfe, 0xff, 0, 0, 0x0a, 0x00, 0x02, 0x00}; // format 0, Windows
    std::memcpy(set.header, header, sizeof header);
    return set;
}

std::vector<unsigned char> PropertySetStream::Serialize() const {
    std::vector<unsigned char> out(header, header + 24);
    Put32(out, static_cast<DWORD>(sections.size()));
    const std::size_t list = out.size();
    out.resize(list + sections.size() * 20);
    for (std::size_t s = 0; s < sections.size(); ++s) {
        const Section& section = sections[s];
        const std::size_t start = out.size();
        std::memcpy(out.data() + list + s * 20, &section.fmtid, 16);
        for (int i = 0; i < 4; ++i)
            out[list + s * 20 + 16 + i] = static_cast<unsigned char>(start >> (8 * i));
        Put32(out, 0);
        Put32(out, static_cast<DWORD>(section.properties.size()));
        const std::size_t table = out.size();
        out.resize(table + section.properties.size() * 8);
        for (std::size_t i = 0; i < section.properties.size(); ++i) {
            const StoredProperty& p = section.properties[i];
            const DWORD offset = static_cast<DWORD>(out.size() - start);
            for (int b = 0; b < 4; ++b) {
                out[table + i * 8 + b] = static_cast<unsigned char>(p.id >> (8 * b));
                out[table + i * 8 + 4 + b] = static_cast<unsigned char>(offset >> (8 * b));
            }
            out.insert(out.end(), p.bytes.begin(), p.bytes.end());
            Pad4(out);
        }
        const DWORD size = static_cast<DWORD>(out.size() - start);
        for (int b = 0; b < 4; ++b)
            out[start + b] = static_cast<unsigned char>(size >> (8 * b));
    }
    return out;
}

Section* PropertySetStream::Find(REFGUID fmtid) {
    for (auto& s : sections)
        if (s.fmtid == fmtid)
            return &s;
    return nullptr;
}

Section& PropertySetStream::Get(REFGUID fmtid) {
    if (Section* s = Find(fmtid))
        return *s;
    if (fmtid == kUserDefined && !Find(kDocSummary))
        Get(kDocSummary);
    Section fresh;
    fresh.fmtid = fmtid;
    StoredProperty codePage{kCodePage, {}};
    Put32(codePage.bytes, VT_I2);
    Put16(codePage.bytes, static_cast<WORD>(kUnicode));
    Pad4(codePage.bytes);
    fresh.properties.push_back(std::move(codePage));
    sections.push_back(std::move(fresh));
    return sections.back();
}

} // namespace cfb
