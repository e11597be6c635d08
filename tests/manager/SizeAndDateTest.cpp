#include "ManagerTestKit.h"

#include "foundation/Handles.h"
#include <ctime>

using namespace ffmtest;

namespace {

// Sets a file's last-write time from local calendar fields.
void SetLocalWriteTime(const std::wstring& path, WORD year, WORD month, WORD day, WORD hour, WORD minute,
                       WORD second, WORD ms = 0) {
    SYSTEMTIME local{year, month, 0, day, hour, minute, second, ms}, utc;
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &ft));
    ffm::UniqueFile file(
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &ft));
}

// Year, month, day, hour, minute and second of an OLE date.
std::vector<WORD> Calendar(double date) {
    SYSTEMTIME st{};
    VariantTimeToSystemTime(date, &st);
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

} // namespace

// The suite's registration starts it with TZ=IST-5:30: local and universal time differ, in the
// system's conversions and in the C library's alike.
TEST(TimeZone, TheManagerSuiteRunsFiveAndAHalfHoursEastOfUtc) {
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    EXPECT_EQ(-330, zone.Bias);
    _tzset();
    EXPECT_EQ(-330 * 60, _timezone);
}

TEST_F(ManagerTest, FileSystemGivesFullSizeAndEvenSecondsWhenNoPluginAnswers) {
    Plugin(L"Prt.dll", {{L".mrdprt", 0x1}}); // no size-and-date capability
    UseStore();
    TempFolder folder;
    const std::wstring small = folder.WriteFile(L"a.mrdprt", "12345");
    SetLocalWriteTime(small, 2024, 3, 5, 10, 0, 3, 640);
    double date = -1;
    LONGLONG size = -1;
    ASSERT_EQ(S_OK, mgr->mhGetFileSizeAndDate(small.c_str(), &date, &size, false));
    EXPECT_EQ(5, size);
    EXPECT_EQ((std::vector<WORD>{2024, 3, 5, 10, 0, 2}), Calendar(date));
    ASSERT_EQ(S_OK, mgr->mhGetFileSizeAndDate(small.c_str(), &date, &size, true));
    EXPECT_EQ((std::vector<WORD>{2024, 3, 5, 4, 30, 2}), Calendar(date)) << "universal time, 5:30 earlier";

    // Beyond 4 GiB the high part counts (a sparse file costs no disk).
    const std::wstring big = folder.WriteFile(L"big.bin", "");
    {
        ffm::UniqueFile file(CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER at;
        at.QuadPart = (5LL << 30) + 7;
        ASSERT_TRUE(SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.get()));
    }
    ASSERT_EQ(S_OK, mgr->mhGetFileSizeAndDate(big.c_str(), &date, &size, true));
    EXPECT_EQ((5LL << 30) + 7, size);

    EXPECT_EQ(ffm::FFM_E_FILE_NOT_FOUND,
              mgr->mhGetFileSizeAndDate((folder.Path() + L"\\missing.txt").c_str(), &date, &size, false));
    EXPECT_EQ(ffm::FFM_E_FILE_NOT_FOUND,
              mgr->mhGetFileSizeAndDate((folder.Path() + L"\\*.mrdprt").c_str(), &date, &size, false));
    EXPECT_EQ(E_POINTER, mgr->mhGetFileSizeAndDate(small.c_str(), nullptr, &size, false));
}

TEST_F(ManagerTest, SizeAndDateComeFromThePluginQuery) {
    auto& plugin = Plugin(L"Sd.dll", {{L".sd", 0x4000}}, [](FakeFormat& f) {
        f.queryDate.vt = VT_BSTR; // converted to a date
        f.queryDate.bstrVal = SysAllocString(L"2020-01-02 03:04:05");
        f.querySize.vt = VT_R8; // converted to a 64-bit integer
        f.querySize.dblVal = 1234.0;
    });
    UseStore();
    double date = 0;
    LONGLONG size = 0;
    ASSERT_EQ(S_OK, mgr->mhGetFileSizeAndDate(L"C:\\nowhere\\x.sd", &date, &size, false));
    EXPECT_EQ(1234, size);
    EXPECT_EQ((std::vector<WORD>{2020, 1, 2, 3, 4, 5}), Calendar(date))
        << "local time as the plug-in gave it";
    ASSERT_EQ(S_OK, mgr->mhGetFileSizeAndDate(L"C:\\nowhere\\x.sd", &date, &size, true));
    EXPECT_EQ((std::vector<WORD>{2020, 1, 1, 21, 34, 5}), Calendar(date)) << "universal time";

    // A failing query, an unconvertible answer and a missing interface zero both outputs.
    plugin.last->Fail("Query", 0x80041005);
    EXPECT_EQ(static_cast<HRESULT>(0x80041005), mgr->mhGetFileSizeAndDate(L"x.sd", &date, &size, false));
    EXPECT_EQ(0, date);
    EXPECT_EQ(0, size);
    plugin.last->Fail("Query", S_OK);
    VariantClear(&plugin.last->querySize);
    plugin.last->querySize.vt = VT_BSTR;
    plugin.last->querySize.bstrVal = SysAllocString(L"not a number");
    size = 9;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, mgr->mhGetFileSizeAndDate(L"x.sd", &date, &size, false));
    EXPECT_EQ(0, size);
    // A zero date means none: universal time leaves it alone.
    VariantClear(&plugin.last->queryDate);
    VariantClear(&plugin.last->querySize);
    plugin.last->queryDate.vt = VT_R8;
    plugin.last->queryDate.dblVal = 0;
    plugin.last->querySize.vt = VT_I4;
    plugin.last->querySize.lVal = 1;
    date = 5;
    ASSERT_EQ(S_OK, mgr->mhGetFileSizeAndDate(L"x.sd", &date, &size, true));
    EXPECT_EQ(0, date);
    EXPECT_EQ(1, size);
    // Without the interface the answer is E_NOINTERFACE, whatever QueryInterface said.
    plugin.last->Hide(__uuidof(ITovFileQuery));
    for (HRESULT said : {E_NOINTERFACE, E_UNEXPECTED, E_OUTOFMEMORY, S_OK}) {
        plugin.last->SetQueryFailure(said);
        date = 1;
        EXPECT_EQ(E_NOINTERFACE, mgr->mhGetFileSizeAndDate(L"x.sd", &date, &size, false)) << std::hex << said;
        EXPECT_EQ(0, date);
    }
}
