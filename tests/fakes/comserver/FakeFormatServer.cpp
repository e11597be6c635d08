// Format objects and navigators of a minimal plug-in, served from a real DLL through COM's
// registry lookup. Tests read its counters through FakeServerCounts.
#include <FileFmtMgr/TovContract.h>
#include <atomic>
#include <new>

namespace {

std::atomic<long> gCreated{0}, gAlive{0}, gOpened{0};

template <class I> class Object : public I {
  public:
    Object() {
        ++gAlive;
    }
    virtual ~Object() { --gAlive; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = (iid == IID_IUnknown || iid == __uuidof(I)) ? static_cast<I*>(this) : nullptr;
        if (!*out)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

  private:
    std::atomic<ULONG> m_refs{1};
};

class Navigator : public Object<ITovFileNavigator> {
  public:
    explicit Navigator(BSTR path) : m_path(SysAllocString(path)) {}
    ~Navigator() override { SysFreeString(m_path); }
    // The library asks for the file it opened.
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* path) override {
        *path = SysAllocString(m_path);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReferences(ITovCallback*, long*, TovRefData**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetReferences(ITovCallback*, long, TovRefData*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubFolders(ITovRegistry*, ITovCallback*, long*, ITovFileNavigator***) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSubFiles(ITovRegistry*, ITovCallback*, long*, ITovFileNavigator***) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetAttributes(BSTR, long, ITovCallback*, long, TovAttribData*, long) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes(BSTR, long, ITovCallback*, long, TovAttribData*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unused11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused12() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubFileMenuItems(ITovRegistry*, long*, TovPreviewMenuItem**, long,
                                                  ITovFileNavigator**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE OnSubFileMenuCommand(ITovRegistry*, ITovCallback*, long, long, long,
                                                   ITovFileNavigator**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Save() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused16() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused17() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConfigurationNames(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOption(long, long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused20() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReferenceCount(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReference(long, BSTR*, BSTR*, BSTR*, long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused23() override { return E_NOTIMPL; }

  private:
    BSTR m_path; // owned
};

class Format : public Object<ITovFileFormat> {
  public:
    Format() { ++gCreated; }
    HRESULT STDMETHODCALLTYPE Unused3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR, unsigned long* mask) override {
        *mask = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR path, ITovCallback*, ITovFileNavigator** navigator) override {
        if (!navigator)
            return E_POINTER;
        *navigator = new (std::nothrow) Navigator(path);
        if (!*navigator)
            return E_OUTOFMEMORY;
        ++gOpened;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreatePreview(long, TovRect*, ITovCallback*, ITovRegistry*, ITovFilePreview**) override {
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
        Format* format = new (std::nothrow) Format;
        if (!format)
            return E_OUTOFMEMORY;
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

extern "C" HRESULT __stdcall DllCanUnloadNow() { return gAlive == 0 ? S_OK : S_FALSE; }

// Format objects made, objects alive, files opened.
extern "C" void __stdcall FakeServerCounts(long* created, long* alive, long* opened) {
    *created = gCreated;
    *alive = gAlive;
    *opened = gOpened;
}
