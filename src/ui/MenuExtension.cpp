#include <FileFmtMgr/MenuExtension.h>

#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "ui/LocalizedStrings.h"
#include "ui/ReportedMenuItems.h"
#include <new>

namespace {

// Previews with this capability bit contribute menu items.
constexpr unsigned long kMenuItemsCapability = 0x10;
// The built-in item's command for its handler: open the Excluded File Types dialog.
constexpr long kCommandExcludedTypes = 1;

long Low32(const void* handle) {
    return static_cast<long>(reinterpret_cast<LONG_PTR>(handle));
}

} // namespace

MenuExtension::MenuExtension() = default;

MenuExtension::~MenuExtension() {
    mvClear();
}

void MenuExtension::mvClear() {
    moNavigators.clear();
    moItems.clear();
}

void MenuExtension::mvInit(HMENU menu, int firstId, const std::list<ITovFileNavigator*>* navigators) {
    mvClear();
    mlFirstId = firstId;
    mhMenu = menu;
    if (navigators)
        for (ITovFileNavigator* navigator : *navigators)
            moNavigators.emplace_back(navigator);
}

bool MenuExtension::mbIsMyMenuID(int id) const {
    return mlFirstId <= id && id <= mlLastId;
}

int MenuExtension::miGetNextFreeID() {
    return mlLastId < 0 ? mlFirstId : mlLastId + 1;
}

std::wstring MenuExtension::moGetContextHelp(int id) {
    const auto found = moItems.find(id);
    return found == moItems.end() ? std::wstring() : found->second.moHelp;
}

bool MenuExtension::mbAddItem(const wchar_t* text, const wchar_t* help, int numberA, const wchar_t* textB,
                              long numberB, long command, long state, int id, int position,
                              ITovFilePreview* preview, ITovRegistry* registry) {
    if (moItems.count(id))
        return false;
    const wchar_t* label = text ? text : L"";
    const UINT_PTR itemId = static_cast<UINT_PTR>(static_cast<UINT>(id));
    const BOOL inserted = position < 0 ? ::AppendMenuW(mhMenu, MF_STRING, itemId, label)
                                       : ::InsertMenuW(mhMenu, static_cast<UINT>(position),
                                                       MF_BYPOSITION | MF_STRING, itemId, label);
    if (!inserted)
        return false;
    if (id > mlLastId)
        mlLastId = id;
    MenuItem item;
    item.moHelp = help ? help : L"";
    item.mlNumberA = numberA;
    item.moTextB = textB ? textB : L"";
    item.mlNumberB = numberB;
    item.mlCommand = command;
    item.mpoPreview = ffm::ComPtr<ITovFilePreview>(preview);
    item.mpoRegistry = ffm::ComPtr<ITovRegistry>(registry);
    moItems.emplace(id, std::move(item));
    if (state != 0) {
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_STATE;
        info.fState = static_cast<UINT>(state);
        ::SetMenuItemInfoW(mhMenu, itemId, FALSE, &info);
    }
    return true;
}

void MenuExtension::mvFillViewMenu(HMENU menu, int firstId, int position, ITovFilePreview* builtIn,
                                   const std::vector<ViewMenuSource>& sources) {
    try {
        mvInit(menu, firstId, nullptr);
        if (mbAddItem(ffm::moGetTsText(ffm::TsMenuItem).c_str(), ffm::moGetTsText(ffm::TsMenuHelp).c_str(), 0,
                      L"", 0, kCommandExcludedTypes, 0, firstId, position, builtIn, nullptr))
            ffm::AdvanceMenuPosition(firstId, position);
        std::vector<ffm::ComPtr<IUnknown>> asked; // identities, so a shared preview adds its items once
        for (const ViewMenuSource& source : sources) {
            if (!(source.mask & kMenuItemsCapability))
                continue;
            const auto identity = ffm::ComPtr<ITovFilePreview>(source.preview).query<IUnknown>();
            bool seen = false;
            for (const auto& earlier : asked)
                seen = seen || earlier.get() == identity.get();
            if (seen)
                continue;
            asked.push_back(identity);
            ffm::ReportedMenuItems items;
            if (FAILED(source.preview->GetMenuItems(source.registry, items.count(), items.items())))
                continue;
            for (long i = 0, n = items.size(); i < n; ++i) {
                const TovPreviewMenuItem& r = items[i];
                if (mbAddItem(r.mbsText, r.mbsHelp, r.mlNumberA, r.mbsTextB, r.mlNumberB, r.mlCommand,
                              r.mlState, firstId, position, source.preview, source.registry))
                    ffm::AdvanceMenuPosition(firstId, position);
            }
        }
    } catch (const std::bad_alloc&) {
        throw ffm::ComError(E_OUTOFMEMORY);
    }
}

bool MenuExtension::mbOnMenuItem(int id, HMENU menu, HWND window, ITovCallback* callback, bool* refresh) {
    if (refresh)
        *refresh = false;
    const auto found = moItems.find(id);
    if (found == moItems.end())
        return false;
    const MenuItem& item = found->second;
    HRESULT result = S_OK;
    try {
        if (item.mpoPreview) {
            result = item.mpoPreview->OnMenuCommand(id, item.mlCommand, Low32(menu), Low32(window),
                                                    item.mpoRegistry.get());
            ffm::ThrowIfFailed(result, item.mpoPreview.get(), __uuidof(ITovFilePreview));
        } else {
            if (moNavigators.empty())
                return true;
            const long others = static_cast<long>(moNavigators.size()) - 1;
            ffm::UniqueTaskMem<ITovFileNavigator*> array;
            if (!ffm::OtherNavigators(moNavigators, array))
                return false;
            ITovFileNavigator* first = moNavigators.front().get();
            result = first->OnSubFileMenuCommand(item.mpoRegistry.get(), callback, Low32(window),
                                                 item.mlCommand, others, array.get());
            ffm::ThrowIfFailed(result, first, __uuidof(ITovFileNavigator));
        }
    } catch (const ffm::ComError&) {
        return false; // the failure's description goes with it
    }
    if (result == 1 && refresh)
        *refresh = true;
    return true;
}
