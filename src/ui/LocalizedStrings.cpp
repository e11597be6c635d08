#include "ui/LocalizedStrings.h"

#include "foundation/Handles.h"
#include "foundation/Module.h"
#include <FileFmtMgr/ComError.h>
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/LocalizedStrings.h>
#include <mutex>
#include <new>

namespace ffm {
namespace {

std::mutex gBindingLock;
// Kept for the life of the process and deliberately never released at exit: by then COM may
// have unloaded the service's DLL.
ITovLocalizedStrings* gBinding = nullptr;

// This library's file name without folder and extension; empty when the module path has no "\".
std::wstring ModuleName() {
    // The buffer grows until the whole name fits: a truncated name would bind the wrong texts.
    std::wstring file(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(ModuleHandle(), file.data(), static_cast<DWORD>(file.size()));
        if (length == 0)
            return {};
        if (length < file.size()) {
            file.resize(length);
            break;
        }
        file.resize(file.size() * 2);
    }
    const auto slash = file.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return {};
    const std::wstring name = file.substr(slash + 1);
    return name.substr(0, name.find(L'.'));
}

ComPtr<ITovLocalizedStrings> Bind() {
    const std::wstring module = ModuleName();
    if (module.empty())
        return {};
    ComPtr<ITovLocalizedStrings> service;
    if (FAILED(::CoCreateInstance(CLSID_TovLocalizedStrings, nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(ITovLocalizedStrings), service.put_void())))
        return {};
    UniqueBstr product(::SysAllocString(L"MORDANE QVT"));
    UniqueBstr name(::SysAllocString(module.c_str()));
    if (!product || !name || FAILED(service->InitLocalizedStrings(product.get(), name.get())))
        return {};
    return service;
}

ComPtr<ITovLocalizedStrings> Binding() {
    std::lock_guard<std::mutex> lock(gBindingLock);
    if (!gBinding)
        gBinding = Bind().detach();
    return ComPtr<ITovLocalizedStrings>(gBinding);
}

} // namespace

std::wstring moGetLocalizedString(long number, const wchar_t* defaultText, const wchar_t* section) {
    try {
        const wchar_t* fallback = defaultText ? defaultText : L"";
        const ComPtr<ITovLocalizedStrings> service = Binding();
        if (!service)
            return fallback;
        UniqueBstr sectionName(::SysAllocString(section ? section : L""));
        if (!sectionName)
            throw ComError(E_OUTOFMEMORY);
        UniqueBstr text;
        service->GetLocalizedString(number, sectionName.get(), text.put());
        if (!text || ::SysStringLen(text.get()) == 0)
            return fallback;
        return std::wstring(text.get(), ::SysStringLen(text.get()));
    } catch (const std::bad_alloc&) {
        throw ComError(E_OUTOFMEMORY);
    }
}

const wchar_t* mpGetTsDefault(TsText number) noexcept {
    switch (number) {
    case TsMenuItem:
        return L"Excluded File Types...";
    case TsMenuHelp:
        return L"Select file types that should not be displayed in the preview.";
    case TsDialogCaption:
        return L"Excluded File Types";
    case TsListLabel:
        return L"&List of file extensions:";
    case TsOk:
        return L"OK";
    case TsCancel:
        return L"Cancel";
    case TsMessage:
        return L"Files with extensions present in the field below will not appear in Brenlow's preview. "
               L"Extensions should be separated by commas, like this:\n\"exe,dll,tmp\"";
    }
    return L"";
}

std::wstring moGetTsText(TsText number) {
    return moGetLocalizedString(number, mpGetTsDefault(number), L"TS");
}

void zvForgetLocalizedStrings() noexcept {
    std::lock_guard<std::mutex> lock(gBindingLock);
    if (gBinding)
        std::exchange(gBinding, nullptr)->Release();
}

} // namespace ffm
