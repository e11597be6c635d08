// The sample plug-in MrdPlugin.dll driven through COM as the manager drives it: registered with its
// own DllRegisterServer, created with CoCreateInstance. Reading references, size and date and the
// failure codes through the manager are checked by the fmtmgr tests, which run the same plug-in.
#include "support/SamplePlugin.h"

#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/TovContract.h>
#include <foundation/Handles.h>
#include <gtest/gtest.h>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

const std::wstring kClsidText = L"{484E65A5-42FC-42F3-A658-7A719CFAA378}",
                   kClassKey = L"CLSID\\" + kClsidText;
const std::wstring kFormats = L"Software\\Mordane\\Applications\\Quillan\\FileFormats\\";
constexpr HRESULT kMalformed = static_cast<HRESULT>(0x80040300);
constexpr HRESULT kChangedOnDisk = static_cast<HRESULT>(0x80040301);

std::wstring ErrorText() {
    ComPtr<IErrorInfo> info;
    ffm::UniqueBstr text;
    if (GetErrorInfo(0, info.put()) == S_OK && info)
        info->GetDescription(text.put());
    return text ? text.get() : L"";
}

// A value as stored, a multi-string with its separating zeros; "-" when it is missing.
std::wstring Value(HKEY root, const std::wstring& key, const wchar_t* name) {
    wchar_t text[256];
    DWORD bytes = sizeof(text);
    const LONG rc =
        RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ, nullptr, text, &bytes);
    return rc == ERROR_SUCCESS ? std::wstring(text, bytes / sizeof(wchar_t) - 1) : L"-";
}

bool KeyExists(HKEY root, const std::wstring& key) {
    ffm::UniqueHKey opened;
    return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
}

class MrdPlugin : public SandboxedTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, plugin.registered);
        ASSERT_EQ(S_OK, CoCreateInstance(kMrdClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITovFileFormat),
                                         format.put_void()));
    }

    HRESULT Open(const std::wstring& path, ComPtr<ITovFileNavigator4>& out) {
        ComPtr<ITovFileNavigator> nav;
        const HRESULT hr = format->OpenFile(Bstr(path).get(), nullptr, nav.put());
        if (SUCCEEDED(hr))
            nav->QueryInterface(__uuidof(ITovFileNavigator4), out.put_void());
        return hr;
    }
    ComPtr<ITovFileNavigator4> OpenOk(const std::wstring& path) {
        ComPtr<ITovFileNavigator4> nav;
        EXPECT_EQ(S_OK, Open(path, nav));
        return nav;
    }

    SamplePluginRegistration plugin;
    TempFolder folder;
    ComPtr<ITovFileFormat> format;
};

TEST(MrdPluginRegistration, KeepsOtherPluginsAndRemovesOnlyItsOwnEntries) {
    RegistrySandbox sandbox;
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, kFormats + L".mrdasm", L"2", {L"Other.dll"});
    SamplePluginRegistration plugin;
    ASSERT_EQ(S_OK, plugin.registered);
    ASSERT_EQ(S_OK, plugin.Call("DllRegisterServer")); // a second run changes nothing
    EXPECT_EQ(std::wstring(L"MrdPlugin.dll\0Other.dll\0", 24),
              Value(HKEY_LOCAL_MACHINE, kFormats + L".mrdasm", L"2"));
    EXPECT_EQ(kClsidText, Value(HKEY_LOCAL_MACHINE, kFormats + L"MrdPlugin.dll", L"CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));

    ASSERT_EQ(S_OK, plugin.Call("DllUnregisterServer"));
    EXPECT_EQ(std::wstring(L"Other.dll\0", 10), Value(HKEY_LOCAL_MACHINE, kFormats + L".mrdasm", L"2"));
    for (const wchar_t* gone : {L".mrddrw", L"MrdPlugin.dll"})
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kFormats + gone)) << Utf8(gone);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_F(MrdPlugin, SavesAtomicallyOnSaveOnlyAndNeverOverSomeoneElsesChange) {
    const std::wstring path = folder.WriteFile(L"box.mrdasm", kSampleAssembly);
    auto nav = OpenOk(path);
    const std::wstring aside = folder.Path() + L"\\aside.mrdasm";
    ASSERT_TRUE(MoveFileW(path.c_str(), aside.c_str())) << "the open file is locked";
    ASSERT_TRUE(MoveFileW(aside.c_str(), path.c_str()));

    // The new path climbs above the file's folder, further than the old one: written in full.
    const std::wstring sibling = folder.Path() + L"-other\\shaft.mrdprt";
    const auto key = Bstr(L"shaft"), moved = Bstr(sibling), unknown = Bstr(L"Nope"),
               block = Bstr(L"CustomProperty"), name = Bstr(L"Weight");
    TovRefData ref{};
    ref.mbsRefPath = key.get();
    ref.mbsFilePath = moved.get();
    ASSERT_EQ(S_OK, nav->SetReferences(nullptr, 1, &ref));
    TovAttribData weight{};
    weight.mbsBlock = block.get();
    weight.mbsName = name.get();
    weight.mvValue.vt = VT_I4;
    weight.mvValue.lVal = 12;
    ASSERT_EQ(S_OK, nav->SetAttributes(Bstr(L"Default").get(), 0, nullptr, 1, &weight, 0));
    EXPECT_EQ(1, weight.mlStatus);
    ref.mbsRefPath = unknown.get();
    EXPECT_EQ(E_INVALIDARG, nav->SetReferences(nullptr, 1, &ref));
    EXPECT_EQ(kSampleAssembly, ReadAll(path)); // nothing on disk before Save
    ASSERT_EQ(S_OK, nav->Save());

    std::string expected = kSampleAssembly;
    expected.replace(expected.find("parts\\shaft.mrdprt"), 18, Utf8(sibling));
    expected += "\r\n[Properties Default]\r\nCustomProperty:Weight = 12\r\n"; // a new block goes last
    EXPECT_EQ(expected, ReadAll(path));
    WIN32_FIND_DATAW found;
    const ffm::UniqueFind temp(FindFirstFileW((folder.Path() + L"\\*.tmp").c_str(), &found));
    EXPECT_FALSE(temp) << "temporary file left behind";

    ASSERT_EQ(S_OK, nav->SetAttributes(nullptr, 0, nullptr, 1, &weight, 0));
    const std::string theirs = expected + "# theirs\r\n";
    folder.WriteFile(L"box.mrdasm", theirs);
    // Their write lands 2 s later, so the time differs even where file times are coarse.
    SetLastWrite(path, LastWrite(path) + 20000000);
    EXPECT_EQ(kChangedOnDisk, nav->Save());
    EXPECT_EQ(theirs, ReadAll(path));
}

TEST_F(MrdPlugin, RejectsMalformedFilesNamingTheLine) {
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
        ComPtr<ITovFileNavigator4> nav;
        EXPECT_EQ(kMalformed, Open(folder.WriteFile(L"bad.mrdasm", c.text), nav)) << c.text;
        EXPECT_FALSE(nav);
        EXPECT_NE(std::wstring::npos, ErrorText().find(c.says)) << Utf8(ErrorText());
    }
}

TEST_F(MrdPlugin, AnswersQueriesForSizeConfigurationsAndModes) {
    const auto ask = [](const ComPtr<ITovFileNavigator4>& nav, long kind, VARIANT* result,
                        VARIANT* second = nullptr) {
        ComPtr<ITovFileQuery> query;
        VARIANT none{};
        return FAILED(nav->QueryInterface(__uuidof(ITovFileQuery), query.put_void()))
                   ? E_NOINTERFACE
                   : query->Query(kind, none, result, second);
    };
    auto assembly = OpenOk(folder.WriteFile(L"box.mrdasm", kSampleAssembly));
    ffm::UniqueVariant result, second;
    ASSERT_EQ(S_OK, ask(assembly, 1, result.put(), second.put()));
    EXPECT_EQ(VT_DATE, result->vt);
    EXPECT_EQ(LONGLONG(sizeof(kSampleAssembly) - 1), second->llVal);
    ASSERT_EQ(S_OK, ask(assembly, 3, result.put()));
    ASSERT_EQ(VT_ARRAY | VT_RECORD, result->vt);
    struct Element {
        LONGLONG value;
        BSTR name;
    }* e = nullptr;
    SafeArrayAccessData(result->parray, reinterpret_cast<void**>(&e));
    EXPECT_EQ(2, e[1].value);
    EXPECT_STREQ(L"Heavy", e[1].name);
    SafeArrayUnaccessData(result->parray);
    EXPECT_EQ(E_NOTIMPL, ask(assembly, 42, result.put()));

    auto drawing = OpenOk(folder.WriteFile(L"d.mrddrw", "MRD 1 drawing\n[Settings]\nDetailingMode = yes\n"));
    // Without configurations the manager is sent to the names, which are empty.
    EXPECT_EQ(E_NOTIMPL, ask(drawing, 3, result.put()));
    ffm::UniqueBstr names;
    EXPECT_EQ(S_OK, drawing->GetConfigurationNames(names.put()));
    EXPECT_EQ(0u, SysStringLen(names.get()));
    // Each mode is read from its own kind of file only.
    const struct {
        const ComPtr<ITovFileNavigator4>& nav;
        long kind;
        VARIANT_BOOL expected;
    } modes[] = {{assembly, 7, VARIANT_TRUE}, {drawing, 5, VARIANT_TRUE}, {drawing, 7, VARIANT_FALSE}};
    for (const auto& m : modes) {
        EXPECT_EQ(S_OK, ask(m.nav, m.kind, result.put()));
        EXPECT_EQ(m.expected, result->boolVal) << "kind " << m.kind;
    }
}

// The folders the host searches come through fmtmgr's search-paths.
TEST_F(MrdPlugin, NamesTheProductModulesOfEachKind) {
    ComPtr<ITovProductModules> modules;
    ASSERT_EQ(S_OK, format->QueryInterface(__uuidof(ITovProductModules), modules.put_void()));
    const std::pair<const wchar_t*, const wchar_t*> kinds[] = {
        {L"mrddrw", L"Drawing;Assembly;Part"}, {L"MRDASM", L"Assembly;Part"}, {L"mrdprt", L"Part"}};
    for (const auto& [extension, expected] : kinds) {
        ffm::UniqueBstr text;
        ASSERT_EQ(S_OK, modules->GetModuleList(0x2, Bstr(extension).get(), text.put()));
        EXPECT_STREQ(expected, text.get());
    }
    ffm::UniqueBstr none;
    EXPECT_EQ(static_cast<HRESULT>(0x80040302), modules->GetModuleList(0x2, Bstr(L"dwg").get(), none.put()));
    EXPECT_FALSE(none);
}

} // namespace
