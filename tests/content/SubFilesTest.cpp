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
// many children are really in the array; its menu offers three items, the second checked.
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
    HRESULT STDMETHODCALLTYPE GetSubFileMenuItems(ITovRegistry* registry, long* count,
                                                  TovPreviewMenuItem** items, long otherCount,
                                                  ITovFileNavigator** others) override {
        return NoThrow([&] {
            registries.push_back(registry);
            seenOthers.assign(others, others + (others ? otherCount : 0));
            seenOtherCount = otherCount;
            *count = menuClaimed;
            *items = nullptr;
            if (const HRESULT hr = Injected("GetSubFileMenuItems"); FAILED(hr))
                return hr;
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
    long claimed = 3, real = 3, menuClaimed = 3;
    std::vector<ITovFileNavigator*> seenOthers;
    long seenOtherCount = -1;
    std::vector<long> commands;
    std::vector<bool> folderCalls;
    std::vector<ITovRegistry*> registries;

  private:
    HRESULT Answer(bool folders, ITovRegistry* registry, long* count, ITovFileNavigator*** navigators) {
        return NoThrow([&] {
            folderCalls.push_back(folders);
            registries.push_back(registry);
            *count = claimed;
            *navigators = nullptr;
            if (const HRESULT hr = Injected("GetSubFiles"); FAILED(hr))
                return hr;
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
            container->Fail("GetSubFiles", c.result);
            container->claimed = c.claimed;
            container->real = c.real;
            NavigatorStub earlier(nullptr);
            std::list<ITovFileNavigator*> list{&earlier};
            // Twice on one list appends twice.
            for (int round = 0; round < 2; ++round)
                EXPECT_EQ(S_OK, folders ? mgr->mhGetSubFolders(container.get(), list, nullptr)
                                        : mgr->mhGetSubFiles(container.get(), list, nullptr));
            EXPECT_EQ(folders, container->folderCalls.back());
            ASSERT_EQ(1 + 2 * c.appended, list.size());
            EXPECT_EQ(&earlier, list.front()) << "the caller's entries stay first";
            list.pop_front();
            EXPECT_EQ(static_cast<long>(2 * c.appended), children.alive) << "the rest were released";
            ReleaseAll(list);
            EXPECT_EQ(0, children.alive);
        }
    }
    // The plug-in always receives the manager's own registry object.
    ASSERT_NE(nullptr, mgr->mpoGetRegistry());
    for (ITovRegistry* r : container->registries)
        EXPECT_EQ(mgr->mpoGetRegistry(), r);
    std::list<ITovFileNavigator*> list;
    EXPECT_EQ(E_POINTER, mgr->mhGetSubFiles(nullptr, list, nullptr));
    EXPECT_EQ(E_POINTER, mgr->mhGetSubFolders(nullptr, list, nullptr));
}

TEST_F(SubFiles, MemoryRunningOutWhileAppendingReleasesTheRest) {
    container->claimed = container->real = 5;
    std::list<ITovFileNavigator*> list;
    HRESULT hr = S_OK;
    bool failedMidway = false;
    const int points = ForEachAllocationFailure(
        [&] {
            ASSERT_EQ(S_OK, mgr->mhInitialize(nullptr)); // the sweep is about the listing, not the set-up
        },
        [&](int) { hr = mgr->mhGetSubFiles(container.get(), list, nullptr); },
        [&](int point) {
            failedMidway = failedMidway || hr == E_OUTOFMEMORY;
            EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << point;
            EXPECT_EQ(static_cast<long>(list.size()), children.alive) << point;
            ReleaseAll(list);
            EXPECT_EQ(0, children.alive) << point;
        });
    EXPECT_GT(points, 5);
    EXPECT_TRUE(failedMidway);
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
    std::vector<std::wstring> texts;
    for (int i = 0; i < GetMenuItemCount(menu.get()); ++i)
        texts.push_back(TextAt(menu.get(), i) + L"#" + std::to_wstring(GetMenuItemID(menu.get(), i)));
    EXPECT_EQ((std::vector<std::wstring>{L"Open#1", L"Extract#500", L"#501", L"Properties#502", L"Delete#2"}),
              texts);
    EXPECT_EQ(L"Write it out", extension.moGetContextHelp(500)); // the records reach the extension
    EXPECT_TRUE(extension.mbIsMyMenuID(502));                    // the last one too
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

    // One selected file: no array of others; appended at the end; a count larger than the array is
    // not believed.
    container->menuClaimed = 1000;
    const ffm::UniqueHMenu appended(CreatePopupMenu());
    ASSERT_EQ(S_OK, mgr->mhGetSubFileContextMenu(appended.get(), {container.get()}, extension, 10, -1));
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

    container->Fail("GetSubFileMenuItems", E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, mgr->mhGetSubFileContextMenu(menu.get(), selection, extension, 600, -1));
    EXPECT_EQ(L"", extension.moGetContextHelp(500)) << "emptied before the plug-in was asked";
    EXPECT_FALSE(extension.mbOnMenuItem(500, menu.get(), nullptr, nullptr, nullptr));

    // Memory running out anywhere: 0 or 0x8007000E (the double's own bookkeeping may fail too).
    container->Fail("GetSubFileMenuItems", S_OK);
    const std::list<ITovFileNavigator*> twice{container.get(), container.get()};
    HRESULT hr = S_OK;
    const int points = ForEachAllocationFailure(
        [&] { ASSERT_EQ(S_OK, mgr->mhInitialize(nullptr)); },
        [&](int) { hr = mgr->mhGetSubFileContextMenu(menu.get(), twice, extension, 1, -1); },
        [&](int point) { EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << point; });
    EXPECT_GT(points, 2);
}

// The real compound-document plug-in through a registered manager: its inner files listed, and a
// format the caller supplies naming its capabilities for the extension in any letter case.
TEST_F(SubFiles, RealCompoundDocumentListedThroughTheRegisteredPlugin) {
    SamplePluginRegistration plugin(L"CompoundPlugin.dll");
    ASSERT_EQ(S_OK, plugin.registered);
    TempFolder scratch;
    const std::wstring copy = scratch.WriteFile(L"names.xls", ReadAll(RealCompoundFiles()[0]));
    ComPtr<ITovFileNavigator> document;
    ASSERT_EQ(S_OK, mgr->mhGetNavigator(copy, document, 0x2, nullptr, nullptr, nullptr));
    std::list<ITovFileNavigator*> files;
    ASSERT_EQ(S_OK, mgr->mhGetSubFiles(document.get(), files, nullptr));
    EXPECT_EQ(ReadStreams(copy).size(), files.size());
    ReleaseAll(files);

    ComPtr<ITovFileFormat> format;
    ASSERT_EQ(S_OK, mgr->mhGetFormat(copy, format, 0x2, nullptr, nullptr, true));
    unsigned long offered = 0;
    ComPtr<ITovFileNavigator> upper;
    ASSERT_EQ(S_OK, mgr->mhGetNavigator(scratch.Path() + L"\\NAMES.XLS", upper, 0x2, nullptr, &offered,
                                        format.get()));
    EXPECT_EQ(0x4002u, offered);
}

} // namespace
