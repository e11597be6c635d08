#pragma once
// The vault's own result codes that the library returns or that plug-ins return to it.
#include <winerror.h>

namespace ffm {

constexpr HRESULT FFM_E_COPY_FAILED = static_cast<HRESULT>(0x8004020B);       // copy failed, no system code
constexpr HRESULT FFM_E_FILE_NOT_FOUND = static_cast<HRESULT>(0x80040213);    // size and date: no such file
constexpr HRESULT FFM_E_REG_VALUE_MISSING = static_cast<HRESULT>(0x8004021D); // ITovRegistry: value missing
constexpr HRESULT FFM_E_STOP_PREVIEWS = static_cast<HRESULT>(0x80040226); // plug-in: stop preview creation
constexpr HRESULT FFM_E_FILE_NOT_PREPARED =
    static_cast<HRESULT>(0x80040228); // reference update: file untouchable
constexpr HRESULT FFM_E_REDIRECT_FAILED = static_cast<HRESULT>(0x80040229);  // redirected plug-in failed too
constexpr HRESULT FFM_E_NO_PLUGIN = static_cast<HRESULT>(0x8004022A);        // no plug-in for the extension
constexpr HRESULT FFM_E_PREVIEW_EXCLUDED = static_cast<HRESULT>(0x8004023C); // extension kept out of previews
constexpr HRESULT FFM_E_PDF_VIEW_OPEN = static_cast<HRESULT>(0x800402BF);    // an outside PDF view is open
constexpr HRESULT FFM_E_OPEN_ELSEWHERE = static_cast<HRESULT>(0x8004027D); // plug-in: another format reads it
constexpr HRESULT FFM_E_NO_NAVIGATOR = static_cast<HRESULT>(0x800402F5);   // plug-in: no navigator, no error
constexpr HRESULT FFM_E_REG_OPEN = static_cast<HRESULT>(0x80040412);       // registry key cannot be opened
constexpr HRESULT FFM_E_REG_READ = static_cast<HRESULT>(0x80040413);       // registry read or enumeration
constexpr HRESULT FFM_E_OLD_WINDOWS = static_cast<HRESULT>(0x8007047E);    // system too old for the plug-in
constexpr HRESULT FFM_E_ARITHMETIC_OVERFLOW = static_cast<HRESULT>(0x80070216);

} // namespace ffm
