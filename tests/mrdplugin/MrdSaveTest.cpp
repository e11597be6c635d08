// Saving an MRD file through the sample plug-in as a host does: the file keeps what it is (line
// ends, links, permissions), a save never writes a file it could not read again, and two
// processes saving one file never lose an update.
#include "support/SamplePlugin.h"

#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/Handles.h>
#include <FileFmtMgr/TovContract.h>
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sddl.h>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

const CLSID kClsid = {0x484e65a5, 0x42fc, 0x42f3, {0xa6, 0x58, 0x7a, 0x71, 0x9c, 0xfa, 0xa3, 0x78}};
constexpr HRESULT kChangedOnDisk = static_cast<HRESULT>(0x80040301);

ffm::UniqueBstr Bstr(const std::wstring& text) {
    return ffm::UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// Opens the file, moves the reference with the key to path (as the host gives it: full) and saves.
HRESULT MoveReference(const std::wstring& file, const std::wstring& key, const std::wstring& path) {
    ComPtr<ITovFileFormat> format;
    HRESULT hr =
        CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITovFileFormat), format.put_void());
    ComPtr<ITovFileNavigator> nav;
    if (SUCCEEDED(hr))
        hr = format->OpenFile(Bstr(file).get(), nullptr, nav.put());
    const auto k = Bstr(key), p = Bstr(path);
    TovRefData ref{};
    ref.mbsRefPath = k.get();
    ref.mbsFilePath = p.get();
    if (SUCCEEDED(hr))
        hr = nav->SetReferences(nullptr, 1, &ref);
    return SUCCEEDED(hr) ? nav->Save() : hr;
}

std::wstring UnixPath(const std::wstring& path) {
    using Fn = char*(CDECL*)(const wchar_t*);
    const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = fn ? fn(path.c_str()) : nullptr;
    const std::wstring text = unix ? Utf16(unix) : std::wstring();
    HeapFree(GetProcessHeap(), 0, unix);
    return text;
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

class MrdSave : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(S_OK, plugin.registered); }
    SamplePluginRegistration plugin;
    TempFolder folder;
};

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
// saves landed and how many failed for another reason than a change by someone else.
TEST(MrdSaveWorker, DISABLED_IncrementsTheCounter) {
    const char* file = std::getenv("MRD_COUNTER_FILE");
    const char* result = std::getenv("MRD_COUNTER_RESULT");
    ASSERT_TRUE(file && result);
    const std::wstring path = Utf16(file), folder = path.substr(0, path.find_last_of(L'\\'));
    int landed = 0, other = 0;
    std::string codes;
    for (int round = 0; round < std::atoi(std::getenv("MRD_COUNTER_ROUNDS")); ++round) {
        // The value saved is one above what the plug-in read.
        ComPtr<ITovFileFormat> format;
        ComPtr<ITovFileNavigator> nav;
        HRESULT hr = CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITovFileFormat),
                                      format.put_void());
        if (SUCCEEDED(hr))
            hr = format->OpenFile(Bstr(path).get(), nullptr, nav.put());
        long count = 0;
        TovRefData* refs = nullptr;
        if (SUCCEEDED(hr))
            hr = nav->GetReferences(nullptr, &count, &refs);
        long seen = -1;
        if (SUCCEEDED(hr) && count == 1) {
            const std::wstring stored(static_cast<const wchar_t*>(static_cast<void*>(refs[0].mpcData)));
            seen = std::wcstol(stored.c_str() + 2, nullptr, 10);
            SysFreeString(refs[0].mbsFilePath);
            SysFreeString(refs[0].mbsRefPath);
            CoTaskMemFree(refs[0].mpcData);
        }
        CoTaskMemFree(refs);
        const auto key = Bstr(L"Counter"),
                   next = Bstr(folder + L"\\c\\" + std::to_wstring(seen + 1) + L".mrdprt");
        TovRefData ref{};
        ref.mbsRefPath = key.get();
        ref.mbsFilePath = next.get();
        if (SUCCEEDED(hr) && seen < 0)
            hr = E_UNEXPECTED;
        if (SUCCEEDED(hr))
            hr = nav->SetReferences(nullptr, 1, &ref);
        if (SUCCEEDED(hr))
            hr = nav->Save();
        if (hr == S_OK)
            ++landed;
        else if (hr != kChangedOnDisk) {
            ++other;
            char code[16];
            snprintf(code, sizeof(code), " 0x%08lX", static_cast<unsigned long>(hr));
            codes += code;
        }
    }
    FILE* out = _wfopen(Utf16(result).c_str(), L"w");
    ASSERT_TRUE(out);
    fprintf(out, "%d %d%s\n", landed, other, codes.c_str());
    fclose(out);
}

// Two processes increment one counter in one file at once: every save that reports success is in
// the file (the final count is the number of successes), and every other save failed with
// 0x80040301.
TEST_F(MrdSave, TwoProcessesNeverLoseAnUpdate) {
    const std::wstring file = folder.WriteFile(
        L"counter.mrdasm", "MRD 1 assembly\r\n[Reference Counter]\r\nPath = c\\0.mrdprt\r\n");
    constexpr int kRounds = 60;
    std::vector<PROCESS_INFORMATION> workers;
    for (int w = 0; w < 2; ++w) {
        const std::wstring result = folder.Path() + L"\\result" + std::to_wstring(w) + L".txt";
        SetEnvironmentVariableW(L"MRD_COUNTER_FILE", file.c_str());
        SetEnvironmentVariableW(L"MRD_COUNTER_RESULT", result.c_str());
        SetEnvironmentVariableW(L"MRD_COUNTER_ROUNDS", std::to_wstring(kRounds).c_str());
        std::wstring command = L"\"" + ExecutableFolder() + L"\\test_mrdplugin.exe" +
                               L"\" --gtest_filter=MrdSaveWorker.DISABLED_IncrementsTheCounter "
                               L"--gtest_also_run_disabled_tests";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &startup, &process));
        workers.push_back(process);
    }
    for (auto& p : workers) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.hProcess, 100000));
        CloseHandle(p.hThread);
        CloseHandle(p.hProcess);
    }
    int landed = 0;
    for (int w = 0; w < 2; ++w) {
        int ok = -1, other = -1;
        const std::string result = ReadAll(folder.Path() + L"\\result" + std::to_wstring(w) + L".txt");
        ASSERT_EQ(2, sscanf(result.c_str(), "%d %d", &ok, &other)) << "worker " << w << " wrote no result";
        EXPECT_EQ(0, other) << "worker " << w << ": " << result;
        EXPECT_GT(ok, 0) << "worker " << w;
        landed += ok;
    }
    const std::string text = ReadAll(file);
    EXPECT_EQ("MRD 1 assembly\r\n[Reference Counter]\r\nPath = c\\" + std::to_string(landed) + ".mrdprt\r\n",
              text)
        << landed << " saves reported success";
}

} // namespace
