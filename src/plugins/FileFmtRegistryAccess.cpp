// Placeholder so the core links until the registry reading lands (store branch).
#include "plugins/FileFmtRegistryAccess.h"
FileFmtRegistryAccess::FileFmtRegistryAccess() = default;
FileFmtRegistryAccess::~FileFmtRegistryAccess() = default;
HRESULT FileFmtRegistryAccess::QueryInterface(REFIID, void** out) {
    if (out)
        *out = nullptr;
    return E_NOINTERFACE;
}
void FileFmtRegistryAccess::GetPlugins(FileFormatPluginList& plugins) { plugins = moPlugins; }
void FileFmtRegistryAccess::GetExtensionRecords(ExtensionRecordList& records) { records = moRecords; }
HRESULT FileFmtRegistryAccess::GetFormatContext(unsigned long* first, unsigned long* second) {
    if (first)
        *first = 0;
    if (second)
        *second = 0;
    return S_OK;
}
void FileFmtRegistryAccess::mvLoad() {}
