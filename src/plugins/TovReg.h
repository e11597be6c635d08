#pragma once
// TovReg: the registry object the library hands to plug-ins (ITovRegistry). Its values live in a
// subkey of "FileFormatPlugins" under the user's vendor root.
#include "plugins/Registry.h"
#include <FileFmtMgr/ComObject.h>

class TovReg final : public ffm::ComObject<ITovRegistry> {
  public:
    // The object comes back holding one reference.
    static ffm::ComPtr<ITovRegistry> Create(const wchar_t* subkey);
    // Opens (or makes) the subkey; use Create.
    explicit TovReg(const wchar_t* subkey);

    // Plug-ins call these from any thread. A failed read leaves the out-parameter as it was, so a
    // plug-in's preset default survives a missing value.
    HRESULT STDMETHODCALLTYPE GetIntValue(BSTR name, long* value) override;
    HRESULT STDMETHODCALLTYPE SetIntValue(BSTR name, long value) override;
    HRESULT STDMETHODCALLTYPE GetStringValue(BSTR name, BSTR* value) override;
    HRESULT STDMETHODCALLTYPE SetStringValue(BSTR name, BSTR value) override;

  private:
    Registry moKey; // all value operations act on it
};
