#pragma once
// Texts of the library's menu item and dialog, from the vault client's localized-string service
// when it is there and has them, otherwise the built-in English defaults.
#include <string>

namespace ffm {

// The numbers of the library's texts in section "TS".
enum TsText : long {
    TsMenuItem = 1,      // "Excluded File Types..."
    TsMenuHelp = 2,      // status-bar help of the menu item
    TsDialogCaption = 3, // "Excluded File Types"
    TsListLabel = 4,     // label of the extension field
    TsOk = 5,
    TsCancel = 6,
    TsMessage = 7, // the explanation above the field
};

// The service's text for number in section, or defaultText when the service is missing, cannot
// be bound or has none. The service is bound once per process; until a binding succeeds every
// call tries again. Raises 0x8007000E when a text cannot be copied.
std::wstring moGetLocalizedString(long number, const wchar_t* defaultText, const wchar_t* section);
// One of the library's own texts, with its default.
std::wstring moGetTsText(TsText number);
const wchar_t* mpGetTsDefault(TsText number) noexcept;

// Tests only: release the binding so the next call binds again.
void zvForgetLocalizedStrings() noexcept;

} // namespace ffm
