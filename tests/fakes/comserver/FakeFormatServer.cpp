// Format objects and navigators of a minimal plug-in, served from a real DLL through COM's
// registry lookup. Tests read its counters through FakeServerCounts.
#include "support/NavigatorStub.h"
#include <new>

namespace {

ffmtest::LiveCounter gFormats, gNavigators;

class Navigator : public ffmtest::NavigatorStub {
  public:
    explicit Navigator(BSTR path) : NavigatorStub(&gNavigators), m_path(SysAllocString(path)) {}
    ~Navigator() override { SysFreeString(m_path); }
    // The library's callers ask for the file it opened.
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* path) override {
        *path = SysAllocString(m_path);
        return S_OK;
    }

  private:
    BSTR m_path; // owned
};

class Format : public ffmtest::FakeObject<ITovFileFormat> {
  public:
    Format() : FakeObject(&gFormats) {}
    HRESULT STDMETHODCALLTYPE Unused3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR, unsigned long* mask) override {
        *mask = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR path, ITovCallback*, ITovFileNavigator** navigator) override {
        if (!navigator)
            return E_POINTER;
        auto* opened = new (std::nothrow) Navigator(path);
        if (!opened)
            return E_OUTOFMEMORY;
        opened->AddRef();
        *navigator = opened;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreatePreview(long, TovRect*, ITovCallback*, ITovRegistry*,
                                            ITovFilePreview**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSearchPaths(BSTR, BSTR*) override { return E_NOTIMPL; }
};

class Factory : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = (iid == IID_IUnknown || iid == IID_IClassFactory) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; } // static object
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto* format = new (std::nothrow) Format;
        if (!format)
            return E_OUTOFMEMORY;
        format->AddRef();
        const HRESULT hr = format->QueryInterface(iid, out);
        format->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory gFactory;

} // namespace

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID, REFIID iid, void** out) {
    return gFactory.QueryInterface(iid, out);
}

extern "C" HRESULT __stdcall DllCanUnloadNow() {
    return gFormats.alive + gNavigators.alive == 0 ? S_OK : S_FALSE;
}

// Format objects made, objects alive, files opened.
extern "C" void __stdcall FakeServerCounts(long* created, long* alive, long* opened) {
    *created = gFormats.created;
    *alive = gFormats.alive + gNavigators.alive;
    *opened = gNavigators.created;
}
