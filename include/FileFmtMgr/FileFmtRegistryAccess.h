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
#include <list>
#include <string>

class RegistryKey;

// A registry entry below "FileFormats" that the store could not use, with the reason, so that a
// tool can show why a plug-in or an extension is missing instead of leaving it out silently.
struct SkippedRegistryEntry {
    std::wstring key;    // the subkey's name; empty for "FileFormats" itself
    std::wstring value;  // the value's name; empty when the whole key (or the rest of it) is meant
    std::wstring reason; // what is wrong and what the store did about it
};
using SkippedRegistryEntryList = std::list<SkippedRegistryEntry>;

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

    // Replaces the list's content with the entries the load could not use, in the order met.
    // Loads first, like the two lists above; not part of the store interface.
    void GetSkippedEntries(SkippedRegistryEntryList& entries);

  private:
    // Reads the registry at the first request. Registry failures leave out what cannot be read
    // and never reach the caller; running out of memory does (std::bad_alloc or a COM error
    // with E_OUTOFMEMORY), and the object then keeps what it had read.
    void mvLoad();
    void mvReadExtensionKey(const RegistryKey& key, const std::wstring& extension);
    std::shared_ptr<FileFormatPlugin> moReadPluginKey(const RegistryKey& key, const std::wstring& name);
    void mvSkip(const std::wstring& key, const std::wstring& value, std::wstring reason);

    bool mbLoaded = false;
    FileFormatPluginList moPlugins;
    ExtensionRecordList moRecords;
    SkippedRegistryEntryList moSkipped;
};
