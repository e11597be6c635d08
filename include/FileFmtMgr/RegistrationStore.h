#pragma once
// What a registration store delivers to the plug-in table: the installed plug-ins and, per
// extension and capability, the plug-in that serves it. The library's built-in store reads the
// registry; a host may install its own with ghSetRegAccess. A store always lives in the
// manager's process.
#include <FileFmtMgr/SpStr.h>
#include <FileFmtMgr/TovContract.h>
#include <list>
#include <memory>

// One registered plug-in, shared between the store and the plug-in table.
struct FileFormatPlugin {
    GUID moClsid{};          // class of its format object
    ffm::SpStr mbsName;      // name of its registry key, normally its module's file name
    ffm::SpStr mbsComponent; // Windows Installer component identifier; may be empty
};

// One capability of one plug-in for one extension.
struct ExtensionRecord {
    ffm::SpStr moExtension;   // with its leading dot as registered; ".*" is the wildcard
    ffm::SpStr moPluginName;  // matches FileFormatPlugin::mbsName
    unsigned long mlMask = 0; // capability mask
};

using FileFormatPluginList = std::list<std::shared_ptr<FileFormatPlugin>>;
using ExtensionRecordList = std::list<ExtensionRecord>;

struct IFileFmtRegistryAccess : public IUnknown {
    // Replaces the list's content with the store's plug-ins, in the store's order.
    virtual void STDMETHODCALLTYPE GetPlugins(FileFormatPluginList& plugins) = 0;
    // Replaces the list's content with the store's extension records, in the store's order.
    virtual void STDMETHODCALLTYPE GetExtensionRecords(ExtensionRecordList& records) = 0;
    // Two context values handed to format objects that implement ITovFormatContext.
    virtual HRESULT STDMETHODCALLTYPE GetFormatContext(unsigned long* first, unsigned long* second) = 0;
};

FFM_DECLARE_IID(IFileFmtRegistryAccess, 0x7ac9f7a7, 0x8294, 0x4b66, 0x99, 0x3f, 0xe7, 0x74, 0x75, 0xa0, 0x01,
                0xbd)
