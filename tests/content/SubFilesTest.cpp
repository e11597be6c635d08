// Inner files and folders of containers through the manager: every navigator the plug-in hands
// out reaches the caller or is released, exactly once, whatever the plug-in answers and wherever
// memory runs out; the context menu of selected inner files and picking one of its items; and
// the real compound-document plug-in listed through a registered manager.
#include "manager/ManagerTestKit.h"
#include "support/ComMemoryLedger.h"
#include "support/CompoundFiles.h"
#include "support/SamplePlugin.h"

#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/MenuExtension.h>
#include <gtest/gtest.h>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

// A container whose listing methods answer as the test says: a result, a claimed count and how
// many children are really in the array.
class Container : public NavigatorStub {
  public:
    explicit Container(LiveCounter* children) : children(children) {}

    HRESULT STDMETHODCALLTYPE GetSubFiles(ITovRegistry* registry, ITovCallback*, long* count,
                                          ITovFileNavigator*** navigators) override {
        return Answer(false, registry, count, navigators);
    }
    HRESULT STDMETHODCALLTYPE GetSubFolders(ITovRegistry* registry, ITovCallback*, long* count,
                                            ITovFileNavigator*** navigators) override {
        return Answer(true, registry, count, navigators);
    }

    // The context menu: the records offered (texts may be null), how many are claimed, and what
    // the plug-in saw of the selection.
    HRESULT STDMETHODCALLTYPE GetSubFileMenuItems(ITovRegistry* registry, long* count,
                                                  TovPreviewMenuItem** items, long otherCount,
                                                  ITovFileNavigator** others) override {
        return NoThrow([&] {
            registries.push_back(registry);
            seenOthers.assign(others, others + (others ? otherCount : 0));
            seenOtherCount = otherCount;
            *count = menuClaimed;
            *items = nullptr;
            if (FAILED(menuResult))
                return menuResult;
            auto* array = static_cast<TovPreviewMenuItem*>(CoTaskMemAlloc(sizeof(TovPreviewMenuItem) * 3));
            if (!array)
                return E_OUTOFMEMORY;
            const auto copy = [](const wchar_t* t) { return t ? SysAllocString(t) : nullptr; };
            const wchar_t* texts[] = {L"Extract", nullptr, L"Properties"};
            for (long i = 0; i < 3; ++i)
                array[i] = {i == 1 ? static_cast<long>(MFS_CHECKED) : 0L,
                            7 + i,
                            copy(texts[i]),
                            copy(i == 0 ? L"Write it out" : nullptr),
                            100 + i,
                            nullptr,
                            200 + i};
            *items = array;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE OnSubFileMenuCommand(ITovRegistry*, ITovCallback*, long, long command,
                                                   long otherCount, ITovFileNavigator** others) override {
        commands.push_back(command);
        seenOthers.assign(others, others + (others ? otherCount : 0));
        return command == 8 ? 1 : S_OK;
    }

    LiveCounter* children;
    HRESULT menuResult = S_OK;
    long menuClaimed = 3;
    std::vector<ITovFileNavigator*> seenOthers;
    long seenOtherCount = -1;
    std::vector<long> commands;
    HRESULT result = S_OK;
    long claimed = 3;
    long real = 3;
    std::vector<bool> folderCalls;
    std::vector<ITovRegistry*> registries;

  private:
    HRESULT Answer(bool folders, ITovRegistry* registry, long* count, ITovFileNavigator*** navigators) {
        return NoThrow([&] {
            folderCalls.push_back(folders);
            registries.push_back(registry);
            *count = claimed;
            *navigators = nullptr;
            if (FAILED(result))
                return result;
            auto** array =
                static_cast<ITovFileNavigator**>(CoTaskMemAlloc(sizeof(void*) * (real ? real : 1)));
            if (!array)
                return E_OUTOFMEMORY;
            long made = 0;
            try {
                for (; made < real; ++made) {
                    array[made] = new NavigatorStub(children);
                    array[made]->AddRef();
                }
            } catch (...) {
                while (made > 0)
                    array[--made]->Release();
                CoTaskMemFree(array);
                throw;
            }
            *navigators = array;
            return S_OK;
        });
    }
};

void ReleaseAll(std::list<ITovFileNavigator*>& list) {
    for (ITovFileNavigator* n : list)
        n->Release();
    list.clear();
}

class SubFiles : public ManagerTest {
  protected:
    LiveCounter children;
    ComPtr<Container> container{new Container(&children)};
};

TEST_F(SubFiles, PluginAnswersReachTheCallerOrAreReleasedOnce) {
    struct Case {
        const char* what;
        HRESULT result;
        long claimed, real;
        std::size_t appended;
    } cases[] = {
        {"three inner files", S_OK, 3, 3, 3},
        {"a failing plug-in: nothing, and 0", E_FAIL, 3, 0, 0},
        {"a count larger than the array", S_OK, 1000, 2, 2},
        {"a negative count", S_OK, -4, 0, 0},
        {"none", S_OK, 0, 0, 0},
    };
    for (const auto& c : cases) {
        for (bool folders : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (folders ? " (folders)" : " (files)"));
            container->result = c.result;
            container->claimed = c.claimed;
            container->real = c.real;
            NavigatorStub earlier(nullptr);
            std::list<ITovFileNavigator*> list{&earlier};
            const HRESULT hr = folders ? mgr->mhGetSubFolders(container.get(), list, nullptr)
                                       : mgr->mhGetSubFiles(container.get(), list, nullptr);
            EXPECT_EQ(S_OK, hr);
            EXPECT_EQ(folders, container->folderCalls.back());
            ASSERT_EQ(1 + c.appended, list.size());
            EXPECT_EQ(&earlier, list.front()) << "the caller's entries stay first";
            list.pop_front();
            EXPECT_EQ(static_cast<long>(c.appended), children.alive) << "the rest were released";
            ReleaseAll(list);
            EXPECT_EQ(0, children.alive);
        }
    }
    // The plug-in always receives the manager's own registry object.
    ASSERT_NE(nullptr, mgr->mpoGetRegistry());
    for (ITovRegistry* r : container->registries)
        EXPECT_EQ(mgr->mpoGetRegistry(), r);
}

TEST_F(SubFiles, TwiceOnOneListAppendsTwiceAndANullNavigatorIsRefused) {
    std::list<ITovFileNavigator*> list;
    ASSERT_EQ(S_OK, mgr->mhGetSubFiles(container.get(), list, nullptr));
    ASSERT_EQ(S_OK, mgr->mhGetSubFiles(container.get(), list, nullptr));
    EXPECT_EQ(6u, list.size());
    EXPECT_EQ(6, children.alive);
    ReleaseAll(list);
    EXPECT_EQ(E_POINTER, mgr->mhGetSubFiles(nullptr, list, nullptr));
    EXPECT_EQ(E_POINTER, mgr->mhGetSubFolders(nullptr, list, nullptr));
    EXPECT_TRUE(list.empty());
}

TEST_F(SubFiles, MemoryRunningOutWhileAppendingReleasesTheRest) {
    container->claimed = container->real = 5;
    std::list<ITovFileNavigator*> list;
    HRESULT hr = S_OK;
    std::vector<HRESULT> seen;
    const int points = ForEachAllocationFailure(
        [&] {
            ASSERT_EQ(S_OK, mgr->mhInitialize(nullptr)); // the sweep is about the listing, not the set-up
        },
        [&](int) { hr = mgr->mhGetSubFiles(container.get(), list, nullptr); },
        [&](int point) {
            seen.push_back(hr);
            EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << point;
            EXPECT_EQ(static_cast<long>(list.size()), children.alive) << point;
            ReleaseAll(list);
            EXPECT_EQ(0, children.alive) << point;
        });
    EXPECT_GT(points, 5);
    EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), E_OUTOFMEMORY)) << "some point failed midway";
}

std::wstring TextAt(HMENU menu, int position) {
    wchar_t text[64] = {};
    GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
    return text;
}

TEST_F(SubFiles, ContextMenuInsertsThePluginsItemsAndHandsAPickBackWithTheSelection) {
    NavigatorStub second(nullptr), third(nullptr);
    const std::list<ITovFileNavigator*> selection{container.get(), &second, &third};
    const ffm::UniqueHMenu menu(CreatePopupMenu());
    AppendMenuW(menu.get(), MF_STRING, 1, L"Open");
    AppendMenuW(menu.get(), MF_STRING, 2, L"Delete");
    MenuExtension extension;
    ComMemoryLedger ledger;
    ASSERT_EQ(S_OK, mgr->mhGetSubFileContextMenu(menu.get(), selection, extension, 500, 1));
    EXPECT_EQ((std::vector<ITovFileNavigator*>{&second, &third}), container->seenOthers)
        << "the others, in order";
    EXPECT_EQ(mgr->mpoGetRegistry(), container->registries.back());

    // Inserted from position 1 on, one id and one position per record; a null text is empty.
    ASSERT_EQ(5, GetMenuItemCount(menu.get()));
    EXPECT_EQ(L"Open", TextAt(menu.get(), 0));
    EXPECT_EQ(L"Extract", TextAt(menu.get(), 1));
    EXPECT_EQ(L"", TextAt(menu.get(), 2));
    EXPECT_EQ(L"Properties", TextAt(menu.get(), 3));
    EXPECT_EQ(L"Delete", TextAt(menu.get(), 4));
    EXPECT_EQ(500u, GetMenuItemID(menu.get(), 1));
    EXPECT_EQ(502u, GetMenuItemID(menu.get(), 3));
    EXPECT_TRUE(GetMenuState(menu.get(), 501, MF_BYCOMMAND) & MF_CHECKED) << "the record's state";
    EXPECT_FALSE(GetMenuState(menu.get(), 502, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_EQ(L"Write it out", extension.moGetContextHelp(500));
    EXPECT_EQ(L"", extension.moGetContextHelp(502));
    EXPECT_TRUE(extension.mbIsMyMenuID(502));
    EXPECT_EQ(503, extension.miGetNextFreeID());
    EXPECT_EQ("", ledger.Problems()) << "every record's strings and the arrays were freed";

    // A pick goes to the first selected navigator with its command and the others in order.
    container->seenOthers.clear();
    bool refresh = false;
    EXPECT_TRUE(extension.mbOnMenuItem(501, menu.get(), nullptr, nullptr, &refresh));
    EXPECT_TRUE(refresh) << "the plug-in answered 1";
    EXPECT_TRUE(extension.mbOnMenuItem(500, menu.get(), nullptr, nullptr, &refresh));
    EXPECT_FALSE(refresh);
    EXPECT_EQ((std::vector<long>{8, 7}), container->commands);
    EXPECT_EQ((std::vector<ITovFileNavigator*>{&second, &third}), container->seenOthers);

    // One selected file: no array of others.
    const std::list<ITovFileNavigator*> single{container.get()};
    const ffm::UniqueHMenu appended(CreatePopupMenu());
    ASSERT_EQ(S_OK, mgr->mhGetSubFileContextMenu(appended.get(), single, extension, 10, -1));
    EXPECT_EQ(0, container->seenOtherCount);
    EXPECT_TRUE(container->seenOthers.empty());
    EXPECT_EQ(3, GetMenuItemCount(appended.get()));
    EXPECT_EQ(12u, GetMenuItemID(appended.get(), 2));
}

TEST_F(SubFiles, ContextMenuRefusalsAndPluginFailuresLeaveTheExtensionEmpty) {
    MenuExtension extension;
    const ffm::UniqueHMenu menu(CreatePopupMenu());
    const std::list<ITovFileNavigator*> selection{container.get()};
    ASSERT_EQ(S_OK, mgr->mhGetSubFileContextMenu(menu.get(), selection, extension, 500, -1));
    EXPECT_EQ(E_INVALIDARG, mgr->mhGetSubFileContextMenu(menu.get(), {}, extension, 500, -1));
    EXPECT_EQ(E_POINTER,
              mgr->mhGetSubFileContextMenu(menu.get(), {container.get(), nullptr}, extension, 500, -1));

    container->menuResult = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, mgr->mhGetSubFileContextMenu(menu.get(), selection, extension, 600, -1));
    EXPECT_EQ(L"", extension.moGetContextHelp(500)) << "emptied before the plug-in was asked";
    EXPECT_FALSE(extension.mbOnMenuItem(500, menu.get(), nullptr, nullptr, nullptr));

    // A count larger than the array is not believed.
    container->menuResult = S_OK;
    container->menuClaimed = 1000;
    const ffm::UniqueHMenu second(CreatePopupMenu());
    ASSERT_EQ(S_OK, mgr->mhGetSubFileContextMenu(second.get(), selection, extension, 700, -1));
    EXPECT_EQ(3, GetMenuItemCount(second.get()));

    // Memory running out anywhere: 0 or 0x8007000E (the double's own bookkeeping may fail too).
    container->menuClaimed = 3;
    {
        MenuExtension swept;
        const ffm::UniqueHMenu menu(CreatePopupMenu());
        const std::list<ITovFileNavigator*> twice{container.get(), container.get()};
        HRESULT hr = S_OK;
        const int points = ForEachAllocationFailure(
            [&] { ASSERT_EQ(S_OK, mgr->mhInitialize(nullptr)); },
            [&](int) { hr = mgr->mhGetSubFileContextMenu(menu.get(), twice, swept, 1, -1); },
            [&](int point) { EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << point; });
        EXPECT_GT(points, 2);
    }
}

TEST_F(SubFiles, RealCompoundDocumentListedThroughTheRegisteredPlugin) {
    SamplePluginRegistration plugin(L"CompoundPlugin.dll");
    ASSERT_EQ(S_OK, plugin.registered);
    TempFolder scratch;
    const std::wstring copy = scratch.WriteFile(L"names.xls", ReadAll(RealCompoundFiles()[0]));
    ComPtr<ITovFileNavigator> document;
    ASSERT_EQ(S_OK, mgr->mhGetNavigator(copy, document, 0x2, nullptr, nullptr, nullptr));
    ASSERT_TRUE(document);
    std::list<ITovFileNavigator*> files, folders;
    ASSERT_EQ(S_OK, mgr->mhGetSubFiles(document.get(), files, nullptr));
    ASSERT_EQ(S_OK, mgr->mhGetSubFolders(document.get(), folders, nullptr));
    EXPECT_TRUE(folders.empty());
    std::vector<std::wstring> names;
    for (ITovFileNavigator* f : files) {
        ffm::UniqueBstr path;
        ASSERT_EQ(S_OK, f->GetFilePath(path.put()));
        names.push_back(path.get());
    }
    ReleaseAll(files);
    std::vector<std::wstring> expected;
    for (const auto& [inner, bytes] : ReadStreams(copy))
        expected.push_back(copy + L"|" + inner);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(expected, names);
    double date = 0;
    LONGLONG size = 0;
    ASSERT_EQ(S_OK, mgr->mhGetFileSizeAndDate(copy.c_str(), &date, &size, false));
    EXPECT_EQ(static_cast<LONGLONG>(ReadAll(copy).size()), size);
    EXPECT_GT(date, 40000.0);
}

} // namespace
