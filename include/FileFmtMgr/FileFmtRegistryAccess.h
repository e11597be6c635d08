#pragma once
// The built-in registration store: reads the plug-in and extension keys that plug-in installers
// write under the machine's "FileFormats" key. Used as a stack object by the plug-in table, so
// reference counting does nothing. It reads the registry once, at the first request. Exported so
// that hosts and tools can list what is installed.
//
// A plug-in key needs its default value (the installer component, may be empty) and "CLSID" as
// whole, terminated strings; otherwise the plug-in is left out. Each value of an extension key
// is one capability, named by its mask in decimal: leading blanks (spaces, tabs), then digits up
// to the first other character. There is no sign ("-1" and "+4" give 0) and no saturation: a
// number past 32 bits keeps its low 32 bits ("4294967297" gives 1).
#include <FileFmtMgr/Api.h>
#include <FileFmtMgr/RegistrationStore.h>
#include <string>

class RegistryKey;

class FFM_API FileFmtRegistryAccess : public IFileFmtRegistryAccess {
  public:
    FileFmtRegistryAccess();
    FileFmtRegistryAccess(const FileFmtRegistryAccess&) = delete;
    FileFmtRegistryAccess& operator=(const FileFmtRegistryAccess&) = delete;
    virtual ~FileFmtRegistryAccess();

    // A stack object: no interface is given out and the count does nothing.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 0; }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }

    void STDMETHODCALLTYPE GetPlugins(FileFormatPluginList& plugins) override;
    void STDMETHODCALLTYPE GetExtensionRecords(ExtensionRecordList& records) override;
    HRESULT STDMETHODCALLTYPE GetFormatContext(unsigned long* first, unsigned long* second) override;

  private:
    // Reads the registry at the first request. Registry failures leave out what cannot be read
    // and never reach the caller; running out of memory does (std::bad_alloc or a COM error
    // with E_OUTOFMEMORY), and the object then keeps what it had read.
    void mvLoad();
    void mvReadExtensionKey(const RegistryKey& key, const std::wstring& extension);

    bool mbLoaded = false;
    FileFormatPluginList moPlugins;
    ExtensionRecordList moRecords;
};
