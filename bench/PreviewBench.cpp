// How long the preview window takes to show a file, next to what the plug-in itself spends:
// mhShow switching between two files of two plug-ins (the other preview is hidden each time),
// mhShow of the file already shown, the plug-in's own ShowFile called directly, and the
// plug-in's painting of its window. The plug-ins are the preview server of the tests
// (FakePreviewServer.dll next to this program), registered for the run by its DllRegisterServer.
// Prints medians in microseconds.
#include "fakes/preview/FakePreviewClasses.h"
#include "foundation/Module.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/FilePreviewWnd.h>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

// The preview server's exports, from the DLL next to this program.
HRESULT CallServer(const char* name) {
    static const HMODULE server = LoadLibraryW(L"FakePreviewServer.dll");
    using Fn = HRESULT(STDAPICALLTYPE*)();
    const auto fn =
        server ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(server, name))) : nullptr;
    return fn ? fn() : E_FAIL;
}

// The two plug-ins and their extensions, handed to the manager instead of the registry.
class Store final : public IFileFmtRegistryAccess {
  public:
    void Add(const wchar_t* name, const CLSID& clsid, const wchar_t* extension) {
        auto plugin = std::make_shared<FileFormatPlugin>();
        plugin->moClsid = clsid;
        plugin->mbsName = name;
        m_plugins.push_back(plugin);
        ExtensionRecord record;
        record.moExtension = extension;
        record.moPluginName = name;
        record.mlMask = 0x4;
        m_records.push_back(record);
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    void STDMETHODCALLTYPE GetPlugins(FileFormatPluginList& plugins) override { plugins = m_plugins; }
    void STDMETHODCALLTYPE GetExtensionRecords(ExtensionRecordList& records) override { records = m_records; }
    HRESULT STDMETHODCALLTYPE GetFormatContext(unsigned long* a, unsigned long* b) override {
        *a = *b = 0;
        return S_OK;
    }

  private:
    FileFormatPluginList m_plugins;
    ExtensionRecordList m_records;
};

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

double Micros(LARGE_INTEGER from, LARGE_INTEGER to) {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return (to.QuadPart - from.QuadPart) * 1e6 / frequency;
}

// Median of runs of step, each timed alone; settle runs between them, untimed.
double Median(int runs, const std::function<void(int)>& step, const std::function<void()>& settle = Pump) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        LARGE_INTEGER a, b;
        QueryPerformanceCounter(&a);
        step(i);
        QueryPerformanceCounter(&b);
        times.push_back(Micros(a, b));
        settle();
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[runs / 2];
}

std::wstring WriteSample(const std::wstring& name, const char* text) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + name;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(f, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(f);
    return path;
}

} // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ffm::SetModuleHandle(GetModuleHandleW(nullptr));
    constexpr int kRuns = 301;
    if (FAILED(CallServer("DllRegisterServer"))) {
        fprintf(stderr, "FakePreviewServer.dll cannot be registered\n");
        return 1;
    }
    {
        using namespace fakepreview;
        Store store;
        store.Add(L"First.dll", kClsid<Good>, L".pva");
        store.Add(L"Second.dll", kClsid<OtherGood>, L".pvb");
        const std::wstring a = WriteSample(L"ffm-bench-a.pva", "FILL E02020\nMARK 2020E0\nTITLE first\n");
        const std::wstring b = WriteSample(L"ffm-bench-b.pvb", "FILL 20C040\nMARK E020E0\nTITLE second\n");

        HWND host = CreateWindowExW(0, L"STATIC", L"pane", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VISIBLE,
                                    0, 0, 640, 480, nullptr, nullptr, nullptr, nullptr);
        FileFormatMgr mgr;
        FilePreviewWnd window;
        if (mgr.mhSetRegAccess(&store) != S_OK ||
            mgr.mhCreatePreview(window, host, nullptr, nullptr) != S_OK) {
            fprintf(stderr, "preview creation failed\n");
            return 1;
        }
        window.mvResize(nullptr);
        const std::wstring files[] = {a, b};
        const TovFileVaultType type{};
        if (window.mhShow(a, type, nullptr, nullptr, false, 0) != S_OK) {
            fprintf(stderr, "FakePreviewServer.dll does not show files\n");
            return 1;
        }
        Pump();

        const double switching = Median(
            kRuns, [&](int i) { window.mhShow(files[(i + 1) % 2], type, nullptr, nullptr, false, 0); });
        window.mhShow(a, type, nullptr, nullptr, false, 0);
        Pump();
        const double same = Median(kRuns, [&](int) { window.mhShow(a, type, nullptr, nullptr, false, 0); });

        // What every show by path adds: the host's top-level window is disabled around the plug-in.
        const double disable = Median(kRuns, [&](int) {
            EnableWindow(host, FALSE);
            EnableWindow(host, TRUE);
        });

        // The plug-in by itself: its own preview object on a window of its own.
        ITovFileFormat* format = nullptr;
        CoCreateInstance(kClsid<Good>, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITovFileFormat),
                         reinterpret_cast<void**>(&format));
        HWND own = CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VISIBLE,
                                   0, 0, 640, 480, nullptr, nullptr, nullptr, nullptr);
        TovRect rect{0, 0, 640, 480};
        ITovFilePreview* preview = nullptr;
        format->CreatePreview(static_cast<long>(reinterpret_cast<LONG_PTR>(own)), &rect, nullptr, nullptr,
                              &preview);
        BSTR path = SysAllocString(a.c_str());
        const double direct = Median(kRuns, [&](int) { preview->ShowFile(nullptr, path, nullptr, 0); });
        Pump();
        HWND view = FindWindowExW(own, nullptr, L"FakePreviewView", nullptr);
        const double paint = Median(
            kRuns, [&](int) { UpdateWindow(view); }, [&] { InvalidateRect(view, nullptr, FALSE); });
        SysFreeString(path);
        preview->Release();
        format->Release();
        DestroyWindow(own);

        printf("preview window, %d runs each, medians in microseconds (640x480 pane)\n", kRuns);
        printf("  mhShow, switching between two plug-ins' files   %9.1f\n", switching);
        printf("  mhShow, the file already shown                  %9.1f\n", same);
        printf("  the plug-in's own ShowFile, called directly     %9.1f\n", direct);
        printf("  the plug-in's own painting (WM_PAINT)           %9.1f\n", paint);
        printf("  disabling and enabling the host window          %9.1f\n", disable);
        printf("  window's cost over the plug-in's show: switch %.2fx, same file %.2fx\n", switching / direct,
               same / direct);
        mgr.mvUninitialize();
        DeleteFileW(a.c_str());
        DeleteFileW(b.c_str());
        DestroyWindow(host);
        Pump();
    }
    CallServer("DllUnregisterServer");
    CoUninitialize();
    return 0;
}
