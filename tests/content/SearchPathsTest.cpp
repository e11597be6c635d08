// Search paths and product modules: the path list's rules, the settings component (the double
// VkrSettings.dll, registered under the component's class, or absent, when the library's one
// message box must appear), the file's folder and the plug-in's folders; product modules of the
// plug-in for a file type.
#include "manager/ManagerTestKit.h"
#include "support/SamplePlugin.h"

#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/PathList.h>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace ffmtest;
using ffm::ComPtr;
using Paths = std::list<std::wstring>;

namespace {

TEST(PathList, NormalisesSplitsAndKeepsOneOfEachFolder) {
    PathList split(L" C:/a ;; \t;D:\\b\\ ;c:\\A\\;", L';');
    Paths out{L"stale"};
    split.mvCopyTo(out);
    EXPECT_EQ((Paths{L"C:\\a\\", L"D:\\b\\"}), out);
    EXPECT_TRUE(split.mbContains(L"d:/B"));
    EXPECT_FALSE(split.mbContains(L"D:\\b\\c"));

    // Taken as they are, repeats included; copied out normalised.
    PathList kept(Paths{L"X:/one", L"x:\\one\\", L"Y:"}, L';');
    kept.mvAdd(L"X:\\ONE");
    kept.mvAppend(split);
    kept.mvCopyTo(out);
    EXPECT_EQ((Paths{L"X:\\one\\", L"x:\\one\\", L"Y:\\", L"C:\\a\\", L"D:\\b\\"}), out);
    PathList empty(L"  ;  ; ", L';');
    empty.mvCopyTo(out);
    EXPECT_TRUE(out.empty());
}

// The settings component's double registered for the test (or made sure to be absent), with its
// configuration file; tests that depend on either take turns through the registration's mutex.
class SettingsComponent {
  public:
    explicit SettingsComponent(bool present) : m_registration(L"VkrSettings.dll") {
        if (!present)
            m_registration.Call("DllUnregisterServer");
        SetEnvironmentVariableW(L"FFM_SETTINGS_CONFIG", (m_folder.Path() + L"\\settings.ini").c_str());
    }
    ~SettingsComponent() { SetEnvironmentVariableW(L"FFM_SETTINGS_CONFIG", nullptr); }
    void Configure(const std::string& ini) { m_folder.WriteFile(L"settings.ini", ini); }
    HRESULT Registered() const { return m_registration.registered; }

  private:
    SamplePluginRegistration m_registration;
    TempFolder m_folder;
};

// A plug-in format object naming its folders, with product modules.
class FolderFormat : public FakeObject<ffm::FormatBase, ITovProductModules> {
  public:
    HRESULT STDMETHODCALLTYPE GetSearchPaths(BSTR argument, BSTR* paths) override {
        arguments.push_back(argument ? argument : L"");
        *paths = result == S_OK ? SysAllocString(folders.c_str()) : nullptr;
        return result;
    }
    HRESULT STDMETHODCALLTYPE GetModuleList(long mask, BSTR extension, BSTR* modules) override {
        masks.push_back(mask);
        extensions.push_back(extension ? extension : L"");
        *modules =
            modulesResult == S_OK && !moduleText.empty() ? SysAllocString(moduleText.c_str()) : nullptr;
        return modulesResult;
    }
    std::wstring folders;
    HRESULT result = S_OK;
    std::wstring moduleText;
    HRESULT modulesResult = S_OK;
    std::vector<std::wstring> arguments, extensions;
    std::vector<long> masks;
};

class SearchPaths : public ManagerTest {};

TEST_F(SearchPaths, SettingsFileFolderAndPluginFoldersInOrderWithoutRepeats) {
    SettingsComponent settings(true);
    ASSERT_EQ(S_OK, settings.Registered());
    // Entries from the settings are compared as they are stored: C:\Lib\ matches the plug-in's c:\lib\.
    settings.Configure("[Parts]\r\nSearchPaths=C:\\Lib\\;D:/Shared/\r\n[Other]\r\nSearchPaths=Q:\\other\r\n");
    struct Case {
        const char* what;
        const wchar_t* key;
        Paths before;
        const wchar_t* file;
        std::wstring pluginFolders; // empty: no format object
        HRESULT pluginResult;
        HRESULT expected;
        Paths after;
    } cases[] = {
        {"everything",
         L"Parts",
         {},
         L"C:/Data//Models/part.mrdprt",
         L" E:\\Std ; ;  c:\\lib\\ ;F:/x",
         S_OK,
         S_OK,
         {L"C:\\Lib\\", L"D:\\Shared\\", L"C:\\Data\\Models\\", L"E:\\Std\\", L"F:\\x\\"}},
        {"no key: the caller's entries first, normalised",
         L"",
         {L"X:/own"},
         L"D:\\x.ipt",
         L"",
         S_OK,
         S_OK,
         {L"X:\\own\\", L"D:\\"}},
        {"after the caller's entries",
         L"Other",
         {L"X:\\own\\"},
         nullptr,
         L"",
         S_OK,
         S_OK,
         {L"X:\\own\\", L"Q:\\other\\"}},
        {"a server path",
         nullptr,
         {},
         L"\\\\srv\\share\\\\dir\\a.x",
         L"",
         S_OK,
         S_OK,
         {L"\\\\srv\\share\\dir\\"}},
        {"a single leading backslash goes", nullptr, {}, L"\\dir\\a.x", L"", S_OK, S_OK, {L"dir\\"}},
        {"a file name alone adds nothing", nullptr, {}, L"a.x", L"", S_OK, S_OK, {}},
        {"plug-in without folders", L"", {}, nullptr, L"x", E_NOTIMPL, S_OK, {}},
        {"a failing plug-in keeps what the settings added",
         L"Parts",
         {L"X:/own"},
         L"C:\\d\\f.x",
         L"x",
         E_FAIL,
         E_FAIL,
         {L"X:/own", L"C:\\Lib\\", L"D:/Shared/"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ComPtr<FolderFormat> format(new FolderFormat);
        format->folders = c.pluginFolders;
        format->result = c.pluginResult;
        Paths result = c.before;
        EXPECT_EQ(c.expected,
                  mgr->mhGetSearchPaths(c.key, c.file, L"argument",
                                        c.pluginFolders.empty() ? nullptr : format.get(), result));
        EXPECT_EQ(c.after, result);
        if (!c.pluginFolders.empty()) {
            EXPECT_EQ(std::vector<std::wstring>{L"argument"}, format->arguments);
        }
    }
}

// Runs op on a thread of its own and dismisses the message box it shows (found by caption),
// giving the box's text; empty when none came. Never waits more than a few seconds.
std::wstring DismissMessageBox(const std::function<void()>& op) {
    std::atomic<bool> done{false};
    std::atomic<DWORD> thread{0};
    std::thread worker([&] {
        thread = GetCurrentThreadId();
        ComApartment com;
        op();
        done = true;
    });
    std::wstring text;
    for (int i = 0; i < 300 && !done; ++i) {
        HWND box = FindWindowW(L"#32770", L"FileFmtMgr");
        if (!box) {
            Sleep(20);
            continue;
        }
        EnumChildWindows(
            box,
            [](HWND child, LPARAM out) {
                wchar_t cls[32], buffer[512];
                GetClassNameW(child, cls, 32);
                if (lstrcmpiW(cls, L"Static") == 0 && GetWindowTextW(child, buffer, 512) > 0)
                    *reinterpret_cast<std::wstring*>(out) += buffer;
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&text));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        break;
    }
    for (int i = 0; i < 300 && !done; ++i)
        Sleep(20);
    if (!done) { // a box that would not go: close every window of the thread, so the run goes on
        EnumThreadWindows(
            thread, [](HWND w, LPARAM) { return PostMessageW(w, WM_CLOSE, 0, 0); }, 0);
    }
    worker.join();
    return text;
}

TEST_F(SearchPaths, WithoutTheSettingsComponentTheMessageBoxNamesTheCode) {
    SettingsComponent settings(false);
    Paths result{L"kept"};
    HRESULT hr = S_OK;
    const std::wstring text =
        DismissMessageBox([&] { hr = mgr->mhGetSearchPaths(L"Parts", L"C:\\a.x", L"", nullptr, result); });
    EXPECT_EQ(REGDB_E_CLASSNOTREG, hr);
    EXPECT_EQ(L"Error 0x080040154 creating ISettings interface.\nIs VkrSettings.dll missing?", text);
    EXPECT_EQ(Paths{L"kept"}, result);
}

TEST_F(SearchPaths, TheSettingsComponentIsCreatedOnceAndDroppedByUninitialize) {
    Paths result;
    {
        SettingsComponent settings(true);
        ASSERT_EQ(S_OK, settings.Registered());
        settings.Configure("[Parts]\r\nSearchPaths=C:\\Lib\r\n");
        ASSERT_EQ(S_OK, mgr->mhGetSearchPaths(L"Parts", nullptr, nullptr, nullptr, result));
    }
    SettingsComponent absent(false);
    result.clear();
    // Still the one created before: no box, the component answers (from its now empty configuration).
    EXPECT_EQ(L"", DismissMessageBox([&] {
                  EXPECT_EQ(S_OK, mgr->mhGetSearchPaths(L"Parts", nullptr, nullptr, nullptr, result));
              }));
    mgr->mvUninitialize();
    HRESULT hr = S_OK;
    EXPECT_NE(L"", DismissMessageBox(
                       [&] { hr = mgr->mhGetSearchPaths(L"Parts", nullptr, nullptr, nullptr, result); }));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, hr);
}

TEST_F(SearchPaths, ProductModulesComeFromThePluginForTheFileType) {
    const CLSID clsid = NewClsid();
    ComPtr<FolderFormat> format(new FolderFormat);
    ClassRegistration registration(clsid, [&]() -> IUnknown* {
        format->AddRef();
        return static_cast<ITovFileFormat*>(format.get());
    });
    store->AddPlugin(L"Modules.dll", clsid);
    store->AddExtension(L".mrdprt", L"Modules.dll", 0x2);
    Plugin(L"Plain.dll", {{L".plain", 0x2}});
    UseStore();

    const auto modules = [&](const wchar_t* path, long mask, std::wstring& text) -> HRESULT {
        try {
            mgr->mvGetProductModuleList(path, mask, text);
            return S_OK;
        } catch (const ffm::ComError& e) {
            return e.Error();
        }
    };
    std::wstring text = L"old";
    format->moduleText = L"Part;Sheet metal";
    EXPECT_EQ(S_OK, modules(L"C:\\d\\gear.MRDPRT", 0x2, text));
    EXPECT_EQ(L"Part;Sheet metal", text);
    EXPECT_EQ(std::vector<std::wstring>{L"MRDPRT"}, format->extensions);
    EXPECT_EQ(std::vector<long>{0x2}, format->masks);
    format->moduleText.clear();
    EXPECT_EQ(S_OK, modules(L"C:\\d\\gear.mrdprt", 0x2, text));
    EXPECT_EQ(L"", text) << "no text is an empty one";
    format->modulesResult = static_cast<HRESULT>(0x80040777);
    EXPECT_EQ(static_cast<HRESULT>(0x80040777), modules(L"C:\\d\\gear.mrdprt", 0x2, text));
    EXPECT_EQ(E_POINTER, modules(L"C:\\d\\x.plain", 0x2, text)) << "a plug-in without product modules";
    EXPECT_EQ(ffm::FFM_E_NO_PLUGIN, modules(L"C:\\d\\x.unknown", 0x2, text));
}

} // namespace
