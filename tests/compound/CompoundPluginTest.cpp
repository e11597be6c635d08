// CompoundPlugin.dll on real compound documents from Debian packages and on hostile ones: the
// extensions it serves, inner files, property sets read and written with their types, the
// sub-file commands, and the rule that a failed write leaves the document as it was.
#include "support/CompoundFiles.h"
#include "support/FakeCom.h"
#include "support/SamplePlugin.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

std::wstring PathOf(ITovFileNavigator* navigator) {
    ffm::UniqueBstr path;
    EXPECT_EQ(S_OK, navigator->GetFilePath(path.put()));
    return path ? path.get() : L"";
}

VARIANT Text(const wchar_t* text) {
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}

// A number as a value of the type (VT_I4, VT_BOOL, VT_DATE), converted as the platform converts.
VARIANT Number(double n, VARTYPE type) {
    VARIANT v{};
    v.vt = VT_R8;
    v.dblVal = n;
    VariantChangeType(&v, &v, 0, type);
    return v;
}

// Attribute records as the manager builds them, freed when they go.
class Attributes {
  public:
    struct In {
        std::wstring block, name;
        VARIANT value{}; // owned by the records from then on
    };
    explicit Attributes(std::initializer_list<In> in) {
        for (const In& i : in) {
            records.push_back({});
            records.back().mbsBlock = SysAllocString(i.block.c_str());
            records.back().mbsName = SysAllocString(i.name.c_str());
            records.back().mvValue = i.value;
        }
    }
    ~Attributes() {
        for (auto& r : records) {
            SysFreeString(r.mbsBlock);
            SysFreeString(r.mbsName);
            VariantClear(&r.mvValue);
        }
    }
    HRESULT Read(ITovFileNavigator* nav) {
        return Navigator3(nav)->GetAttributes2(nullptr, 0, nullptr, Count(), records.data());
    }
    HRESULT Write(ITovFileNavigator* nav) {
        return Navigator3(nav)->SetAttributes2(nullptr, 0, nullptr, Count(), records.data(), 0);
    }
    std::vector<long> Status() const {
        std::vector<long> status;
        for (const auto& r : records)
            status.push_back(r.mlStatus);
        return status;
    }
    std::vector<TovAttribData2> records;

  private:
    long Count() const { return static_cast<long>(records.size()); }
    static ComPtr<ITovFileNavigator3> Navigator3(ITovFileNavigator* nav) {
        ComPtr<ITovFileNavigator3> v3;
        nav->QueryInterface(__uuidof(ITovFileNavigator3), v3.put_void());
        return v3;
    }
};

std::vector<ComPtr<ITovFileNavigator>> List(ITovFileNavigator* nav, bool folders, HRESULT* result = nullptr) {
    long count = -1;
    ITovFileNavigator** array = nullptr;
    const HRESULT hr = folders ? nav->GetSubFolders(nullptr, nullptr, &count, &array)
                               : nav->GetSubFiles(nullptr, nullptr, &count, &array);
    if (result)
        *result = hr;
    std::vector<ComPtr<ITovFileNavigator>> list;
    for (long i = 0; SUCCEEDED(hr) && i < count; ++i)
        list.push_back(ComPtr<ITovFileNavigator>::Attach(array[i]));
    CoTaskMemFree(array);
    return list;
}

HRESULT SizeAndDate(ITovFileNavigator* nav, VARIANT* date, VARIANT* size) {
    ComPtr<ITovFileQuery> query;
    nav->QueryInterface(__uuidof(ITovFileQuery), query.put_void());
    return query ? query->Query(1, VARIANT{}, date, size) : E_NOINTERFACE;
}

// Walks everything a navigator offers, as a host would, bounded.
int Exercise(ITovFileNavigator* nav, int depth = 0) {
    Attributes summary({{L"SummaryInformation", L"Title"},
                        {L"SummaryInformation", L"Created"},
                        {L"DocumentSummaryInformation", L"Company"},
                        {L"CustomProperty", L"Anything"}});
    summary.Read(nav);
    VARIANT date{}, size{};
    SizeAndDate(nav, &date, &size);
    VariantClear(&date);
    VariantClear(&size);
    int visited = 1;
    for (bool folders : {false, true})
        for (auto& inner : depth > 8 ? std::vector<ComPtr<ITovFileNavigator>>() : List(nav, folders))
            visited += Exercise(inner.get(), depth + 1);
    return visited;
}

class CompoundPlugin : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(format); }

    std::wstring Copy(const std::wstring& source, const std::wstring& name) {
        const std::string bytes = ReadAll(source);
        EXPECT_FALSE(bytes.empty()) << Utf8(source) << " missing: run scripts/setup";
        return scratch.WriteFile(name, bytes);
    }
    HRESULT Open(const std::wstring& path, ComPtr<ITovFileNavigator>& nav) {
        return format->OpenFile(Bstr(path).get(), nullptr, nav.put());
    }

    ComPtr<ITovFileFormat> format = CompoundFormat();
    TempFolder scratch;
};

TEST_F(CompoundPlugin, OffersReadingAndSizeForItsExtensionsInAnyLetterCase) {
    const std::pair<const wchar_t*, unsigned long> cases[] = {
        {L".xls", 0x4002}, {L".XLS", 0x4002}, {L"Doc", 0x4002}, {L".txt", 0}, {L"", 0}};
    for (const auto& [extension, expected] : cases) {
        unsigned long mask = 1;
        EXPECT_EQ(S_OK, format->GetExtensionFlags(Bstr(extension).get(), &mask));
        EXPECT_EQ(expected, mask) << Utf8(extension);
    }
}

TEST_F(CompoundPlugin, ReadsAndWritesPropertiesWithTheirTypesKeepingEveryOtherStream) {
    const std::pair<std::wstring, const wchar_t*> cases[] = {{RealCompoundFiles()[0], L"John Machin"},
                                                             {RealCompoundFiles()[1], L"kawait"}};
    for (const auto& [source, author] : cases) {
        SCOPED_TRACE(Utf8(source));
        const std::wstring copy = Copy(source, L"write.xls");
        const auto before = ReadStreams(copy);
        ComPtr<ITovFileNavigator> nav;
        ASSERT_EQ(S_OK, Open(copy, nav));
        Attributes old{{L"SummaryInformation", L"Author"},   {L"DocumentSummaryInformation", L"Company"},
                       {L"summaryinformation", L"appname"},  {L"SummaryInformation", L"Created"},
                       {L"SummaryInformation", L"Security"}, {L"SummaryInformation", L"NoSuchProperty"},
                       {L"NoSuchBlock", L"Author"},          {L"CustomProperty", L"NotThere"}};
        ASSERT_EQ(S_OK, old.Read(nav.get()));
        EXPECT_EQ((std::vector<long>{1, 1, 1, 1, 1, 0, 0, 0}), old.Status());
        EXPECT_STREQ(author, old.records[0].mvValue.bstrVal);
        EXPECT_STREQ(L"Microsoft Excel", old.records[2].mvValue.bstrVal);
        EXPECT_EQ(VT_DATE, old.records[3].mvValue.vt);
        EXPECT_GT(old.records[3].mvValue.date, 36000.0) << "created after 1998";
        EXPECT_EQ(VT_I4, old.records[4].mvValue.vt);

        Attributes w{{L"CustomProperty", L"Reviewer", Text(L"Zo\u00eb")},
                     {L"CustomProperty", L"Sheets", Number(42, VT_I4)},
                     {L"CustomProperty", L"Approved", Number(1, VT_BOOL)},
                     {L"CustomProperty", L"Due", Number(45000.5, VT_DATE)},
                     {L"SummaryInformation", L"Title", Text(L"Quarterly \u20ac figures")},
                     {L"SummaryInformation", L"NoSuchProperty", Text(L"x")}};
        ASSERT_EQ(S_OK, w.Write(nav.get()));
        EXPECT_EQ((std::vector<long>{1, 1, 1, 1, 1, 0}), w.Status());
        ComPtr<ITovFileNavigator> again;
        ASSERT_EQ(S_OK, Open(copy, again)) << "the copy still opens";
        Attributes r{{L"CustomProperty", L"reviewer"},           {L"CustomProperty", L"Sheets"},
                     {L"CustomProperty", L"Approved"},           {L"CustomProperty", L"Due"},
                     {L"SummaryInformation", L"Title"},          {L"SummaryInformation", L"Author"},
                     {L"DocumentSummaryInformation", L"Company"}};
        ASSERT_EQ(S_OK, r.Read(again.get()));
        for (std::size_t i = 0; i < r.records.size(); ++i) {
            const TovAttribData2& wrote = i < 5 ? w.records[i] : old.records[i - 5];
            EXPECT_EQ(wrote.mlStatus, r.records[i].mlStatus) << i;
            EXPECT_EQ(wrote.mvValue.vt, r.records[i].mvValue.vt) << i;
            EXPECT_EQ(VARCMP_EQ, VarCmp(const_cast<VARIANT*>(&wrote.mvValue), &r.records[i].mvValue, 0, 0))
                << i;
        }
        const auto after = ReadStreams(copy);
        EXPECT_EQ(before.size(), after.size());
        for (const auto& [name, bytes] : before) {
            if (name[0] != L'\005') { // the property sets
                EXPECT_EQ(bytes, after.at(name)) << Utf8(name);
            }
        }

        // Removing a user-defined property takes its name out as well.
        Attributes gone({{L"CustomProperty", L"Sheets"}});
        ASSERT_EQ(S_OK, gone.Write(again.get()));
        Attributes check({{L"CustomProperty", L"Sheets"}, {L"CustomProperty", L"Reviewer"}});
        ASSERT_EQ(S_OK, check.Read(again.get()));
        EXPECT_EQ((std::vector<long>{0, 1}), check.Status());
    }
}

TEST_F(CompoundPlugin, AFailedWriteLeavesTheDocumentIntactAndNoCopyBehind) {
    for (const bool readOnly : {true, false}) {
        SCOPED_TRACE(readOnly ? "marked read-only" : "open for writing elsewhere");
        const std::wstring copy = Copy(RealCompoundFiles()[0], L"locked.xls");
        const std::string before = ReadAll(copy);
        ComPtr<ITovFileNavigator> nav;
        ASSERT_EQ(S_OK, Open(copy, nav));
        SetFileAttributesW(copy.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        ffm::UniqueFile writer(readOnly ? INVALID_HANDLE_VALUE
                                        : CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
        Attributes w({{L"CustomProperty", L"Reviewer", Text(L"nobody")}});
        EXPECT_TRUE(FAILED(w.Write(nav.get())));
        EXPECT_EQ(0, w.records[0].mlStatus);
        writer.reset();
        SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(before, ReadAll(copy));
        WIN32_FIND_DATAW found;
        EXPECT_FALSE(ffm::UniqueFind(FindFirstFileW((scratch.Path() + L"\\*.tmp").c_str(), &found)))
            << "temporary copy left behind";
    }
}

TEST_F(CompoundPlugin, ExtractWritesTheStreamBesideTheDocumentNeverOverAFile) {
    const std::wstring copy = Copy(RealCompoundFiles()[1], L"x.xls");
    ComPtr<ITovFileNavigator> nav, workbook;
    ASSERT_EQ(S_OK, Open(copy, nav));
    for (auto& f : List(nav.get(), false))
        if (PathOf(f.get()) == copy + L"|Workbook")
            workbook = f;
    ASSERT_TRUE(workbook);
    HRESULT hr = S_OK;
    EXPECT_TRUE(List(workbook.get(), false, &hr).empty());
    EXPECT_EQ(E_NOTIMPL, hr) << "an inner file holds nothing";

    long count = 0;
    TovPreviewMenuItem* items = nullptr;
    ASSERT_EQ(S_OK, workbook->GetSubFileMenuItems(nullptr, &count, &items, 0, nullptr));
    ASSERT_EQ(2, count);
    EXPECT_STREQ(L"Extract", items[0].mbsText);
    EXPECT_STREQ(L"Properties", items[1].mbsText);
    const long extract = items[0].mlCommand, properties = items[1].mlCommand;
    for (long i = 0; i < count; ++i) {
        SysFreeString(items[i].mbsText);
        SysFreeString(items[i].mbsHelp);
        SysFreeString(items[i].mbsTextB);
    }
    CoTaskMemFree(items);
    RecordingCallback callback;
    callback.AddRef();
    const std::string stream = ReadStreams(copy).at(L"Workbook");
    for (const wchar_t* name : {L"x.xls.Workbook", L"x.xls.Workbook (2)"}) { // the first one is kept
        ASSERT_EQ(S_OK, workbook->OnSubFileMenuCommand(nullptr, &callback, 0, extract, 0, nullptr));
        EXPECT_EQ(stream, ReadAll(scratch.Path() + L"\\" + name));
    }
    ASSERT_EQ(S_OK, workbook->OnSubFileMenuCommand(nullptr, &callback, 0, properties, 0, nullptr));
    ASSERT_EQ(3u, callback.status.size());
    EXPECT_NE(std::wstring::npos, callback.status[2].find(std::to_wstring(stream.size()) + L" bytes"));
    EXPECT_EQ(E_INVALIDARG, workbook->OnSubFileMenuCommand(nullptr, &callback, 0, 99, 0, nullptr));
    EXPECT_TRUE(FAILED(nav->OnSubFileMenuCommand(nullptr, &callback, 0, extract, 0, nullptr)))
        << "the document itself is no inner file";
}

// Property set streams with a header, one section and the given property entries (id, bytes).
std::string PropertySet(const std::vector<std::pair<DWORD, std::string>>& properties,
                        DWORD declaredCount = ~0u) {
    auto u32 = [](DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    const GUID summary = {0xf29f85e0, 0x4ff9, 0x1068, {0xab, 0x91, 0x08, 0x00, 0x2b, 0x27, 0xb3, 0xd9}};
    std::string s = std::string("\xfe\xff\x00\x00\x0a\x00\x02\x00", 8) + std::string(16, '\0') + u32(1) +
                    std::string(reinterpret_cast<const char*>(&summary), 16) + u32(48);
    std::string table, values;
    const DWORD base = 8 + 8 * static_cast<DWORD>(properties.size());
    for (const auto& [id, bytes] : properties) {
        table += u32(id) + u32(base + static_cast<DWORD>(values.size()));
        values += bytes;
    }
    const DWORD count = declaredCount == ~0u ? static_cast<DWORD>(properties.size()) : declaredCount;
    return s + u32(8 + static_cast<DWORD>(table.size() + values.size())) + u32(count) + table + values;
}

std::wstring MakeDocument(const std::wstring& path, const std::string& summary) {
    ComPtr<IStorage> root;
    EXPECT_EQ(S_OK, StgCreateStorageEx(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                       STGFMT_STORAGE, 0, nullptr, nullptr, IID_IStorage, root.put_void()));
    ComPtr<IStream> stream;
    root->CreateStream(L"\005SummaryInformation", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                       stream.put());
    ULONG put = 0;
    stream->Write(summary.data(), static_cast<ULONG>(summary.size()), &put);
    return path;
}

TEST_F(CompoundPlugin, HostileDocumentsGiveCodesNeverCrashes) {
    const std::string real = ReadAll(RealCompoundFiles()[0]);
    ASSERT_GT(real.size(), 4096u);
    // The directory's first sector points at itself in the allocation table: a chain loop.
    std::string loop = real;
    const auto u32 = [&](std::size_t at) { return *reinterpret_cast<const DWORD*>(loop.data() + at); };
    const DWORD directory = u32(0x30), fatSector = u32(0x4c);
    std::memcpy(loop.data() + (fatSector + 1) * 512 + directory * 4, &directory, 4);
    const std::string i4 = std::string("\x03\0\0\0", 4) + std::string("\x07\0\0\0", 4);
    const std::string longText = std::string("\x1e\0\0\0", 4) + std::string("\xff\xff\x00\x00", 4) + "abc";

    struct Case {
        const char* what;
        std::wstring path;
        bool opens;
    } cases[] = {
        {"empty file", scratch.WriteFile(L"empty.xls", ""), false},
        {"text with the right extension", scratch.WriteFile(L"text.doc", "just some text\r\n"), false},
        {"truncated header", scratch.WriteFile(L"head.xls", real.substr(0, 100)), false},
        {"half a spreadsheet", scratch.WriteFile(L"half.xls", real.substr(0, real.size() / 2)), true},
        {"sector chain loop", scratch.WriteFile(L"loop.xls", loop), true},
        {"title stored as a number", MakeDocument(scratch.Path() + L"\\i4.cfb", PropertySet({{2, i4}})),
         true},
        {"string running past its set",
         MakeDocument(scratch.Path() + L"\\long.cfb", PropertySet({{2, longText}})), true},
        {"count beyond the table",
         MakeDocument(scratch.Path() + L"\\count.cfb", PropertySet({{2, i4}}, 100000)), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ComPtr<ITovFileNavigator> nav;
        const HRESULT hr = Open(c.path, nav);
        if (!c.opens) {
            EXPECT_TRUE(FAILED(hr));
            EXPECT_FALSE(nav);
            continue;
        }
        if (FAILED(hr))
            continue; // refusing a damaged document is as good as reading what is left of it
        Exercise(nav.get());
    }
    // The wrong type comes back as what is stored; the overlong string is simply not found; a
    // damaged property set is never rewritten.
    const std::pair<const wchar_t*, VARTYPE> reads[] = {
        {L"i4.cfb", VT_I4}, {L"long.cfb", VT_EMPTY}, {L"count.cfb", VT_EMPTY}};
    for (const auto& [file, type] : reads) {
        ComPtr<ITovFileNavigator> nav;
        ASSERT_EQ(S_OK, Open(scratch.Path() + L"\\" + file, nav));
        Attributes a{{L"SummaryInformation", L"Title"}}, w{{L"SummaryInformation", L"Title", Text(L"new")}};
        ASSERT_EQ(S_OK, a.Read(nav.get()));
        EXPECT_EQ(type, a.records[0].mvValue.vt) << Utf8(file);
        EXPECT_EQ(type == VT_I4 ? 7 : 0, a.records[0].mvValue.lVal) << Utf8(file);
        EXPECT_EQ(type == VT_I4, a.records[0].mlStatus) << Utf8(file);
        if (file == reads[2].first) {
            EXPECT_TRUE(FAILED(w.Write(nav.get())));
        }
    }
}

TEST_F(CompoundPlugin, MutatedRealDocumentsNeverCrash) {
    std::mt19937 random(20261206);
    int opened = 0, visited = 0;
    for (const auto& source : RealCompoundFiles()) {
        const std::string real = ReadAll(source);
        ASSERT_FALSE(real.empty());
        for (int i = 0; i < 120; ++i) {
            std::string bytes = real;
            if (i % 3 == 0)
                bytes.resize(std::uniform_int_distribution<std::size_t>(0, real.size() - 1)(random));
            // Half of the flips hit the header, allocation table and directory, where damage matters most.
            for (int f = 0; i % 3 != 0 && f < 1 + i % 8; ++f) {
                const std::size_t limit = f % 2 ? std::min<std::size_t>(real.size(), 2048) : real.size();
                bytes[std::uniform_int_distribution<std::size_t>(0, limit - 1)(random)] ^=
                    static_cast<char>(1 << (random() % 8));
            }
            ComPtr<ITovFileNavigator> nav;
            if (SUCCEEDED(Open(scratch.WriteFile(L"m" + std::to_wstring(i) + L".xls", bytes), nav))) {
                ++opened;
                visited += Exercise(nav.get());
            }
        }
    }
    // Enough damaged documents open that their inner files are really walked.
    EXPECT_GT(opened, 80);
    EXPECT_GT(visited, 2 * opened);
}

} // namespace
