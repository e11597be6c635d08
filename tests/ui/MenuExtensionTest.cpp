// The menu extension on real menus: ids handed out by the host, the built-in item and the items
// of previews in a view menu, help texts, and picking an item through WM_COMMAND of a real window.
#include "UiTestKit.h"

#include "support/ComMemoryLedger.h"
#include "support/NavigatorStub.h"
#include "ui/StaticMenuItemHandler.h"
#include "ui/UiResources.h"
#include <FileFmtMgr/ComError.h>
#include <FileFmtMgr/FilePreviewWnd.h>
#include <FileFmtMgr/MenuExtension.h>
#include <gtest/gtest.h>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

constexpr unsigned long kPreviewMask = 0x4, kMenuMask = 0x14;
constexpr const wchar_t* kBuiltInText = L"Excluded File Types...";
constexpr const wchar_t* kBuiltInHelp = L"Select file types that should not be displayed in the preview.";

struct Record {
    long state;
    long command;
    const wchar_t* text;
    const wchar_t* help;
    long numberA;
    const wchar_t* textB; // null: no BSTR
    long numberB;
};

// A preview that reports the menu items the test gives it and records the commands it receives.
class FakePreview : public FakeObject<ffm::PreviewBase> {
  public:
    explicit FakePreview(LiveCounter* counter, std::vector<Record> records = {})
        : FakeObject(counter), records(std::move(records)) {}

    HRESULT STDMETHODCALLTYPE GetMenuItems(ITovRegistry* registry, long* count,
                                           TovPreviewMenuItem** items) override {
        ++menuRequests;
        askedWith = registry;
        if (FAILED(itemsResult))
            return itemsResult;
        auto* out = static_cast<TovPreviewMenuItem*>(
            CoTaskMemAlloc(sizeof(TovPreviewMenuItem) * (records.size() + 1)));
        if (!out)
            return E_OUTOFMEMORY;
        for (size_t i = 0; i < records.size(); ++i) {
            const Record& r = records[i];
            out[i] = {r.state,
                      r.command,
                      SysAllocString(r.text),
                      SysAllocString(r.help),
                      r.numberA,
                      r.textB ? SysAllocString(r.textB) : nullptr,
                      r.numberB};
        }
        *count = static_cast<long>(records.size());
        *items = out;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnMenuCommand(long id, long command, long menu, long window,
                                            ITovRegistry* registry) override {
        return NoThrow([&] {
            commands.push_back({id, command, menu, window, registry});
            return commandResult;
        });
    }
    struct Command {
        long id, command, menu, window;
        ITovRegistry* registry;
    };
    std::vector<Record> records;
    HRESULT itemsResult = S_OK;
    HRESULT commandResult = S_OK;
    int menuRequests = 0;
    ITovRegistry* askedWith = nullptr;
    std::vector<Command> commands;
};

// Another face of a preview: QueryInterface for IUnknown answers the preview's own identity.
class PreviewAlias : public FakePreview {
  public:
    PreviewAlias(LiveCounter* counter, FakePreview* target) : FakePreview(counter), target(target) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown)
            return target->QueryInterface(iid, out);
        return FakePreview::QueryInterface(iid, out);
    }
    ComPtr<FakePreview> target;
};

class FakeRegistry : public FakeObject<ITovRegistry> {
  public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE GetIntValue(BSTR, long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIntValue(BSTR, long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStringValue(BSTR, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStringValue(BSTR, BSTR) override { return E_NOTIMPL; }
};

class SubFile : public NavigatorStub {
  public:
    using NavigatorStub::NavigatorStub;
    HRESULT STDMETHODCALLTYPE OnSubFileMenuCommand(ITovRegistry* registry, ITovCallback* callback,
                                                   long window, long command, long otherCount,
                                                   ITovFileNavigator** others) override {
        return NoThrow([&] {
            calls.push_back({registry, callback, window, command, {}});
            for (long i = 0; i < otherCount; ++i)
                calls.back().others.push_back(others[i]);
            return result;
        });
    }
    struct Call {
        ITovRegistry* registry;
        ITovCallback* callback;
        long window, command;
        std::vector<ITovFileNavigator*> others;
    };
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

// A popup menu with the host's own items "A" to "E" (ids 1 to 5).
HMENU HostMenu() {
    HMENU menu = CreatePopupMenu();
    for (int i = 0; i < 5; ++i)
        AppendMenuW(menu, MF_STRING, i + 1, std::wstring(1, wchar_t(L'A' + i)).c_str());
    return menu;
}

long Low32(const void* handle) {
    return static_cast<long>(reinterpret_cast<LONG_PTR>(handle));
}

class MenuExtensionTest : public UiTest {
  protected:
    LiveCounter previews, registries, navigators;
};

} // namespace

TEST(MenuExtension, IdsGrowFromTheFirstIdAndSurviveReinitialisation) {
    TestExtension ext;
    EXPECT_EQ(-1, ext.miGetNextFreeID());
    for (int id : {-2, -1, 0, 40000})
        EXPECT_FALSE(ext.mbIsMyMenuID(id)) << id;

    HMENU menu = CreatePopupMenu();
    ext.mvInit(menu, 40000, nullptr);
    EXPECT_EQ(40000, ext.miGetNextFreeID());
    EXPECT_FALSE(ext.mbIsMyMenuID(40000)) << "nothing added yet";
    for (int id : {40000, 40001, 40002})
        ASSERT_TRUE(ext.mbAddItem(L"item", L"help", 0, L"", 0, 1, 0, id, -1, nullptr, nullptr));
    EXPECT_EQ(40003, ext.miGetNextFreeID());

    // A lower first id later keeps every id handed out before.
    ext.mvInit(menu, 30000, nullptr);
    EXPECT_EQ(40003, ext.miGetNextFreeID());
    EXPECT_TRUE(ext.mbIsMyMenuID(30000));
    EXPECT_TRUE(ext.mbIsMyMenuID(40002));
    EXPECT_FALSE(ext.mbIsMyMenuID(29999));
    EXPECT_FALSE(ext.mbIsMyMenuID(40003));
    EXPECT_EQ(L"", ext.moGetContextHelp(40000)) << "the items went with the re-initialisation";
    EXPECT_EQ(3, GetMenuItemCount(menu)) << "but stay in the host's menu";
    DestroyMenu(menu);
}

TEST_F(MenuExtensionTest, WithoutPreviewItemsTheViewMenuEndsWithTheBuiltInItem) {
    HMENU menu = HostMenu();
    ComPtr<FakePreview> plain(new FakePreview(&previews, {{0, 7, L"never", L"", 0, nullptr, 0}}));
    const ComPtr<ITovFilePreview> handler = StaticMenuItemHandler::zoCreate();
    TestExtension ext;
    ext.mvFillViewMenu(menu, 40000, -1, handler.get(), {{plain.get(), nullptr, kPreviewMask}});

    ASSERT_EQ(6, GetMenuItemCount(menu));
    EXPECT_EQ(kBuiltInText, MenuText(menu, 5));
    EXPECT_EQ(40000u, GetMenuItemID(menu, 5));
    EXPECT_EQ(0, plain->menuRequests) << "a preview without the menu bit is not asked";
    EXPECT_TRUE(ext.mbIsMyMenuID(40000));
    EXPECT_EQ(40001, ext.miGetNextFreeID());
    EXPECT_EQ(kBuiltInHelp, ext.moGetContextHelp(40000));
    EXPECT_EQ(L"", ext.moGetContextHelp(40001));
    EXPECT_EQ(L"", ext.moGetContextHelp(3));

    // In the user's language when the service has it.
    SetLanguage(L"DE");
    ext.mvFillViewMenu(menu, 40001, -1, handler.get(), {});
    EXPECT_EQ(L"Ausgeschlossene Dateitypen...", MenuText(menu, 6));
    EXPECT_EQ(L"Dateitypen w\u00e4hlen, die nicht in der Vorschau angezeigt werden sollen.",
              ext.moGetContextHelp(40001));
    DestroyMenu(menu);
}

TEST_F(MenuExtensionTest, PreviewItemsFollowTheBuiltInItemFromThePositionOn) {
    ComMemoryLedger ledger;
    HMENU menu = HostMenu();
    ComPtr<FakeRegistry> registry(new FakeRegistry(&registries));
    ComPtr<FakePreview> first(
        new FakePreview(&previews, {{0, 11, L"Wireframe", L"Draw edges only.", 5, L"b", 6},
                                    {MFS_CHECKED, 12, L"Shaded", L"Draw filled faces.", 0, nullptr, 0},
                                    {MFS_GRAYED, 13, L"Section", L"Not for this file.", 0, nullptr, 0}}));
    ComPtr<FakePreview> failing(new FakePreview(&previews, {{0, 21, L"never", L"", 0, nullptr, 0}}));
    failing->itemsResult = E_FAIL;
    ComPtr<FakePreview> without(new FakePreview(&previews, {{0, 31, L"never", L"", 0, nullptr, 0}}));
    ComPtr<PreviewAlias> alias(new PreviewAlias(&previews, first.get()));
    ComPtr<FakePreview> last(
        new FakePreview(&previews, {{0, 41, L"Zoom to fit", L"Whole file.", 0, L"", 0}}));
    const ComPtr<ITovFilePreview> handler = StaticMenuItemHandler::zoCreate();

    TestExtension ext;
    ext.mvFillViewMenu(menu, 40000, 3, handler.get(),
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
        {L"B", 2, 0},
        {L"C", 3, 0},
        {kBuiltInText, 40000, 0},
        {L"Wireframe", 40001, 0},
        {L"Shaded", 40002, MF_CHECKED},
        {L"Section", 40003, MF_GRAYED},
        {L"Zoom to fit", 40004, 0},
        {L"D", 4, 0},
        {L"E", 5, 0},
    };
    ASSERT_EQ(int(std::size(expected)), GetMenuItemCount(menu));
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].text, MenuText(menu, i));
        EXPECT_EQ(expected[i].id, GetMenuItemID(menu, i));
        EXPECT_EQ(expected[i].state, GetMenuState(menu, i, MF_BYPOSITION) & (MF_CHECKED | MF_GRAYED));
    }
    EXPECT_EQ(1, first->menuRequests) << "one preview object is asked once";
    EXPECT_EQ(registry.get(), first->askedWith);
    EXPECT_EQ(1, failing->menuRequests);
    EXPECT_EQ(0, without->menuRequests);
    EXPECT_EQ(0, alias->menuRequests);
    EXPECT_EQ(1, last->menuRequests) << "asked after a preview that failed";
    EXPECT_EQ(L"Draw filled faces.", ext.moGetContextHelp(40002));
    EXPECT_EQ(L"Whole file.", ext.moGetContextHelp(40004));
    EXPECT_EQ(40005, ext.miGetNextFreeID());
    EXPECT_EQ("", ledger.Problems()) << "every reported record and string is freed";
    DestroyMenu(menu);
}

TEST_F(MenuExtensionTest, ATakenIdOrARefusingMenuAddsNothing) {
    HMENU menu = HostMenu();
    ComPtr<FakePreview> preview(new FakePreview(&previews));
    TestExtension ext;
    ext.mvInit(menu, 100, nullptr);
    ASSERT_TRUE(ext.mbAddItem(L"one", L"first", 0, L"", 0, 1, 0, 100, -1, preview.get(), nullptr));
    const ULONG refs = preview->RefCount();
    EXPECT_FALSE(ext.mbAddItem(L"two", L"second", 0, L"", 0, 2, 0, 100, -1, preview.get(), nullptr));
    EXPECT_EQ(6, GetMenuItemCount(menu));
    EXPECT_EQ(L"first", ext.moGetContextHelp(100));
    EXPECT_EQ(refs, preview->RefCount());

    // A menu that is gone takes no item: nothing is kept and the ids do not move on.
    HMENU gone = CreatePopupMenu();
    DestroyMenu(gone);
    ComMemoryLedger ledger;
    ComPtr<FakePreview> items(
        new FakePreview(&previews, {{0, 1, L"x", L"h", 0, nullptr, 0}, {0, 2, L"y", L"h", 0, nullptr, 0}}));
    ext.mvFillViewMenu(gone, 200, 0, nullptr, {{items.get(), nullptr, kMenuMask}});
    EXPECT_FALSE(ext.mbIsMyMenuID(200));
    EXPECT_EQ(L"", ext.moGetContextHelp(200));
    EXPECT_EQ(1, items->RefCount()) << "no item keeps the preview";
    EXPECT_EQ("", ledger.Problems());
    DestroyMenu(menu);
}

TEST_F(MenuExtensionTest, PickingAnItemReachesItsHandlerThroughTheHostWindow) {
    HostWindow host;
    HMENU menu = HostMenu();
    ComPtr<FakeRegistry> registry(new FakeRegistry(&registries));
    ComPtr<FakePreview> styles(new FakePreview(
        &previews, {{0, 11, L"Wireframe", L"", 0, nullptr, 0}, {0, 12, L"Shaded", L"", 0, nullptr, 0}}));
    ComPtr<FakePreview> broken(new FakePreview(&previews, {{0, 21, L"Broken", L"", 0, nullptr, 0}}));
    broken->commandResult = E_UNEXPECTED;
    const ComPtr<ITovFilePreview> handler = StaticMenuItemHandler::zoCreate();
    TestExtension ext;
    ext.mvFillViewMenu(menu, 40000, -1, handler.get(),
                       {{styles.get(), registry.get(), kMenuMask}, {broken.get(), nullptr, kMenuMask}});

    bool handled = false, refresh = true;
    host.onCommand = [&](WPARAM wParam, LPARAM) {
        handled = ext.mbOnMenuItem(LOWORD(wParam), menu, host.Get(), nullptr, &refresh);
    };
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
        SendMessageW(host.Get(), WM_COMMAND, MAKEWPARAM(pick.id, 0), 0);
        EXPECT_EQ(pick.handled, handled);
        EXPECT_EQ(pick.refresh, refresh);
        if (!pick.reached) {
            EXPECT_EQ(before, styles->commands.size() + broken->commands.size());
            continue;
        }
        ASSERT_FALSE(pick.reached->commands.empty());
        const auto& call = pick.reached->commands.back();
        EXPECT_EQ(pick.id, call.id);
        EXPECT_EQ(pick.command, call.command);
        EXPECT_EQ(Low32(menu), call.menu);
        EXPECT_EQ(Low32(host.Get()), call.window);
        EXPECT_EQ(pick.reached == styles.get() ? registry.get() : nullptr, call.registry);
    }
    styles->commandResult = 1;
    EXPECT_TRUE(ext.mbOnMenuItem(40001, menu, host.Get(), nullptr, nullptr)) << "refresh need not be given";
    DestroyMenu(menu);
}

TEST_F(MenuExtensionTest, TheBuiltInItemOpensTheExcludedTypesDialog) {
    HostWindow host;
    HMENU menu = HostMenu();
    const ComPtr<ITovFilePreview> handler = StaticMenuItemHandler::zoCreate();
    TestExtension ext;
    ext.mvFillViewMenu(menu, 40000, 0, handler.get(), {});
    StoreList(L"dwg");

    bool handled = false, refresh = true;
    host.onCommand = [&](WPARAM wParam, LPARAM) {
        handled = ext.mbOnMenuItem(LOWORD(wParam), menu, host.Get(), nullptr, &refresh);
    };
    HWND owner = nullptr;
    DialogDriver driver(L"Excluded File Types", [&](HWND dialog) {
        owner = GetWindow(dialog, GW_OWNER);
        TypeInto(GetDlgItem(dialog, IDC_EXCLUDE_LIST), L"exe");
        Click(dialog, IDOK);
    });
    SendMessageW(host.Get(), WM_COMMAND, MAKEWPARAM(40000, 0), 0);
    EXPECT_TRUE(driver.Finish());
    EXPECT_TRUE(handled);
    EXPECT_FALSE(refresh);
    EXPECT_EQ(host.Get(), owner);
    EXPECT_EQ(L"exe", ReadStoredList().text);

    // The handler's other answers.
    EXPECT_EQ(S_OK, handler->OnMenuCommand(40000, 2, 0, 0, nullptr));
    EXPECT_EQ(E_FAIL, handler->OnMenuCommand(40000, 3, 0, 0, nullptr));
    EXPECT_EQ(E_NOTIMPL, handler->Hide());
    EXPECT_EQ(E_NOTIMPL, handler->ShowFile(nullptr, nullptr, nullptr, 0));
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, handler->QueryInterface(IID_IUnknown, unknown.put_void()));
    EXPECT_EQ(static_cast<IUnknown*>(handler.get()), unknown.get());
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(E_NOINTERFACE, handler->QueryInterface(IID_IDispatch, dispatch.put_void()));
    EXPECT_EQ(nullptr, dispatch.get());
    DestroyMenu(menu);
}

TEST_F(MenuExtensionTest, SubFileItemsGoToTheFirstNavigatorWithTheOthers) {
    ComPtr<SubFile> a(new SubFile(&navigators)), b(new SubFile(&navigators)), c(new SubFile(&navigators));
    ComPtr<FakeRegistry> registry(new FakeRegistry(&registries));
    ComPtr<RecordingCallback> callback(new RecordingCallback);
    HostWindow host;
    HMENU menu = CreatePopupMenu();
    const struct {
        std::list<ITovFileNavigator*> selected;
        HRESULT answer;
        bool handled, refresh;
        std::vector<ITovFileNavigator*> others;
    } cases[] = {
        {{a.get(), b.get(), c.get()}, 1, true, true, {b.get(), c.get()}},
        {{a.get()}, S_OK, true, false, {}},
        {{a.get(), c.get()}, E_FAIL, false, false, {c.get()}},
        {{}, S_OK, true, false, {}}, // nobody to ask
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.selected.size());
        a->calls.clear();
        a->result = k.answer;
        {
            TestExtension ext;
            ext.mvInit(menu, 500, &k.selected);
            ASSERT_TRUE(ext.mbAddItem(L"Open sub-file", L"", 0, L"", 0, 77, 0, 500 + GetMenuItemCount(menu),
                                      -1, nullptr, registry.get()));
            bool refresh = !k.refresh;
            EXPECT_EQ(k.handled, ext.mbOnMenuItem(ext.miGetNextFreeID() - 1, menu, host.Get(), callback.get(),
                                                  &refresh));
            EXPECT_EQ(k.refresh, refresh);
            if (k.selected.empty()) {
                EXPECT_TRUE(a->calls.empty());
                continue;
            }
            ASSERT_EQ(1u, a->calls.size());
            EXPECT_EQ(registry.get(), a->calls[0].registry);
            EXPECT_EQ(callback.get(), static_cast<RecordingCallback*>(a->calls[0].callback));
            EXPECT_EQ(Low32(host.Get()), a->calls[0].window);
            EXPECT_EQ(77, a->calls[0].command);
            EXPECT_EQ(k.others, a->calls[0].others);
        }
        EXPECT_EQ(1u, a->RefCount()) << "the extension let its navigators go";
    }
    DestroyMenu(menu);
}

TEST_F(MenuExtensionTest, ManyMenusAndPicksReleaseEveryMenuAndObject) {
    HostWindow host;
    ComPtr<FakeRegistry> registry(new FakeRegistry(&registries));
    ComPtr<FakePreview> preview(new FakePreview(
        &previews, {{0, 11, L"Wireframe", L"", 0, nullptr, 0}, {0, 12, L"Shaded", L"", 0, nullptr, 0}}));
    const ComPtr<ITovFilePreview> handler = StaticMenuItemHandler::zoCreate();
    const int windows = ThreadWindowCount();
    std::vector<HMENU> menus;
    for (int i = 0; i < 200; ++i) {
        HMENU menu = HostMenu();
        menus.push_back(menu);
        TestExtension ext;
        ext.mvFillViewMenu(menu, 40000, 2, handler.get(), {{preview.get(), registry.get(), kMenuMask}});
        EXPECT_TRUE(ext.mbOnMenuItem(40001 + i % 2, menu, host.Get(), nullptr, nullptr));
        EXPECT_TRUE(DestroyMenu(menu));
    }
    for (HMENU menu : menus)
        EXPECT_FALSE(IsMenu(menu));
    EXPECT_EQ(1u, preview->RefCount());
    EXPECT_EQ(1u, registry->RefCount());
    const ULONG handlerRefs = handler->AddRef();
    handler->Release();
    EXPECT_EQ(2u, handlerRefs) << "the test's reference and this one";
    EXPECT_EQ(200u, preview->commands.size());
    EXPECT_EQ(windows, ThreadWindowCount());
}

TEST_F(MenuExtensionTest, MemoryExhaustionAtEveryPointRaisesAndLeavesNothingBehind) {
    ComPtr<FakeRegistry> registry(new FakeRegistry(&registries));
    ComPtr<FakePreview> preview(
        new FakePreview(&previews, {{0, 11, L"Wireframe", L"Draw edges only.", 0, L"b", 0},
                                    {0, 12, L"Shaded", L"", 0, nullptr, 0}}));
    const ComPtr<ITovFilePreview> handler = StaticMenuItemHandler::zoCreate();
    int completed = 0;
    HMENU menu = nullptr;
    const std::vector<TestExtension::ViewMenuSource> sources{{preview.get(), registry.get(), kMenuMask}};
    std::unique_ptr<TestExtension> ext;
    const int points = ForEachAllocationFailure(
        [&] {
            menu = HostMenu();
            ext = std::make_unique<TestExtension>();
        },
        [&](int) {
            try {
                ext->mvFillViewMenu(menu, 40000, -1, handler.get(), sources);
                ++completed;
            } catch (const ffm::ComError& e) {
                EXPECT_EQ(E_OUTOFMEMORY, e.Error());
            }
        },
        [&](int) {
            ext.reset();
            DestroyMenu(menu);
            EXPECT_EQ(1u, preview->RefCount());
            EXPECT_EQ(1u, registry->RefCount());
        });
    EXPECT_GT(points, 3);
    EXPECT_EQ(1, completed) << "only the run past every allocation point completes";
}

namespace {
// A preview window whose registration the test calls directly.
class RegisteringWindow : public FilePreviewWnd {
  public:
    void Add(ITovFilePreview* preview, ITovRegistry* registry, const wchar_t* extension, long mask,
             bool wildcard = false) {
        mvAddPreview(ComPtr<ITovFilePreview>(preview), registry, extension, mask, wildcard);
    }
};
} // namespace

TEST_F(MenuExtensionTest, ThePreviewWindowOffersEachMenuPreviewOnceAfterItsOwnItem) {
    ComPtr<FakeRegistry> registry(new FakeRegistry(&registries));
    ComPtr<FakePreview> parts(
        new FakePreview(&previews, {{0, 11, L"Wireframe", L"Edges only.", 0, nullptr, 0},
                                    {0, 12, L"Shaded", L"", 0, nullptr, 0}}));
    ComPtr<FakePreview> drawings(new FakePreview(&previews, {{0, 21, L"never", L"", 0, nullptr, 0}}));
    ComPtr<FakePreview> any(new FakePreview(&previews, {{MFS_GRAYED, 31, L"Hex view", L"", 0, nullptr, 0}}));
    {
        RegisteringWindow window;
        window.Add(parts.get(), registry.get(), L"MRDPRT", kMenuMask);
        window.Add(parts.get(), registry.get(), L"MRDASM", kMenuMask); // the same object again
        window.Add(drawings.get(), nullptr, L"DWG", kPreviewMask);
        window.Add(any.get(), nullptr, L"*", 0x10, true);

        HMENU empty = CreatePopupMenu();
        MenuExtension first;
        EXPECT_TRUE(RegisteringWindow().mbGetViewMenuExtension(empty, first, 40000, -1));
        ASSERT_EQ(1, GetMenuItemCount(empty)) << "a window without previews offers its own item only";
        EXPECT_EQ(kBuiltInText, MenuText(empty, 0));
        EXPECT_EQ(40000u, GetMenuItemID(empty, 0));
        EXPECT_EQ(40001, first.miGetNextFreeID());
        DestroyMenu(empty);

        HMENU menu = HostMenu();
        MenuExtension ext;
        EXPECT_TRUE(window.mbGetViewMenuExtension(menu, ext, 50000, 1));
        const wchar_t* texts[] = {L"A", kBuiltInText, L"Wireframe", L"Shaded", L"Hex view",
                                  L"B", L"C",         L"D",         L"E"};
        ASSERT_EQ(int(std::size(texts)), GetMenuItemCount(menu));
        for (int i = 0; i < GetMenuItemCount(menu); ++i)
            EXPECT_EQ(texts[i], MenuText(menu, i)) << i;
        EXPECT_EQ(50003u, GetMenuItemID(menu, 4));
        EXPECT_EQ(UINT(MF_GRAYED), GetMenuState(menu, 4, MF_BYPOSITION) & MF_GRAYED);
        EXPECT_EQ(1, parts->menuRequests);
        EXPECT_EQ(registry.get(), parts->askedWith);
        EXPECT_EQ(0, drawings->menuRequests);
        EXPECT_EQ(L"Edges only.", ext.moGetContextHelp(50001));
        EXPECT_EQ(kBuiltInHelp, ext.moGetContextHelp(50000));

        EXPECT_TRUE(ext.mbOnMenuItem(50002, menu, nullptr, nullptr, nullptr));
        ASSERT_EQ(1u, parts->commands.size());
        EXPECT_EQ(12, parts->commands[0].command);
        EXPECT_EQ(registry.get(), parts->commands[0].registry);

        // Filled again for the next time the menu opens: the same handler, ids going on.
        MenuExtension again;
        EXPECT_TRUE(window.mbGetViewMenuExtension(menu, again, ext.miGetNextFreeID(), -1));
        EXPECT_EQ(13, GetMenuItemCount(menu));
        EXPECT_EQ(50008, again.miGetNextFreeID());
        DestroyMenu(menu);
    }
    EXPECT_EQ(1u, parts->RefCount()) << "the window and the extensions let the previews go";
    EXPECT_EQ(1u, any->RefCount());
    EXPECT_EQ(1u, registry->RefCount());
}
