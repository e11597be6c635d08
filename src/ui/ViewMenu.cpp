// The preview pane's view menu: the window hands its previews to the menu extension.
#include <FileFmtMgr/FilePreviewWnd.h>
#include <FileFmtMgr/MenuExtension.h>

#include "ui/StaticMenuItemHandler.h"

bool FilePreviewWnd::mbGetViewMenuExtension(HMENU menu, MenuExtension& extension, int firstId, int position) {
    auto lock = moLock.Lock();
    if (!mpoMenuHandler)
        mpoMenuHandler = StaticMenuItemHandler::zoCreate();
    std::vector<MenuExtension::ViewMenuSource> sources;
    sources.reserve(moHolders.size());
    for (const auto& holder : moHolders)
        sources.push_back(
            {holder->preview.get(), holder->registry.get(), static_cast<unsigned long>(holder->mask)});
    extension.mvFillViewMenu(menu, firstId, position, mpoMenuHandler.get(), sources);
    return true;
}
