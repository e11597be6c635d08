// The sample plug-in MrdPlugin.dll driven through COM as the manager drives it: registered with its
// own DllRegisterServer, created with CoCreateInstance.
#include "support/Sandbox.h"
#include "support/SamplePlugin.h"

#include <FileFmtMgr/TovContract.h>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <vector>

using namespace ffmtest;

namespace {

const CLSID kClsid = {0x484e65a5, 0x42fc, 0x42f3, {0xa6, 0x58, 0x7a, 0x71, 0x9c, 0xfa, 0xa3, 0x78}};
constexpr HRESULT kMalformed = static_cast<HRESULT>(0x80040300);
constexpr HRESULT kChangedOnDisk = static_cast<HRESULT>(0x80040301);
const wchar_t kFormats[] = L"Software\\Mordane\\Applications\\Quillan\\FileFormats";

const char kAssembly[] = "MRD 1 assembly\r\n"
                         "# keep this comment\r\n"
                         "[Configurations]\r\nDefault\r\nHeavy\r\n"
                         "[Properties]\r\nCustomProperty:Material = Steel\r\n"
                         "[Properties Heavy]\r\nCustomProperty:Title = Heavy box\r\n"
                         "[Reference Shaft]\r\nPath = parts\\shaft.mrdprt\r\nUse = Default > Standard\r\n"
                         "Use = Heavy > Long, suppressed\r\nUse = Heavy > Long\r\n"
                         "[Reference Housing]\r\nPath = C:\\cast\\housing.mrdprt\r\nKind = frozen\r\n"
                         "Use = Heavy > Cast, suppressed, excluded\r\n";

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(Utf8(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::wstring ErrorText() {
    IErrorInfo* info = nullptr;
    std::wstring text;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR description = nullptr;
        info->GetDescription(&description);
        text = description ? description : L"";
        SysFreeString(description);
        info->Release();
    }
    return text;
}

template <class T> using Ptr = std::unique_ptr<T, void (*)(T*)>;
template <class T> Ptr<T> Own(T* p) {
    return Ptr<T>(p, [](T* q) {
        if (q)
            q->Release();
    });
}

class MrdPlugin : public SandboxedTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, plugin.registered);
        ITovFileFormat* raw = nullptr;
        ASSERT_EQ(S_OK, CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITovFileFormat),
                                         reinterpret_cast<void**>(&raw)));
        format.reset(raw);
    }

    HRESULT Open(const std::wstring& path, ITovFileNavigator4** out) {
        BSTR b = SysAllocString(path.c_str());
        ITovFileNavigator* nav = nullptr;
        const HRESULT hr = format->OpenFile(b, nullptr, &nav);
        SysFreeString(b);
        if (SUCCEEDED(hr)) {
            nav->QueryInterface(__uuidof(ITovFileNavigator4), reinterpret_cast<void**>(out));
            nav->Release();
        }
        return hr;
    }
    Ptr<ITovFileNavigator4> OpenOk(const std::wstring& path) {
        ITovFileNavigator4* nav = nullptr;
        EXPECT_EQ(S_OK, Open(path, &nav));
        return Own(nav);
    }

    SamplePluginRegistration plugin;
    TempFolder folder;
    Ptr<ITovFileFormat> format{nullptr, [](ITovFileFormat* f) {
                                   if (f)
                                       f->Release();
                               }};
};

TEST(MrdPluginRegistration, KeepsOtherPluginsAndRemovesOnlyItsOwnEntries) {
    RegistrySandbox sandbox;
    const std::wstring asmKey = std::wstring(kFormats) + L"\\.mrdasm";
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, asmKey, L"2", {L"Other.dll"});
    SamplePluginRegistration plugin;
    ASSERT_EQ(S_OK, plugin.registered);
    ASSERT_EQ(S_OK, plugin.Call("DllRegisterServer")); // a second run changes nothing

    wchar_t text[256];
    DWORD bytes = sizeof(text);
    ASSERT_EQ(ERROR_SUCCESS,
              RegGetValueW(HKEY_LOCAL_MACHINE, (std::wstring(kFormats) + L"\\MrdPlugin.dll").c_str(),
                           L"CLSID", RRF_RT_REG_SZ, nullptr, text, &bytes));
    EXPECT_STREQ(L"{484E65A5-42FC-42F3-A658-7A719CFAA378}", text);
    for (const wchar_t* cap : {L"1", L"2", L"16384"}) {
        bytes = sizeof(text);
        ASSERT_EQ(ERROR_SUCCESS,
                  RegGetValueW(HKEY_LOCAL_MACHINE, (std::wstring(kFormats) + L"\\.mrddrw").c_str(), cap,
                               RRF_RT_REG_MULTI_SZ, nullptr, text, &bytes));
        EXPECT_STREQ(L"MrdPlugin.dll", text);
    }
    bytes = sizeof(text);
    RegGetValueW(HKEY_LOCAL_MACHINE, asmKey.c_str(), L"2", RRF_RT_REG_MULTI_SZ, nullptr, text, &bytes);
    EXPECT_EQ(std::wstring(L"MrdPlugin.dll\0Other.dll\0", 24), std::wstring(text, bytes / 2 - 1));

    ASSERT_EQ(S_OK, plugin.Call("DllUnregisterServer"));
    bytes = sizeof(text);
    RegGetValueW(HKEY_LOCAL_MACHINE, asmKey.c_str(), L"2", RRF_RT_REG_MULTI_SZ, nullptr, text, &bytes);
    EXPECT_STREQ(L"Other.dll", text);
    HKEY key = nullptr;
    EXPECT_NE(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kFormats) + L"\\.mrddrw").c_str(), 0, KEY_READ,
                            &key));
    EXPECT_NE(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{484E65A5-42FC-42F3-A658-7A719CFAA378}", 0, KEY_READ,
                            &key));
}

TEST_F(MrdPlugin, ReportsReferencesWithKindsFlagsAndOneElementPerUse) {
    auto nav = OpenOk(folder.WriteFile(L"box.mrdasm", kAssembly));
    long count = 0;
    TovRefData2* refs = nullptr;
    ASSERT_EQ(S_OK, nav->GetReferences2(nullptr, &count, &refs));
    ASSERT_EQ(2, count);
    EXPECT_STREQ(L"Shaft", refs[0].mbsRefPath);
    EXPECT_EQ(folder.Path() + L"\\parts\\shaft.mrdprt", refs[0].mbsFilePath);
    EXPECT_STREQ(L"parts\\shaft.mrdprt", reinterpret_cast<const wchar_t*>(refs[0].mpcData));
    EXPECT_EQ(long(sizeof(L"parts\\shaft.mrdprt")), refs[0].mlDataSize);
    EXPECT_EQ(1, refs[0].mlNumberA);
    EXPECT_EQ(3, refs[0].mlNumberB);
    EXPECT_EQ(1, refs[0].mlFlag);
    EXPECT_STREQ(L"C:\\cast\\housing.mrdprt", refs[1].mbsFilePath);
    EXPECT_EQ(2, refs[1].mlNumberA); // frozen
    EXPECT_EQ(0, refs[1].mlFlag);    // its only use is suppressed
    for (long i = 0; i < count; ++i) {
        SysFreeString(refs[i].mbsFilePath);
        SysFreeString(refs[i].mbsRefPath);
        CoTaskMemFree(refs[i].mpcData);
    }
    CoTaskMemFree(refs);

    SAFEARRAY* array = nullptr;
    ASSERT_EQ(S_OK, nav->GetReferenceConfigurations(&array));
    ASSERT_EQ(36u, SafeArrayGetElemsize(array));
    LONG upper = -1;
    SafeArrayGetUBound(array, 1, &upper);
    ASSERT_EQ(3, upper);
    TovRefConfigData* e = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&e));
    EXPECT_STREQ(L"Shaft", e[1].mbsPath);
    EXPECT_STREQ(L"Heavy", e[1].mbsConfig1);
    EXPECT_STREQ(L"Long", e[1].mbsConfig2);
    EXPECT_EQ(VARIANT_TRUE, e[1].mbFlag1);
    EXPECT_EQ(VARIANT_FALSE, e[1].mbFlag2);
    EXPECT_EQ(VARIANT_TRUE, e[3].mbFlag2);
    SafeArrayUnaccessData(array);
    EXPECT_EQ(S_OK, SafeArrayDestroy(array)); // frees the element strings too
}

TEST_F(MrdPlugin, ReadsOwnThenFileWideProperties) {
    auto nav = OpenOk(folder.WriteFile(L"box.mrdasm", kAssembly));
    TovAttribData2 a[3] = {};
    const wchar_t* names[] = {L"Title", L"material", L"Missing"};
    for (int i = 0; i < 3; ++i) {
        a[i].mbsBlock = SysAllocString(L"CustomProperty");
        a[i].mbsName = SysAllocString(names[i]);
    }
    BSTR heavy = SysAllocString(L"Heavy");
    ASSERT_EQ(S_OK, nav->GetAttributes2(heavy, 0, nullptr, 3, a));
    EXPECT_STREQ(L"Heavy box", a[0].mvValue.bstrVal);
    EXPECT_EQ(0, a[0].mlFlag);
    EXPECT_STREQ(L"Steel", a[1].mvValue.bstrVal);
    EXPECT_EQ(1, a[1].mlFlag); // inherited from the file-wide block
    EXPECT_EQ(0, a[2].mlStatus);
    EXPECT_EQ(VT_EMPTY, a[2].mvValue.vt);
    for (auto& x : a) {
        SysFreeString(x.mbsBlock);
        SysFreeString(x.mbsName);
        VariantClear(&x.mvValue);
    }
    SysFreeString(heavy);
}

TEST_F(MrdPlugin, SavesChangedLinesAtomicallyAndKeepsEverythingElse) {
    const std::wstring path = folder.WriteFile(L"box.mrdasm", kAssembly);
    auto nav = OpenOk(path);
    TovRefData ref = {};
    ref.mbsRefPath = SysAllocString(L"shaft"); // keys compare without regard to case
    const std::wstring moved = folder.Path() + L"\\bought\\shaft.mrdprt";
    ref.mbsFilePath = SysAllocString(moved.c_str());
    ASSERT_EQ(S_OK, nav->SetReferences(nullptr, 1, &ref));
    TovAttribData attr = {};
    attr.mbsBlock = SysAllocString(L"CustomProperty");
    attr.mbsName = SysAllocString(L"Weight");
    attr.mvValue.vt = VT_I4;
    attr.mvValue.lVal = 12;
    BSTR config = SysAllocString(L"Default");
    ASSERT_EQ(S_OK, nav->SetAttributes(config, 0, nullptr, 1, &attr, 0));
    EXPECT_EQ(1, attr.mlStatus);
    EXPECT_EQ(kAssembly, ReadAll(path)); // nothing on disk before Save
    ASSERT_EQ(S_OK, nav->Save());

    const std::string saved = ReadAll(path);
    EXPECT_NE(std::string::npos, saved.find("# keep this comment\r\n"));
    EXPECT_NE(std::string::npos, saved.find("Path = bought\\shaft.mrdprt\r\n")); // stays relative
    EXPECT_NE(std::string::npos, saved.find("[Properties Default]\r\nCustomProperty:Weight = 12\r\n"));
    EXPECT_NE(std::string::npos, saved.find("Path = C:\\cast\\housing.mrdprt\r\n"));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder.Path() + L"\\*.tmp").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, search) << "temporary file left behind";
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);

    // Reopened: a move that climbs above the file's folder is written as a full path.
    nav = OpenOk(path);
    const std::wstring sibling = folder.Path() + L"-other\\shaft.mrdprt";
    SysFreeString(ref.mbsFilePath);
    ref.mbsFilePath = SysAllocString(sibling.c_str());
    ASSERT_EQ(S_OK, nav->SetReferences(nullptr, 1, &ref));
    ASSERT_EQ(S_OK, nav->Save());
    EXPECT_NE(std::string::npos, ReadAll(path).find("Path = " + Utf8(sibling) + "\r\n"));

    TovRefData unknown = {};
    unknown.mbsRefPath = SysAllocString(L"Nope");
    unknown.mbsFilePath = SysAllocString(L"C:\\x.mrdprt");
    EXPECT_EQ(E_INVALIDARG, nav->SetReferences(nullptr, 1, &unknown));
    for (BSTR b : {ref.mbsRefPath, ref.mbsFilePath, attr.mbsBlock, attr.mbsName, config, unknown.mbsRefPath,
                   unknown.mbsFilePath})
        SysFreeString(b);
}

TEST_F(MrdPlugin, NeverHoldsTheFileAndRefusesToOverwriteSomeoneElsesChange) {
    const std::wstring path = folder.WriteFile(L"box.mrdasm", kAssembly);
    auto nav = OpenOk(path);
    const std::wstring aside = folder.Path() + L"\\aside.mrdasm";
    ASSERT_TRUE(MoveFileW(path.c_str(), aside.c_str())) << "the open file is locked";
    ASSERT_TRUE(MoveFileW(aside.c_str(), path.c_str()));

    TovAttribData attr = {};
    attr.mbsBlock = SysAllocString(L"CustomProperty");
    attr.mbsName = SysAllocString(L"Title");
    attr.mvValue.vt = VT_BSTR;
    attr.mvValue.bstrVal = SysAllocString(L"Mine");
    ASSERT_EQ(S_OK, nav->SetAttributes(nullptr, 0, nullptr, 1, &attr, 0));
    const std::string theirs = std::string(kAssembly) + "# theirs\r\n";
    folder.WriteFile(L"box.mrdasm", theirs);
    HANDLE h =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ahead = ((ULONGLONG(now.dwHighDateTime) << 32) | now.dwLowDateTime) + 20000000; // 2 s
    FILETIME later = {DWORD(ahead), DWORD(ahead >> 32)};
    SetFileTime(h, nullptr, nullptr, &later);
    CloseHandle(h);
    EXPECT_EQ(kChangedOnDisk, nav->Save());
    EXPECT_EQ(theirs, ReadAll(path));
    SysFreeString(attr.mbsBlock);
    SysFreeString(attr.mbsName);
    VariantClear(&attr.mvValue);
}

TEST_F(MrdPlugin, RejectsMalformedFilesNamingTheLineAndLeavesThemAlone) {
    const struct {
        const char* text;
        const wchar_t* says;
    } cases[] = {
        {"", L"line 1: the file has no"},
        {"MRD 2 assembly\n", L"line 1: format version 2"},
        {"MRD 1 part\n", L"extension is for a(n) assembly"},
        {"MRD 1 assembly\nDefault\n", L"line 2: text outside"},
        {"MRD 1 assembly\n[Configurations]\nA\n[Reference R]\nPath = x.mrdprt\nUse = B > C\n", L"line 6:"},
        {"MRD 1 assembly\n[Reference R]\nKind = view\n", L"line 2: the reference \"R\" has no Path"},
        {"MRD 1 assembly\n[Reference R]\nPath = a\n[Reference r]\nPath = b\n", L"line 4: a second reference"},
        {"MRD 1 assembly\n[Drawings]\n", L"unknown section [Drawings]"},
        {"MRD 1 assembly\n[Properties]\nTitle = x\n", L"line 3: a property reads"},
        {"MRD 1 assembly\n\xff\xfe\n", L"not UTF-8"},
    };
    for (const auto& c : cases) {
        const std::wstring path = folder.WriteFile(L"bad.mrdasm", c.text);
        ITovFileNavigator4* nav = nullptr;
        EXPECT_EQ(kMalformed, Open(path, &nav)) << c.text;
        EXPECT_EQ(nullptr, nav);
        EXPECT_NE(std::wstring::npos, ErrorText().find(c.says)) << Utf8(ErrorText());
        EXPECT_EQ(c.text, ReadAll(path));
    }
    ITovFileNavigator4* nav = nullptr;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Open(folder.Path() + L"\\none.mrdasm", &nav));
}

TEST_F(MrdPlugin, AnswersQueriesForSizeConfigurationsAndModes) {
    auto assembly = OpenOk(folder.WriteFile(L"box.mrdasm", kAssembly));
    ITovFileQuery* query = nullptr;
    ASSERT_EQ(S_OK, assembly->QueryInterface(__uuidof(ITovFileQuery), reinterpret_cast<void**>(&query)));
    VARIANT none, result, second;
    VariantInit(&none);
    VariantInit(&result);
    VariantInit(&second);
    ASSERT_EQ(S_OK, query->Query(1, none, &result, &second));
    EXPECT_EQ(VT_DATE, result.vt);
    EXPECT_EQ(LONGLONG(sizeof(kAssembly) - 1), second.llVal);
    ASSERT_EQ(S_OK, query->Query(3, none, &result, nullptr));
    ASSERT_EQ(VT_ARRAY | VT_RECORD, result.vt);
    struct Element {
        LONGLONG value;
        BSTR name;
    }* e = nullptr;
    SafeArrayAccessData(result.parray, reinterpret_cast<void**>(&e));
    EXPECT_EQ(2, e[1].value);
    EXPECT_STREQ(L"Heavy", e[1].name);
    SafeArrayUnaccessData(result.parray);
    EXPECT_EQ(S_OK, VariantClear(&result));
    EXPECT_EQ(S_OK, query->Query(7, none, &result, nullptr));
    EXPECT_EQ(VARIANT_FALSE, result.boolVal);
    EXPECT_EQ(E_NOTIMPL, query->Query(42, none, &result, nullptr));
    query->Release();

    auto drawing = OpenOk(folder.WriteFile(L"d.mrddrw", "MRD 1 drawing\n[Settings]\nDetailingMode = yes\n"));
    drawing->QueryInterface(__uuidof(ITovFileQuery), reinterpret_cast<void**>(&query));
    EXPECT_EQ(S_OK, query->Query(5, none, &result, nullptr));
    EXPECT_EQ(VARIANT_TRUE, result.boolVal);
    // Without configurations the manager is sent to the names, which are empty.
    EXPECT_EQ(E_NOTIMPL, query->Query(3, none, &result, nullptr));
    BSTR names = nullptr;
    EXPECT_EQ(S_OK, drawing->GetConfigurationNames(&names));
    EXPECT_EQ(0u, SysStringLen(names));
    SysFreeString(names);
    query->Release();
}

} // namespace
