// The sample plug-in MrdPlugin.dll driven through COM as the manager drives it: registered with its
// own DllRegisterServer, created with CoCreateInstance. Reading references, size and date and the
// failure codes through the manager are checked by the fmtmgr tests, which run the same plug-in.
// Saving: the file keeps what it is (line ends, links, permissions), a save never writes a file it
// could not read again, and two processes saving one file never lose an update.
#include "support/SamplePlugin.h"

#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/TovContract.h>
#include <algorithm>
#include <cstdlib>
#include <sddl.h>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

const std::wstring kClsidText = L"{484E65A5-42FC-42F3-A658-7A719CFAA378}",
                   kClassKey = L"CLSID\\" + kClsidText;
const std::wstring kFormats = L"Software\\Mordane\\Applications\\Quillan\\FileFormats\\";
constexpr HRESULT kMalformed = static_cast<HRESULT>(0x80040300);
constexpr HRESULT kChangedOnDisk = static_cast<HRESULT>(0x80040301);

ComPtr<ITovFileNavigator4> Open(const std::wstring& path, HRESULT* result = nullptr) {
    ComPtr<ITovFileFormat> format;
    ComPtr<ITovFileNavigator> nav;
    ComPtr<ITovFileNavigator4> nav4;
    HRESULT hr = CoCreateInstance(kMrdClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITovFileFormat),
                                  format.put_void());
    if (SUCCEEDED(hr))
        hr = format->OpenFile(Bstr(path).get(), nullptr, nav.put());
    if (SUCCEEDED(hr))
        nav->QueryInterface(__uuidof(ITovFileNavigator4), nav4.put_void());
    if (result)
        *result = hr;
    return nav4;
}

// Moves the reference with the key to path (as the host gives it: full) and saves.
HRESULT MoveReference(ITovFileNavigator* nav, const std::wstring& key, const std::wstring& path) {
    const auto k = Bstr(key), p = Bstr(path);
    TovRefData ref{};
    ref.mbsRefPath = k.get();
    ref.mbsFilePath = p.get();
    const HRESULT hr = nav ? nav->SetReferences(nullptr, 1, &ref) : E_FAIL;
    return SUCCEEDED(hr) ? nav->Save() : hr;
}

HRESULT MoveReference(const std::wstring& file, const std::wstring& key, const std::wstring& path) {
    return MoveReference(Open(file).get(), key, path);
}

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

// Runs a program of the machine Wine runs on (links and permissions are made there).
bool RunUnix(const std::wstring& program, const std::wstring& arguments) {
    std::wstring command = program + L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring image = L"Z:" + program;
    std::replace(image.begin(), image.end(), L'/', L'\\');
    if (!CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    const ffm::UniqueHandle thread(process.hThread), child(process.hProcess);
    // Wine's handle to a Unix program does not tell when it ends: the callers look for its effect.
    WaitForSingleObject(child.get(), 2000);
    return true;
}

std::wstring Security(const std::wstring& path) {
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> sd(needed);
    wchar_t* text = nullptr;
    if (!needed || !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd.data(), needed, &needed) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr))
        return L"?";
    const std::wstring result = text;
    LocalFree(text);
    return result;
}

class MrdPlugin : public SandboxedTest {
  protected:
    void SetUp() override { ASSERT_EQ(S_OK, plugin.registered); }
    SamplePluginRegistration plugin;
    TempFolder folder;
};
class MrdSave : public MrdPlugin {};

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
    const auto nav = Open(path);
    ASSERT_TRUE(nav);
    const std::wstring aside = folder.Path() + L"\\aside.mrdasm";
    ASSERT_TRUE(MoveFileW(path.c_str(), aside.c_str())) << "the open file is locked";
    ASSERT_TRUE(MoveFileW(aside.c_str(), path.c_str()));

    const auto block = Bstr(L"CustomProperty"), name = Bstr(L"Weight");
    TovAttribData weight{};
    weight.mbsBlock = block.get();
    weight.mbsName = name.get();
    weight.mvValue.vt = VT_I4;
    weight.mvValue.lVal = 12;
    ASSERT_EQ(S_OK, nav->SetAttributes(Bstr(L"Default").get(), 0, nullptr, 1, &weight, 0));
    EXPECT_EQ(1, weight.mlStatus);
    // The new path climbs above the file's folder, further than the old one: written in full.
    const std::wstring sibling = folder.Path() + L"-other\\shaft.mrdprt";
    EXPECT_EQ(E_INVALIDARG, MoveReference(nav.get(), L"Nope", sibling));
    EXPECT_EQ(kSampleAssembly, ReadAll(path)); // nothing on disk before Save
    ASSERT_EQ(S_OK, MoveReference(nav.get(), L"shaft", sibling));

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
        HRESULT hr = S_OK;
        EXPECT_FALSE(Open(folder.WriteFile(L"bad.mrdasm", c.text), &hr));
        EXPECT_EQ(kMalformed, hr) << c.text;
        EXPECT_NE(std::wstring::npos, ErrorText().find(c.says)) << Utf8(ErrorText());
    }
}

TEST_F(MrdPlugin, AnswersQueriesForSizeConfigurationsAndModes) {
    const auto assembly = Open(folder.WriteFile(L"box.mrdasm", kSampleAssembly));
    const auto drawing =
        Open(folder.WriteFile(L"d.mrddrw", "MRD 1 drawing\n[Settings]\nDetailingMode = yes\n"));
    ffm::UniqueVariant result, second;
    const auto ask = [&](ITovFileNavigator* nav, long kind) {
        ComPtr<ITovFileQuery> query;
        nav->QueryInterface(__uuidof(ITovFileQuery), query.put_void());
        return query ? query->Query(kind, VARIANT{}, result.put(), second.put()) : E_NOINTERFACE;
    };
    ASSERT_EQ(S_OK, ask(assembly.get(), 1));
    EXPECT_EQ(VT_DATE, result->vt);
    EXPECT_EQ(LONGLONG(sizeof(kSampleAssembly) - 1), second->llVal);
    ASSERT_EQ(S_OK, ask(assembly.get(), 3));
    ASSERT_EQ(VT_ARRAY | VT_RECORD, result->vt);
    struct Element {
        LONGLONG value;
        BSTR name;
    }* e = nullptr;
    SafeArrayAccessData(result->parray, reinterpret_cast<void**>(&e));
    EXPECT_EQ(2, e[1].value);
    EXPECT_STREQ(L"Heavy", e[1].name);
    SafeArrayUnaccessData(result->parray);
    // Each mode is read from its own kind of file only; without configurations the manager is sent
    // to the names, which are empty.
    const struct {
        ITovFileNavigator* nav;
        long kind;
        HRESULT hr;
        VARIANT_BOOL expected;
    } cases[] = {{assembly.get(), 7, S_OK, VARIANT_TRUE},
                 {drawing.get(), 5, S_OK, VARIANT_TRUE},
                 {drawing.get(), 7, S_OK, VARIANT_FALSE},
                 {assembly.get(), 42, E_NOTIMPL, VARIANT_FALSE},
                 {drawing.get(), 3, E_NOTIMPL, VARIANT_FALSE}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.hr, ask(c.nav, c.kind)) << c.kind;
        EXPECT_EQ(c.expected, result->boolVal) << c.kind;
    }
    ffm::UniqueBstr names;
    EXPECT_EQ(S_OK, drawing->GetConfigurationNames(names.put()));
    EXPECT_EQ(0u, SysStringLen(names.get()));
}

// A mixed file keeps every line's own end; a link is followed and stays a link; a file others
// may not read stays so; of hard links, the name saved gets the new content.
TEST_F(MrdSave, KeepsLineEndsLinksAndPermissions) {
    const std::string mixed = "MRD 1 assembly\n[Reference A]\r\nPath = a.mrdprt\n# lf\n[Reference B]\r\n"
                              "Path = b.mrdprt\r\n";
    const std::wstring file = folder.WriteFile(L"mixed.mrdasm", mixed);
    ASSERT_EQ(S_OK, MoveReference(file, L"b", folder.Path() + L"\\x\\b.mrdprt"));
    std::string expected = mixed;
    expected.replace(expected.find("b.mrdprt"), 8, "x\\b.mrdprt");
    EXPECT_EQ(expected, ReadAll(file));

    const std::wstring target = folder.WriteFile(L"real\\target.mrdasm", mixed);
    const std::wstring link = folder.Path() + L"\\link.mrdasm";
    ASSERT_TRUE(RunUnix(L"/bin/ln", L"-s \"" + UnixPath(target) + L"\" \"" + UnixPath(link) + L"\""));
    for (int i = 0; i < 100 && ReadAll(link) != mixed; ++i)
        Sleep(20);
    ASSERT_EQ(mixed, ReadAll(link));
    ASSERT_EQ(S_OK, MoveReference(link, L"A", folder.Path() + L"\\real\\y.mrdprt"));
    EXPECT_NE(std::string::npos, ReadAll(target).find("Path = real\\y.mrdprt\n")) << ReadAll(target);
    EXPECT_EQ(ReadAll(target), ReadAll(link));
    // Still a link: replacing the target again shows through it.
    folder.WriteFile(L"real\\target.mrdasm", mixed);
    EXPECT_EQ(mixed, ReadAll(link));

    const std::wstring secret = folder.WriteFile(L"secret.mrdasm", mixed);
    ASSERT_TRUE(RunUnix(L"/bin/chmod", L"600 \"" + UnixPath(secret) + L"\""));
    for (int i = 0; i < 100 && Security(secret).find(L";WD)") != std::wstring::npos; ++i)
        Sleep(20);
    ASSERT_EQ(std::wstring::npos, Security(secret).find(L";WD)")) << Utf8(Security(secret));
    ASSERT_EQ(S_OK, MoveReference(secret, L"A", folder.Path() + L"\\z.mrdprt"));
    EXPECT_EQ(std::wstring::npos, Security(secret).find(L";WD)")) << "everyone may read it now";

    const std::wstring first = folder.WriteFile(L"first.mrdasm", mixed),
                       second = folder.Path() + L"\\second.mrdasm";
    ASSERT_TRUE(CreateHardLinkW(second.c_str(), first.c_str(), nullptr));
    ASSERT_EQ(S_OK, MoveReference(first, L"A", folder.Path() + L"\\w.mrdprt"));
    EXPECT_NE(mixed, ReadAll(first));
    EXPECT_EQ(mixed, ReadAll(second));
}

// The temporary file of a killed save (named after the file) goes with the next save; a text the
// format could not read again is refused before anything is written.
TEST_F(MrdSave, CleansUpAfterAKilledSaveAndNeverWritesAnUnreadableFile) {
    const std::wstring file = folder.WriteFile(L"box.mrdasm", kSampleAssembly);
    std::wstring name = L"BOX.MRDASM";
    unsigned long long hash = 14695981039346656037ull;
    for (const wchar_t c : name) {
        hash ^= static_cast<unsigned long long>(c);
        hash *= 1099511628211ull;
    }
    wchar_t leftover[40];
    swprintf(leftover, 40, L"~mrd%016llX.tmp", hash);
    folder.WriteFile(leftover, std::string(4096, 'x'));
    ASSERT_EQ(S_OK, MoveReference(file, L"Shaft", folder.Path() + L"\\s.mrdprt"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder.Path() + L"\\" + leftover).c_str()));

    // Just under 16 MiB: a longer path would carry it over.
    std::string big = "MRD 1 part\r\n[Reference R]\r\nPath = a.mrdprt\r\n# ";
    big += std::string(16 * 1024 * 1024 - big.size() - 2, 'x') + "\r\n";
    const std::wstring large = folder.WriteFile(L"big.mrdprt", big);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE),
              MoveReference(large, L"R", folder.Path() + L"\\a-much-longer-name.mrdprt"));
    EXPECT_TRUE(ReadAll(large) == big) << "the file was written";
}

// Run by the concurrency test in another process, twice at once: increments the counter kept in
// the path of reference "Counter" (c\N.mrdprt) as often as it is told, and writes how many of its
// saves landed, then the codes of those that failed for another reason than a change by someone else.
TEST(MrdSaveWorker, DISABLED_IncrementsTheCounter) {
    const char *file = std::getenv("MRD_COUNTER_FILE"), *result = std::getenv("MRD_COUNTER_RESULT");
    ASSERT_TRUE(file && result);
    const std::wstring path = Utf16(file), folder = path.substr(0, path.find_last_of(L'\\'));
    int landed = 0;
    std::string codes;
    for (int round = 0; round < std::atoi(std::getenv("MRD_COUNTER_ROUNDS")); ++round) {
        // The value saved is one above what the plug-in read.
        const auto nav = Open(path);
        long count = 0, seen = -1;
        TovRefData* refs = nullptr;
        if (nav && SUCCEEDED(nav->GetReferences(nullptr, &count, &refs)) && count == 1) {
            seen = std::wcstol(reinterpret_cast<const wchar_t*>(refs[0].mpcData) + 2, nullptr, 10);
            SysFreeString(refs[0].mbsFilePath);
            SysFreeString(refs[0].mbsRefPath);
            CoTaskMemFree(refs[0].mpcData);
        }
        CoTaskMemFree(refs);
        const HRESULT hr = seen < 0
                               ? E_UNEXPECTED
                               : MoveReference(nav.get(), L"Counter",
                                               folder + L"\\c\\" + std::to_wstring(seen + 1) + L".mrdprt");
        if (hr == S_OK)
            ++landed;
        else if (hr != kChangedOnDisk)
            codes += " " + Utf8(HexCode(hr));
    }
    std::ofstream(result) << landed << codes;
}

// Two processes increment one counter in one file at once: every save that reports success is in
// the file (the final count is the number of successes), and every other save failed with
// 0x80040301.
TEST_F(MrdSave, TwoProcessesNeverLoseAnUpdate) {
    const std::wstring file = folder.WriteFile(
        L"counter.mrdasm", "MRD 1 assembly\r\n[Reference Counter]\r\nPath = c\\0.mrdprt\r\n");
    SetEnvironmentVariableW(L"MRD_COUNTER_FILE", file.c_str());
    SetEnvironmentVariableW(L"MRD_COUNTER_ROUNDS", L"60");
    std::vector<ffm::UniqueHandle> workers;
    for (int w = 0; w < 2; ++w) {
        const std::wstring result = folder.Path() + L"\\result" + std::to_wstring(w) + L".txt";
        SetEnvironmentVariableW(L"MRD_COUNTER_RESULT", result.c_str());
        std::wstring command =
            L"\"" + ExecutableFolder() +
            L"\\test_mrdplugin.exe\" --gtest_filter=MrdSaveWorker.* --gtest_also_run_disabled_tests";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &startup, &process));
        CloseHandle(process.hThread);
        workers.emplace_back(process.hProcess);
    }
    int landed = 0;
    for (int w = 0; w < 2; ++w) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(workers[w].get(), 100000));
        std::istringstream result(ReadAll(folder.Path() + L"\\result" + std::to_wstring(w) + L".txt"));
        int ok = -1;
        ASSERT_TRUE(result >> ok) << "worker " << w << " wrote no result";
        EXPECT_EQ(std::to_string(ok), result.str()) << "worker " << w << ": other failures";
        EXPECT_GT(ok, 0) << "worker " << w;
        landed += ok;
    }
    EXPECT_EQ("MRD 1 assembly\r\n[Reference Counter]\r\nPath = c\\" + std::to_string(landed) + ".mrdprt\r\n",
              ReadAll(file))
        << landed << " saves reported success";
}

} // namespace
