#pragma once
// TovReg: the registry object the library hands to plug-ins (ITovRegistry). Its values live in a
// subkey of "FileFormatPlugins" under the user's vendor root.
#include "plugins/Registry.h"
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/TovContract.h>
#include <atomic>

class TovReg final : public ITovRegistry {
  public:
    // The one way to make one: the object comes back holding one reference.
    static ffm::ComPtr<ITovRegistry> Create(const wchar_t* subkey);

    // IUnknown: the object itself for IUnknown and ITovRegistry.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Plug-ins call these from any thread. A failed read leaves the out-parameter as it was, so a
    // plug-in's preset default survives a missing value.
    HRESULT STDMETHODCALLTYPE GetIntValue(BSTR name, long* value) override;
    HRESULT STDMETHODCALLTYPE SetIntValue(BSTR name, long value) override;
    HRESULT STDMETHODCALLTYPE GetStringValue(BSTR name, BSTR* value) override;
    HRESULT STDMETHODCALLTYPE SetStringValue(BSTR name, BSTR value) override;

    virtual ~TovReg();

  private:
    explicit TovReg(const wchar_t* subkey);

    std::atomic<ULONG> mlRefs{0};
    Registry moKey; // all value operations act on it
};
