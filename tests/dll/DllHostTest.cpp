// FileFmtMgr.dll as a host sees it: the exported manager, its entry point having recorded the
// module handle, real activation of a plug-in server found through the registry.
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/ContractBases.h>
#include <FileFmtMgr/FileFormatMgr.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kVendorRoot = L"Software\\Mordane\\Applications\\Quillan";

void SetValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const std::wstring& data) {
    HKEY k = nullptr;
    RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
}

// The machine hive of this process redirected to a scratch key; the COM class of the fake
// server in the real class registry under a fresh identifier.
class HostSandbox : public ::testing::Test {
  protected:
    void SetUp() override {
        GUID id;
        CoCreateGuid(&id);
        wchar_t text[64];
        StringFromGUID2(id, text, 64);
        clsid = text;
        scratch = L"Software\\FileFmtMgrTests\\dll-" + clsid;
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring dll = exe;
        dll = dll.substr(0, dll.find_last_of(L'\\')) + L"\\FakeFormatServer.dll";
        SetValue(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\InprocServer32", nullptr, REG_SZ, dll);
        SetValue(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\InprocServer32", L"ThreadingModel", REG_SZ,
                 L"Both");
        RegCreateKeyExW(HKEY_CURRENT_USER, scratch.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &machine,
                        nullptr);
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine);
    }
    void TearDown() override {
        goFileFormatMgr.mvUninitialize();
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegCloseKey(machine);
        RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
    }
    std::wstring clsid, scratch;
    HKEY machine = nullptr;
};

} // namespace

// Format objects made, objects alive and files opened in the fake server.
std::vector<long> ServerCounts() {
    std::vector<long> counts(3);
    using CountsFn = void(__stdcall*)(long*, long*, long*);
    if (HMODULE server = GetModuleHandleW(L"FakeFormatServer.dll"))
        if (auto fn = reinterpret_cast<CountsFn>(
                reinterpret_cast<void*>(GetProcAddress(server, "FakeServerCounts"))))
            fn(&counts[0], &counts[1], &counts[2]);
    return counts;
}

TEST_F(HostSandbox, ExportedManagerActivatesTheRegisteredServerOnce) {
    const std::wstring formats = std::wstring(kVendorRoot) + L"\\FileFormats";
    SetValue(HKEY_LOCAL_MACHINE, formats + L"\\FakeFormatServer.dll", nullptr, REG_SZ, L"");
    SetValue(HKEY_LOCAL_MACHINE, formats + L"\\FakeFormatServer.dll", L"CLSID", REG_SZ, clsid);
    for (const wchar_t* mask : {L"1", L"16384"})
        SetValue(HKEY_LOCAL_MACHINE, formats + L"\\.mrdprt", mask, REG_MULTI_SZ,
                 std::wstring(L"FakeFormatServer.dll") + L'\0');

    FileFormatMgr* mgr = gpoGetFileFormatMgr();
    ASSERT_EQ(&goFileFormatMgr, mgr);
    ASSERT_EQ(S_OK, ghSetRegAccess(nullptr));
    EXPECT_EQ(S_OK, mgr->mhInitialize(nullptr)) << "the entry point recorded the module handle";

    // Through the interface, as components compiled against it call it.
    IFileFormatMgr* api = mgr;
    const std::vector<long> before = ServerCounts();
    for (int i = 0; i < 20; ++i) {
        ITovFileNavigator* nav = nullptr;
        unsigned long mask = 0;
        const std::wstring path = L"C:\\v\\gear" + std::to_wstring(i) + L".MRDPRT";
        ASSERT_EQ(S_OK, api->mhGetNavigator(&nav, path.c_str(), 1, nullptr, &mask, nullptr));
        ASSERT_NE(nullptr, nav);
        EXPECT_EQ(1u, mask);
        BSTR opened = nullptr;
        ASSERT_EQ(S_OK, nav->GetFilePath(&opened));
        EXPECT_EQ(path, opened);
        SysFreeString(opened);
        nav->Release();
    }
    const std::vector<long> after = ServerCounts();
    EXPECT_EQ(1, after[0] - before[0]) << "one format object, cached";
    EXPECT_EQ(1, after[1]) << "only the cached format object stays alive";
    EXPECT_EQ(20, after[2] - before[2]);
    ITovFileNavigator* nav = nullptr;
    unsigned long mask = 0;
    EXPECT_EQ(ffm::FFM_E_NO_PLUGIN,
              api->mhGetNavigator(&nav, L"C:\\v\\notes.txt", 1, nullptr, &mask, nullptr));
    EXPECT_EQ(nullptr, nav);

    std::list<std::wstring> extensions;
    ASSERT_EQ(S_OK, mgr->mhGetExtensions(0x4000, extensions, nullptr));
    EXPECT_EQ(std::list<std::wstring>{L"MRDPRT"}, extensions);
    EXPECT_TRUE(gbUseSeparatedProcessing());
    gCleanUpMXDocMgrInstance(0);
    mgr->mvUninitialize();
    EXPECT_EQ(0, ServerCounts()[1]);
}

namespace {

// A host's own navigator: configuration names and one attribute value per configuration.
class CardNavigator : public ffm::ComObject<ffm::NavigatorBase<ITovFileNavigator>> {
  public:
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* path) override {
        *path = SysAllocString(L"C:\\v\\gear.mrdprt");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConfigurationNames(BSTR* names) override {
        *names = SysAllocString(L"Default\nBlue");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes(BSTR config, long, ITovCallback*, long count,
                                            TovAttribData* elements) override {
        for (long i = 0; i < count; ++i) {
            elements[i].mlStatus = 1;
            V_VT(&elements[i].mvValue) = VT_BSTR;
            V_BSTR(&elements[i].mvValue) = SysAllocString(config);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetAttributes(BSTR config, long, ITovCallback*, long count,
                                            TovAttribData* elements, long) override {
        for (long i = 0; i < count; ++i)
            elements[i].mlStatus = 1;
        written += std::wstring(config) + L";";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Save() override { return ++saves, S_OK; }
    std::wstring written;
    int saves = 0;
};

} // namespace

// The fifth and sixth slots read and write variables; the records made on either side of the
// boundary are deleted on the other.
TEST(HostVariables, VariableSlotsReadAndWriteThroughTheExportedInterface) {
    IFileFormatMgr* api = gpoGetFileFormatMgr();
    auto navigator = ffm::Make<CardNavigator>();
    auto* title = new VariableData;
    title->moName = L"Title";
    title->moAttributes.AddTail(new AttributeData(L"CustomProperty", L"Title"));
    ffm::Lst<VariableData*> variables;
    variables.AddTail(title);
    ConfigDataLst configs;
    ASSERT_EQ(S_OK, api->mhGetVars(navigator.get(), 0x80, variables, &configs, true));
    ASSERT_EQ(2, configs.GetCount());
    ValuePos pos;
    std::wstring values;
    for (title->First(pos); !title->AtEnd(pos);)
        values += std::wstring(V_BSTR(title->Next(pos)->mpoValue)) + L";";
    EXPECT_EQ(L"Blue;Default;", values);
    EXPECT_EQ(S_OK, api->mhSetVars(navigator.get(), 0, 0, variables, true));
    EXPECT_EQ(L"Blue;Default;", navigator->written);
    EXPECT_EQ(1, navigator->saves);
    for (ConfigData* c : configs)
        delete c;
    delete variables.RemoveHead();
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HKEY classes = nullptr; // binds HKEY_CLASSES_ROOT to the real class registry (see the tests' main)
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &classes) == ERROR_SUCCESS)
        RegCloseKey(classes);
    const int rc = RUN_ALL_TESTS();
    goFileFormatMgr.mvUninitialize();
    CoUninitialize();
    return rc;
}
