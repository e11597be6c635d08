// Inner files and folders of containers through the manager: every navigator the plug-in hands
// out reaches the caller or is released, exactly once, whatever the plug-in answers and wherever
// memory runs out; and the real compound-document plug-in listed through a registered manager.
#include "manager/ManagerTestKit.h"
#include "support/CompoundFiles.h"
#include "support/SamplePlugin.h"

#include <FileFmtMgr/FileFormatMgr.h>
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

    LiveCounter* children;
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

    // A format the caller supplies names its capabilities for the extension in any letter case.
    ComPtr<ITovFileFormat> format;
    ASSERT_EQ(S_OK, mgr->mhGetFormat(copy, format, 0x2, nullptr, nullptr, true));
    unsigned long offered = 0;
    ComPtr<ITovFileNavigator> upper;
    ASSERT_EQ(S_OK, mgr->mhGetNavigator(scratch.Path() + L"\\NAMES.XLS", upper, 0x2, nullptr, &offered,
                                        format.get()));
    EXPECT_EQ(0x4002u, offered);
}

} // namespace
