#include <FileFmtMgr/FileFormatMgr.h>

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "foundation/Module.h"
#include "plugins/PluginTable.h"
#include "plugins/Registry.h"
#include "plugins/TovReg.h"
#include <memory>

using ffm::ComPtr;

FileFormatMgr goFileFormatMgr;

FileFormatMgr* gpoGetFileFormatMgr() {
    return &goFileFormatMgr;
}

FileFormatMgr::FileFormatMgr() : moDetailingModeName("_MX_Detailing_Mode_"), moLdrModeName("_MX_LDR_Mode_") {}

FileFormatMgr::~FileFormatMgr() {
    mvUninitialize();
    if (mbUninitializeDisabled) {
        // The host ends the process: the settings component and the outside store may live in
        // modules that are already gone, so their references are never given back.
        (void)mpoSettings.detach();
        (void)mpoRegAccess.detach();
    }
}

// ---- Lifecycle ------------------------------------------------------------------------------

void FileFormatMgr::mvInstallTable(std::unique_ptr<PluginTable> table) noexcept {
    mpoPluginTable = std::move(table);
}

HRESULT FileFormatMgr::mhInitialize(ITovCallback* callback) {
    auto lock = moLock.Lock();
    if (mbInitialized)
        return S_OK;
    if (!ffm::ModuleHandle())
        return E_FAIL;
    return ffm::Boundary([&] {
        mpoRegistry = TovReg::Create(L"MORDANE");
        mvInstallTable(std::make_unique<PluginTable>(mpoRegAccess.get()));
        mbInitialized = true;
        mbBatchAttributes = gbReadMachineSwitch(L"BatchAttributes");
        if (callback)
            callback->SetProgress(0);
    });
}

void FileFormatMgr::mvInit(ITovCallback* callback) {
    if (mpoPluginTable)
        return;
    const HRESULT hr = mhInitialize(callback);
    if (SUCCEEDED(hr))
        return;
    ComPtr<IErrorInfo> pending;
    if (::GetErrorInfo(0, pending.put()) == S_OK && pending)
        throw ffm::ComError(hr, pending.get());
    ffm::RaiseDescribed(hr, L"Failed to initialize.");
}

void FileFormatMgr::mvUninitialize() {
    auto lock = moLock.Lock();
    mbInitialized = false;
    if (mbUninitializeDisabled) {
        // The host ends the process and its plug-in objects may be gone: touch none of them.
        (void)mpoPluginTable.release();
        return;
    }
    mpoPluginTable.reset();
    mpoSettings.reset();
    mpoRegAccess.reset();
}

void FileFormatMgr::mvDisableUninitialize() {
    auto lock = moLock.Lock();
    mbUninitializeDisabled = true;
}

HRESULT FileFormatMgr::mhSetRegAccess(IFileFmtRegistryAccess* store) {
    auto lock = moLock.Lock();
    return ffm::Boundary([&] {
        if (store == mpoRegAccess.get())
            return;
        mpoRegAccess = ComPtr<IFileFmtRegistryAccess>(store);
        if (!mbInitialized)
            return;
        // Built completely before it replaces the old one, so a failure keeps the old table.
        mvInstallTable(std::make_unique<PluginTable>(store));
    });
}

HRESULT FileFormatMgr::mhSetUpdateDeletedVarsFlag(bool update) {
    mbUpdateDeletedVars = update;
    return S_OK;
}

// ---- Reference update ------------------------------------------------------------------------

// No lock of its own: the update takes the manager's lock only inside resolution.
HRESULT FileFormatMgr::mhUpdateReferences(const wchar_t* file, const ffm::Lst<MoveRef*>& moves,
                                          const wchar_t* newRoot, const wchar_t* oldRoot,
                                          const wchar_t* altOldRoot) {
    return ghUpdateXRefPaths(file, newRoot, oldRoot, altOldRoot, moves, 0, nullptr);
}

// ---- Exported free functions ----------------------------------------------------------------

HRESULT ghSetRegAccess(IFileFmtRegistryAccess* store) {
    return goFileFormatMgr.mhSetRegAccess(store);
}

bool gbUseSeparatedProcessing() {
    return gbReadMachineSwitch(L"UseSeparatedProcessing");
}

void gCleanUpMXDocMgrInstance(unsigned long value) {
    // Stays loaded: the CAD plug-in library keeps state for the rest of the process.
    HMODULE cad = ::LoadLibraryW(L"MordanePlugin.dll");
    if (!cad)
        return;
    using CleanUp = void (*)(unsigned long);
    if (auto fn = reinterpret_cast<CleanUp>(
            reinterpret_cast<void*>(::GetProcAddress(cad, "gCleanUpMXDocMgrInstance"))))
        fn(value);
}
