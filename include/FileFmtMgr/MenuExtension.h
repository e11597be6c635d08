#pragma once
// MenuExtension: the items that plug-ins (and the library's own built-in item) add to one host
// menu, under command ids the host hands out. It remembers who handles each id, answers whether
// an id is its own, gives an item's status-bar help and carries an item out when it is picked.
// Used on the host's user-interface thread; it has no lock of its own.
#include <FileFmtMgr/Api.h>
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/TovContract.h>
#include <list>
#include <map>
#include <string>
#include <vector>

class FilePreviewWnd;
class FileFormatMgr;

class FFM_API MenuExtension {
  public:
    // One added item and its handler.
    struct MenuItem {
        std::wstring moHelp;
        int mlNumberA = 0; // numbers and text B are kept for the handler, never interpreted
        std::wstring moTextB;
        long mlNumberB = 0;
        long mlCommand = 0;                      // handed back to the handler when the item is picked
        ffm::ComPtr<ITovFilePreview> mpoPreview; // the handler; null for items of sub-files
        ffm::ComPtr<ITovRegistry> mpoRegistry;   // handed back to the handler; may be null
    };

    MenuExtension();
    MenuExtension(const MenuExtension&) = delete;
    MenuExtension& operator=(const MenuExtension&) = delete;
    // Releases every handler and navigator; the items stay in the host's menu.
    virtual ~MenuExtension();

    // True for every id from the current first id up to the highest id ever added here.
    bool mbIsMyMenuID(int id) const;
    // The first id while nothing was added, else one above the highest id ever added.
    int miGetNextFreeID();
    // The item's help text; empty for an id without item.
    std::wstring moGetContextHelp(int id);
    // Carries out the item with id (menu and window are handed to its handler). False for an
    // unknown id or a failing handler; refresh (may be null) becomes true when the handler
    // answered 1, asking the host to redraw.
    bool mbOnMenuItem(int id, HMENU menu, HWND window, ITovCallback* callback, bool* refresh);

  protected:
    // A preview that may contribute items to a view menu (its holder's mask says whether it does).
    struct ViewMenuSource {
        ITovFilePreview* preview;
        ITovRegistry* registry;
        unsigned long mask;
    };

    // Empties the extension, then records the menu, the first id and a reference to each
    // navigator in order. The highest id added so far is kept.
    void mvInit(HMENU menu, int firstId, const std::list<ITovFileNavigator*>* navigators);
    // Releases every navigator and every item's handler and registry; the menu is not touched.
    void mvClear();
    // Inserts one text item before the item at position (appends when position is negative) and
    // keeps its handler. False, with the menu untouched, when id is taken; false when the menu
    // refuses the item. state, when not 0, becomes the new item's state.
    bool mbAddItem(const wchar_t* text, const wchar_t* help, int numberA, const wchar_t* textB, long numberB,
                   long command, long state, int id, int position, ITovFilePreview* preview,
                   ITovRegistry* registry);
    // Fills the extension for a preview window's view menu: the built-in "Excluded File Types..."
    // item handled by builtIn, then the items of every distinct preview among sources whose mask
    // has 0x10, in order, from firstId and position on. Raises a failed identity query and
    // memory exhaustion.
    void mvFillViewMenu(HMENU menu, int firstId, int position, ITovFilePreview* builtIn,
                        const std::vector<ViewMenuSource>& sources);

  private:
    friend class FilePreviewWnd;
    friend class FileFormatMgr;

    int mlLastId = -2;
    int mlFirstId = -1;
    HMENU mhMenu = nullptr; // the host's; never destroyed here
    std::map<int, MenuItem> moItems;
    std::list<ffm::ComPtr<ITovFileNavigator>> moNavigators; // the selected sub-files, host's order
};
