// Times a cached format resolution (mhGetFormat on a warm table) against the least it could
// cost: a critical section plus a map lookup and the reference handed out. Also counts plug-in
// activations while many files of one type are resolved. Figures are medians of several runs.
#include "BenchKit.h"
#include "plugins/PluginTable.h"
#include "foundation/Module.h"
#include "plugins/Registry.h"
#include <shlwapi.h>
#include <FileFmtMgr/ComModule.h>
#include <FileFmtMgr/ContractBases.h>
#include <FileFmtMgr/FileFormatMgr.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>

using bench::Median;

namespace {

std::atomic<long> gActivations{0};

// The least a format object can be: the benchmark only counts references.
class Format : public ffm::ComObject<ffm::FormatBase> {};

// Activations are what the benchmark counts.
HRESULT CreateFormat(REFIID iid, void** out) noexcept {
    ++gActivations;
    return ffm::CreateInstanceOf<Format>(iid, out);
}

// An outside store with a handful of plug-ins and extensions, as a vault client has.
class Store : public ffm::ComObject<IFileFmtRegistryAccess> {
  public:
    explicit Store(const CLSID& clsid) {
        const wchar_t* exts[] = {L".mrdprt", L".mrdasm", L".mrddrw", L".dwg", L".dxf", L".ipt",
                                 L".iam",    L".idw",    L".pdf",    L".doc", L".txt", L".*"};
        for (int p = 0; p < 4; ++p) {
            auto plugin = std::make_shared<FileFormatPlugin>();
            plugin->moClsid = clsid;
            plugin->mbsName = (L"Plugin" + std::to_wstring(p) + L".dll").c_str();
            m_plugins.push_back(plugin);
        }
        int i = 0;
        for (const wchar_t* e : exts) {
            ExtensionRecord r;
            r.moExtension = e;
            r.moPluginName = m_plugins[i++ % 4]->mbsName;
            r.mlMask = 0x4007;
            m_records.push_back(r);
        }
    }
    void STDMETHODCALLTYPE GetPlugins(FileFormatPluginList& out) override {
        out.assign(m_plugins.begin(), m_plugins.end());
    }
    void STDMETHODCALLTYPE GetExtensionRecords(ExtensionRecordList& out) override {
        out.assign(m_records.begin(), m_records.end());
    }
    HRESULT STDMETHODCALLTYPE GetFormatContext(unsigned long* a, unsigned long* b) override {
        *a = *b = 0;
        return S_OK;
    }

  private:
    std::vector<std::shared_ptr<FileFormatPlugin>> m_plugins;
    std::vector<ExtensionRecord> m_records;
};

template <class F> double NanosecondsPerCall(long calls, F&& body) {
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i)
        body(i);
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / calls;
}

} // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ffm::SetModuleHandle(GetModuleHandleW(nullptr));
    // A machine with plug-ins installed has the "FileFormats" key: give this process one in a
    // scratch hive, removed at the end.
    const std::wstring scratch = L"Software\\FileFmtMgrBench" + std::to_wstring(GetCurrentProcessId());
    HKEY machine = nullptr, formats = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, scratch.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &machine,
                    nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kVendorRoot) + L"\\FileFormats").c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &formats, nullptr);
    RegCloseKey(formats);
    CLSID clsid;
    CoCreateGuid(&clsid);
    const auto factory = ffm::Make<ffm::ClassFactory>(ffm::ClassRow{&clsid, CreateFormat});
    DWORD cookie = 0;
    CoRegisterClassObject(clsid, static_cast<IClassFactory*>(factory.get()), CLSCTX_INPROC_SERVER,
                          REGCLS_MULTIPLEUSE, &cookie);
    const auto store = ffm::Make<Store>(clsid);
    FileFormatMgr mgr;
    mgr.mhSetRegAccess(store.get());

    const wchar_t* paths[] = {L"C:\\Vault\\Project 12\\Gear housing.mrdprt",
                              L"C:\\Vault\\Assemblies\\Top.MRDASM", L"D:\\Work\\Drawings\\Sheet 4.mrddrw",
                              L"C:\\Vault\\Legacy\\plan.dwg"};
    constexpr long kCalls = 200000;
    ITovFileFormat* warm = nullptr;
    mgr.mhGetFormat(paths[0], &warm, 1, nullptr, nullptr, true);
    warm->Release();

    // The floor: what any cached lookup under the manager's lock must at least do.
    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    std::map<std::wstring, ffm::ComPtr<ITovFileFormat>, NoCaseLess> map;
    for (const wchar_t* e : {L".mrdprt", L".mrdasm", L".mrddrw", L".dwg", L".dxf", L".ipt", L".iam", L".idw",
                             L".pdf", L".doc", L".txt", L".*"}) {
        ffm::ComPtr<ITovFileFormat> f = ffm::Make<Format>();
        map[e] = f;
    }

    std::vector<double> managerRuns, floorRuns;
    for (int run = 0; run < 7; ++run) {
        managerRuns.push_back(NanosecondsPerCall(kCalls, [&](long i) {
            ITovFileFormat* format = nullptr;
            unsigned long mask = 0;
            mgr.mhGetFormat(paths[i & 3], &format, 1, nullptr, &mask, true);
            format->Release();
        }));
        floorRuns.push_back(NanosecondsPerCall(kCalls, [&](long i) {
            EnterCriticalSection(&lock);
            ITovFileFormat* format = nullptr;
            auto it = map.find(PathFindExtensionW(paths[i & 3]));
            it->second.copy_to(&format);
            LeaveCriticalSection(&lock);
            format->Release();
        }));
    }
    const double managerNs = Median(managerRuns), floorNs = Median(floorRuns);
    std::printf("cached mhGetFormat:                 %8.1f ns per call (median of 7 x %ld calls)\n",
                managerNs, kCalls);
    std::printf("critical section + map lookup:      %8.1f ns per call\n", floorNs);
    std::printf("ratio manager / floor:              %8.2f\n", managerNs / floorNs);

    const long before = gActivations;
    mgr.mvUninitialize();
    mgr.mhSetRegAccess(store.get());
    for (long i = 0; i < 100000; ++i) {
        const std::wstring path = L"C:\\Vault\\Many\\part" + std::to_wstring(i) + L".mrdprt";
        ITovFileFormat* format = nullptr;
        mgr.mhGetFormat(path.c_str(), &format, 1, nullptr, nullptr, true);
        format->Release();
    }
    std::printf("activations for 100,000 files of one type on a fresh table: %ld\n", gActivations - before);

    DeleteCriticalSection(&lock);
    map.clear();
    mgr.mvUninitialize();
    CoRevokeClassObject(cookie);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(machine);
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
    CoUninitialize();
    return 0;
}
