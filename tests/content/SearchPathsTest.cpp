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
    kept.mvAppend(PathList(L"  ;  ; ", L';'));
    kept.mvCopyTo(out);
    EXPECT_EQ((Paths{L"X:\\one\\", L"x:\\one\\", L"Y:\\", L"C:\\a\\", L"D:\\b\\"}), out);
}

// The settings component's double registered for the test (or made sure to be absent), with its
// configuration file.
class SettingsComponent {
  public:
    explicit SettingsComponent(bool present, const std::string& ini = "")
        : m_registration(L"VkrSettings.dll") {
        if (!present)
            m_registration.Call("DllUnregisterServer");
        SetEnvironmentVariableW(L"FFM_SETTINGS_CONFIG", m_folder.WriteFile(L"settings.ini", ini).c_str());
    }
    ~SettingsComponent() { SetEnvironmentVariableW(L"FFM_SETTINGS_CONFIG", nullptr); }
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
        const HRESULT hr = Injected("GetSearchPaths");
        *paths = SUCCEEDED(hr) ? SysAllocString(folders.c_str()) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetModuleList(long mask, BSTR extension, BSTR* modules) override {
        asked.push_back(std::to_wstring(mask) + L" " + (extension ? extension : L""));
        *modules = moduleText.empty() ? nullptr : SysAllocString(moduleText.c_str());
        return Injected("GetModuleList");
    }
    std::wstring folders, moduleText;
    std::vector<std::wstring> arguments, asked;
};

class SearchPaths : public ManagerTest {};

TEST_F(SearchPaths, SettingsFileFolderAndPluginFoldersInOrderWithoutRepeats) {
    // Entries from the settings are compared as they are stored: C:\Lib\ matches the plug-in's c:\lib\.
    SettingsComponent settings(
        true, "[Parts]\r\nSearchPaths=C:\\Lib\\;D:/Shared/\r\n[Other]\r\nSearchPaths=Q:\\other\r\n");
    ASSERT_EQ(S_OK, settings.Registered());
    struct Case {
        const char* what;
        const wchar_t* key;
        Paths before;
        const wchar_t* file;
        std::wstring pluginFolders; // empty: no format object
        HRESULT pluginResult;
        Paths after;
    };
    // clang-format off
    const Case cases[] = {
        {"everything", L"Parts", {}, L"C:/Data//Models/part.mrdprt", L" E:\\Std ; ;  c:\\lib\\ ;F:/x", S_OK,
         {L"C:\\Lib\\", L"D:\\Shared\\", L"C:\\Data\\Models\\", L"E:\\Std\\", L"F:\\x\\"}},
        {"no key: the caller's entries first, normalised", L"", {L"X:/own"}, L"D:\\x.ipt", L"", S_OK,
         {L"X:\\own\\", L"D:\\"}},
        {"after the caller's entries", L"Other", {L"X:\\own\\"}, nullptr, L"", S_OK, {L"X:\\own\\", L"Q:\\other\\"}},
        {"a server path", nullptr, {}, L"\\\\srv\\share\\\\dir\\a.x", L"", S_OK, {L"\\\\srv\\share\\dir\\"}},
        {"a single leading backslash goes", nullptr, {}, L"\\dir\\a.x", L"", S_OK, {L"dir\\"}},
        {"a file name alone adds nothing", nullptr, {}, L"a.x", L"", S_OK, {}},
        {"plug-in without folders", L"", {}, nullptr, L"x", E_NOTIMPL, {}},
        {"a failing plug-in keeps what the settings added", L"Parts", {L"X:/own"}, L"C:\\d\\f.x", L"x", E_FAIL,
         {L"X:/own", L"C:\\Lib\\", L"D:/Shared/"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ComPtr<FolderFormat> format(new FolderFormat);
        format->folders = c.pluginFolders;
        format->Fail("GetSearchPaths", c.pluginResult);
        Paths result = c.before;
        EXPECT_EQ(c.pluginResult == E_FAIL ? E_FAIL : S_OK,
                  mgr->mhGetSearchPaths(c.key, c.file, L"argument",
                                        c.pluginFolders.empty() ? nullptr : format.get(), result));
        EXPECT_EQ(c.after, result);
        EXPECT_EQ(c.pluginFolders.empty() ? std::vector<std::wstring>{}
                                          : std::vector<std::wstring>{L"argument"},
                  format->arguments);
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

// The component is made once and kept until mvUninitialize; without it, the box names the code
// and the caller's list stays as it was.
TEST_F(SearchPaths, TheSettingsComponentIsCreatedOnceAndWithoutItTheMessageBoxNamesTheCode) {
    Paths result;
    {
        SettingsComponent settings(true, "[Parts]\r\nSearchPaths=C:\\Lib\r\n");
        ASSERT_EQ(S_OK, settings.Registered());
        ASSERT_EQ(S_OK, mgr->mhGetSearchPaths(L"Parts", nullptr, nullptr, nullptr, result));
    }
    SettingsComponent absent(false);
    // Still the one created before: no box, the component answers (from its now empty configuration).
    EXPECT_EQ(L"", DismissMessageBox([&] {
                  EXPECT_EQ(S_OK, mgr->mhGetSearchPaths(L"Parts", nullptr, nullptr, nullptr, result));
              }));
    mgr->mvUninitialize();
    result = {L"kept"};
    HRESULT hr = S_OK;
    EXPECT_EQ(
        L"Error 0x080040154 creating ISettings interface.\nIs VkrSettings.dll missing?",
        DismissMessageBox([&] { hr = mgr->mhGetSearchPaths(L"Parts", L"C:\\a.x", L"", nullptr, result); }));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, hr);
    EXPECT_EQ(Paths{L"kept"}, result);
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

    const auto modules = [&](const wchar_t* path, std::wstring& text) -> HRESULT {
        try {
            mgr->mvGetProductModuleList(path, 0x2, text);
            return S_OK;
        } catch (const ffm::ComError& e) {
            return e.Error();
        }
    };
    std::wstring text = L"old";
    format->moduleText = L"Part;Sheet metal";
    EXPECT_EQ(S_OK, modules(L"C:\\d\\gear.MRDPRT", text));
    EXPECT_EQ(L"Part;Sheet metal", text);
    EXPECT_EQ(std::vector<std::wstring>{L"2 MRDPRT"}, format->asked);
    format->moduleText.clear();
    EXPECT_EQ(S_OK, modules(L"C:\\d\\gear.mrdprt", text));
    EXPECT_EQ(L"", text) << "no text is an empty one";
    format->Fail("GetModuleList", static_cast<HRESULT>(0x80040777));
    EXPECT_EQ(static_cast<HRESULT>(0x80040777), modules(L"C:\\d\\gear.mrdprt", text));
    EXPECT_EQ(E_POINTER, modules(L"C:\\d\\x.plain", text)) << "a plug-in without product modules";
    EXPECT_EQ(ffm::FFM_E_NO_PLUGIN, modules(L"C:\\d\\x.unknown", text));
}

} // namespace
