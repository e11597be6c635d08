// The menu extension on real menus: ids handed out by the host, the built-in item and the items
// of previews in a view menu, help texts, and picking an item.
#include "UiTestKit.h"

#include "support/ComMemoryLedger.h"
#include "support/NavigatorStub.h"
#include "ui/StaticMenuItemHandler.h"
#include <FileFmtMgr/ComError.h>
#include <FileFmtMgr/MenuExtension.h>
#include <FileFmtMgr/MenuItems.h>
#include <tuple>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

constexpr unsigned long kPreviewMask = 0x4, kMenuMask = 0x14;
constexpr const wchar_t* kBuiltInText = L"Excluded File Types...";
constexpr const wchar_t* kBuiltInHelp = L"Select file types that should not be displayed in the preview.";

// A preview that offers the menu items the test gives it and records the commands it receives.
class FakePreview : public FakeObject<ffm::PreviewBase> {
  public:
    explicit FakePreview(std::vector<ffm::OfferedMenuItem> items = {}) : items(std::move(items)) {}

    HRESULT STDMETHODCALLTYPE GetMenuItems(ITovRegistry* registry, long* count,
                                           TovPreviewMenuItem** out) override {
        ++menuRequests;
        askedWith = registry;
        return FAILED(itemsResult) ? itemsResult
                                   : ffm::HandOutMenuItems(items.data(), items.size(), count, out);
    }
    HRESULT STDMETHODCALLTYPE OnMenuCommand(long id, long command, long menu, long window,
                                            ITovRegistry* registry) override {
        return NoThrow([&] {
            commands.emplace_back(id, command, menu, window, registry);
            return commandResult;
        });
    }
    using Command = std::tuple<long, long, long, long, ITovRegistry*>; // id, command, menu, window
    std::vector<ffm::OfferedMenuItem> items;
    HRESULT itemsResult = S_OK;
    HRESULT commandResult = S_OK;
    int menuRequests = 0;
    ITovRegistry* askedWith = nullptr;
    std::vector<Command> commands;
};

// Another face of a preview: QueryInterface for IUnknown answers the preview's own identity.
class PreviewAlias : public FakePreview {
  public:
    explicit PreviewAlias(FakePreview* target) : target(target) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown)
            return target->QueryInterface(iid, out);
        return FakePreview::QueryInterface(iid, out);
    }
    ComPtr<FakePreview> target;
};

class FakeRegistry : public FakeObject<ITovRegistry> {
  public:
    HRESULT STDMETHODCALLTYPE GetIntValue(BSTR, long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIntValue(BSTR, long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStringValue(BSTR, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStringValue(BSTR, BSTR) override { return E_NOTIMPL; }
};

class SubFile : public NavigatorStub {
  public:
    SubFile() : NavigatorStub(nullptr) {}
    HRESULT STDMETHODCALLTYPE OnSubFileMenuCommand(ITovRegistry* registry, ITovCallback* callback,
                                                   long window, long command, long otherCount,
                                                   ITovFileNavigator** others) override {
        return NoThrow([&] {
            calls.emplace_back(registry, callback, window, command,
                               std::vector<ITovFileNavigator*>(others, others + otherCount));
            return result;
        });
    }
    using Call = std::tuple<ITovRegistry*, ITovCallback*, long, long, std::vector<ITovFileNavigator*>>;
    std::vector<Call> calls;
    HRESULT result = S_OK;
};

// The protected producers, open to the tests.
class TestExtension : public MenuExtension {
  public:
    using MenuExtension::mbAddItem;
    using MenuExtension::mvFillViewMenu;
    using MenuExtension::mvInit;
    using MenuExtension::ViewMenuSource;
};

std::wstring MenuText(HMENU menu, int position) {
    wchar_t text[256] = {};
    GetMenuStringW(menu, position, text, 256, MF_BYPOSITION);
    return text;
}

// A popup menu with the host's own items "A" and "B" (ids 1 and 2).
ffm::UniqueHMenu HostMenu() {
    ffm::UniqueHMenu menu(CreatePopupMenu());
    AppendMenuW(menu.get(), MF_STRING, 1, L"A");
    AppendMenuW(menu.get(), MF_STRING, 2, L"B");
    return menu;
}

long Low32(const void* handle) {
    return static_cast<long>(reinterpret_cast<LONG_PTR>(handle));
}

using MenuExtensionTest = UiTest;

} // namespace

TEST(MenuExtension, IdsGrowFromTheFirstIdWhileATakenIdOrAGoneMenuAddsNothing) {
    TestExtension ext;
    const ffm::UniqueHMenu menu(CreatePopupMenu());
    ComPtr<FakePreview> preview(new FakePreview);
    ext.mvInit(menu.get(), 40000, nullptr);
    EXPECT_EQ(40000, ext.miGetNextFreeID());
    EXPECT_FALSE(ext.mbIsMyMenuID(40000)) << "nothing added yet";
    for (int id : {40000, 40001, 40002})
        ASSERT_TRUE(ext.mbAddItem(L"item", L"help", 0, L"", 0, 1, 0, id, -1, preview.get(), nullptr));
    EXPECT_EQ(40003, ext.miGetNextFreeID());
    const ULONG refs = preview->RefCount();
    EXPECT_FALSE(ext.mbAddItem(L"two", L"second", 0, L"", 0, 2, 0, 40001, -1, preview.get(), nullptr));
    EXPECT_EQ(3, GetMenuItemCount(menu.get())) << "a taken id adds nothing";
    EXPECT_EQ(L"help", ext.moGetContextHelp(40001));
    EXPECT_EQ(refs, preview->RefCount());

    // A lower first id later keeps every id handed out before.
    ext.mvInit(menu.get(), 30000, nullptr);
    EXPECT_EQ(40003, ext.miGetNextFreeID());
    for (const auto& [id, mine] : {std::pair(29999, false), {30000, true}, {40002, true}, {40003, false}})
        EXPECT_EQ(mine, ext.mbIsMyMenuID(id)) << id;
    EXPECT_EQ(L"", ext.moGetContextHelp(40000)) << "the items went with the re-initialisation";
    EXPECT_EQ(3, GetMenuItemCount(menu.get())) << "but stay in the host's menu";
    EXPECT_EQ(1u, preview->RefCount());

    // A menu that is gone takes no item: nothing is kept and the ids do not move on.
    HMENU gone = CreatePopupMenu();
    DestroyMenu(gone);
    ComMemoryLedger ledger;
    ComPtr<FakePreview> items(new FakePreview({{1, L"x", L"h"}, {2, L"y", L"h"}}));
    ext.mvFillViewMenu(gone, 50000, 0, nullptr, {{items.get(), nullptr, kMenuMask}});
    EXPECT_FALSE(ext.mbIsMyMenuID(50000));
    EXPECT_EQ(L"", ext.moGetContextHelp(50000));
    EXPECT_EQ(40003, ext.miGetNextFreeID());
    EXPECT_EQ(1u, items->RefCount()) << "no item keeps the preview";
    EXPECT_EQ("", ledger.Problems());
}

TEST_F(MenuExtensionTest, PreviewItemsFollowTheBuiltInItemFromThePositionOn) {
    ComMemoryLedger ledger;
    const ffm::UniqueHMenu menu = HostMenu();
    ComPtr<FakeRegistry> registry(new FakeRegistry);
    ComPtr<FakePreview> first(new FakePreview({{11, L"Wireframe", L"Draw edges only."},
                                               {12, L"Shaded", L"Draw filled faces.", MFS_CHECKED},
                                               {13, L"Section", L"Not for this file.", MFS_GRAYED}}));
    ComPtr<FakePreview> failing(new FakePreview({{21, L"never", L""}}));
    failing->itemsResult = E_FAIL;
    ComPtr<FakePreview> without(new FakePreview({{31, L"never", L""}}));
    ComPtr<PreviewAlias> alias(new PreviewAlias(first.get()));
    ComPtr<FakePreview> last(new FakePreview({{41, L"Zoom to fit", L"Whole file."}}));
    const ComPtr<ITovFilePreview> handler = StaticMenuItemHandler::zoCreate();

    TestExtension ext;
    ext.mvFillViewMenu(menu.get(), 40000, 1, handler.get(),
                       {{first.get(), registry.get(), kMenuMask},
                        {first.get(), registry.get(), kMenuMask}, // registered under a second extension
                        {failing.get(), nullptr, kMenuMask},
                        {without.get(), nullptr, kPreviewMask},
                        {alias.get(), nullptr, kMenuMask}, // the same object behind another pointer
                        {last.get(), nullptr, kMenuMask | 0x1}});

    const struct {
        const wchar_t* text;
        UINT id;
        UINT state; // checked and grayed bits
    } expected[] = {
        {L"A", 1, 0},
        {kBuiltInText, 40000, 0},
        {L"Wireframe", 40001, 0},
        {L"Shaded", 40002, MF_CHECKED},
        {L"Section", 40003, MF_GRAYED},
        {L"Zoom to fit", 40004, 0},
        {L"B", 2, 0},
    };
    ASSERT_EQ(int(std::size(expected)), GetMenuItemCount(menu.get()));
    for (int i = 0; i < GetMenuItemCount(menu.get()); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].text, MenuText(menu.get(), i));
        EXPECT_EQ(expected[i].id, GetMenuItemID(menu.get(), i));
        EXPECT_EQ(expected[i].state, GetMenuState(menu.get(), i, MF_BYPOSITION) & (MF_CHECKED | MF_GRAYED));
    }
    EXPECT_EQ(1, first->menuRequests) << "one preview object is asked once";
    EXPECT_EQ(registry.get(), first->askedWith);
    EXPECT_EQ(1, failing->menuRequests);
    EXPECT_EQ(0, without->menuRequests);
    EXPECT_EQ(0, alias->menuRequests);
    EXPECT_EQ(1, last->menuRequests) << "asked after a preview that failed";
    EXPECT_EQ(kBuiltInHelp, ext.moGetContextHelp(40000));
    EXPECT_EQ(L"Whole file.", ext.moGetContextHelp(40004));
    EXPECT_EQ(40005, ext.miGetNextFreeID());
    EXPECT_EQ("", ledger.Problems()) << "every reported record and string is freed";
}

TEST_F(MenuExtensionTest, PickingAnItemReachesItsHandlerWithTheMenuAndTheWindow) {
    const ffm::UniqueHMenu menu = HostMenu();
    ComPtr<FakeRegistry> registry(new FakeRegistry);
    ComPtr<FakePreview> styles(new FakePreview({{11, L"Wireframe", L""}, {12, L"Shaded", L""}}));
    ComPtr<FakePreview> broken(new FakePreview({{21, L"Broken", L""}}));
    broken->commandResult = E_UNEXPECTED;
    const ComPtr<ITovFilePreview> handler = StaticMenuItemHandler::zoCreate();
    TestExtension ext;
    ext.mvFillViewMenu(menu.get(), 40000, -1, handler.get(),
                       {{styles.get(), registry.get(), kMenuMask}, {broken.get(), nullptr, kMenuMask}});

    const HWND window = reinterpret_cast<HWND>(0x1234);
    const struct {
        int id;
        HRESULT answer;
        bool handled;
        bool refresh;
        FakePreview* reached;
        long command;
    } picks[] = {
        {40002, S_OK, true, false, styles.get(), 12},
        {40001, 1, true, true, styles.get(), 11}, // the handler asks for a redraw
        {40003, E_UNEXPECTED, false, false, broken.get(), 21},
        {40099, S_OK, false, false, nullptr, 0}, // not an item of the extension
    };
    for (const auto& pick : picks) {
        SCOPED_TRACE(pick.id);
        styles->commandResult = pick.answer;
        const size_t before = styles->commands.size() + broken->commands.size();
        bool refresh = !pick.refresh;
        EXPECT_EQ(pick.handled, ext.mbOnMenuItem(pick.id, menu.get(), window, nullptr, &refresh));
        EXPECT_EQ(pick.refresh, refresh);
        EXPECT_EQ(before + (pick.reached ? 1 : 0), styles->commands.size() + broken->commands.size());
        if (!pick.reached)
            continue;
        ITovRegistry* const withRegistry = pick.reached == styles.get() ? registry.get() : nullptr;
        EXPECT_EQ(FakePreview::Command(pick.id, pick.command, Low32(menu.get()), Low32(window), withRegistry),
                  pick.reached->commands.back());
    }
    styles->commandResult = 1;
    EXPECT_TRUE(ext.mbOnMenuItem(40001, menu.get(), window, nullptr, nullptr)) << "refresh need not be given";
}

TEST_F(MenuExtensionTest, SubFileItemsGoToTheFirstNavigatorWithTheOthers) {
    ComPtr<SubFile> a(new SubFile), b(new SubFile), c(new SubFile);
    ComPtr<FakeRegistry> registry(new FakeRegistry);
    ComPtr<RecordingCallback> callback(new RecordingCallback);
    const HWND window = reinterpret_cast<HWND>(0x5678);
    const struct {
        std::list<ITovFileNavigator*> selected;
        HRESULT answer;
        bool handled, refresh;
        std::vector<ITovFileNavigator*> others;
    } cases[] = {
        {{a.get(), b.get(), c.get()}, 1, true, true, {b.get(), c.get()}},
        {{a.get(), c.get()}, E_FAIL, false, false, {c.get()}},
        {{}, S_OK, true, false, {}}, // nobody to ask
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.selected.size());
        a->calls.clear();
        a->result = k.answer;
        {
            const ffm::UniqueHMenu menu(CreatePopupMenu());
            TestExtension ext;
            ext.mvInit(menu.get(), 500, &k.selected);
            ASSERT_TRUE(
                ext.mbAddItem(L"Open sub-file", L"", 0, L"", 0, 77, 0, 500, -1, nullptr, registry.get()));
            bool refresh = !k.refresh;
            EXPECT_EQ(k.handled, ext.mbOnMenuItem(500, menu.get(), window, callback.get(), &refresh));
            EXPECT_EQ(k.refresh, refresh);
            const SubFile::Call expected{registry.get(), callback.get(), Low32(window), 77, k.others};
            EXPECT_EQ(std::vector<SubFile::Call>(k.selected.empty() ? 0 : 1, expected), a->calls);
        }
        EXPECT_EQ(1u, a->RefCount()) << "the extension let its navigators go";
    }
}

TEST_F(MenuExtensionTest, MemoryExhaustionAtEveryPointRaisesAndLeavesNothingBehind) {
    ComPtr<FakeRegistry> registry(new FakeRegistry);
    ComPtr<FakePreview> preview(
        new FakePreview({{11, L"Wireframe", L"Draw edges only."}, {12, L"Shaded", L""}}));
    const ComPtr<ITovFilePreview> handler = StaticMenuItemHandler::zoCreate();
    int completed = 0;
    ffm::UniqueHMenu menu;
    const std::vector<TestExtension::ViewMenuSource> sources{{preview.get(), registry.get(), kMenuMask}};
    std::unique_ptr<TestExtension> ext;
    const int points = ForEachAllocationFailure(
        [&] {
            menu = HostMenu();
            ext = std::make_unique<TestExtension>();
        },
        [&](int) {
            try {
                ext->mvFillViewMenu(menu.get(), 40000, -1, handler.get(), sources);
                ++completed;
            } catch (const ffm::ComError& e) {
                EXPECT_EQ(E_OUTOFMEMORY, e.Error());
            }
        },
        [&](int) {
            ext.reset();
            menu.reset();
            EXPECT_EQ(1u, preview->RefCount());
            EXPECT_EQ(1u, registry->RefCount());
        });
    EXPECT_GT(points, 3);
    EXPECT_EQ(1, completed) << "only the run past every allocation point completes";
}
