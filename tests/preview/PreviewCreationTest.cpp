// The manager fills a preview window: one preview per format object whatever the number of its
// extensions, the wildcard and dotted keys, the viewer plug-in that ends an extension's walk,
// failing plug-ins, the stop code, the rectangle and callback handed over, and allocation
// failure at every point.
#include "PreviewKit.h"

#include <FileFmtMgr/FileFormatMgr.h>
#include <cstring>
#include <memory>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

const RECT kArea{0, 0, 300, 200};

class PreviewCreationTest : public SandboxedTest {
  protected:
    // A plug-in class registered with COM in this process; last is its latest format object.
    struct PluginClass {
        CLSID clsid = NewClsid();
        PreviewFormat* last = nullptr;
        std::unique_ptr<ClassRegistration> registration;
        long Activations() const { return registration->CreateCount(); }
    };

    PreviewCreationTest() { store->AddRef(); }
    ~PreviewCreationTest() override {
        window.reset();
        mgr.reset();
        store->Release();
    }

    // factory: the format object offers the factory interface too.
    PluginClass& Plugin(const std::wstring& name,
                        std::initializer_list<std::pair<std::wstring, unsigned long>> exts,
                        HRESULT createResult = S_OK, bool factory = false) {
        PluginClass& c = *classes.emplace_back(std::make_unique<PluginClass>());
        c.registration = std::make_unique<ClassRegistration>(c.clsid, [=, &c]() -> IUnknown* {
            c.last = new PreviewFormat(journal, &previews);
            c.last->createResult = createResult;
            if (!factory)
                c.last->Hide(__uuidof(ITovPreviewFactory));
            return static_cast<ITovFileFormat*>(c.last);
        });
        store->AddPlugin(name, c.clsid);
        for (const auto& [ext, mask] : exts)
            store->AddExtension(ext, name, mask);
        return c;
    }
    long Create(const RECT* rect = &kArea, ITovCallback* callback = nullptr, IUnknown* context = nullptr) {
        EXPECT_EQ(S_OK, mgr->mhSetRegAccess(store));
        EXPECT_EQ(S_OK, mgr->mhInitialize(nullptr)) << "so the callback hears only the creation";
        return mgr->mhCreatePreview2(*window, parent.get(), context, rect, callback);
    }
    // Which preview shows the file, by the journal.
    const RecordingPreview* ShownBy(const std::wstring& path) {
        window->mvResize(&kArea);
        journal.last[int(Call::ShowFile)] = nullptr;
        const long hr = window->mhShow(path, TovFileVaultType{}, nullptr, nullptr, true, 0);
        return hr == S_OK ? journal.last[int(Call::ShowFile)] : nullptr;
    }

    Journal journal;
    LiveCounter previews;
    std::vector<std::unique_ptr<PluginClass>> classes;
    TestStore* store = new TestStore;
    std::unique_ptr<FileFormatMgr> mgr = std::make_unique<FileFormatMgr>();
    std::unique_ptr<TestWindow> window = std::make_unique<TestWindow>();
    ffm::UniqueHwnd parent{CreateWindowExW(0, L"STATIC", L"pane", WS_OVERLAPPED, 0, 0, 240, 160, nullptr,
                                           nullptr, nullptr, nullptr)};
};

// First with memory running out at every point: a clean code each time, and no preview left.
TEST_F(PreviewCreationTest, OneFormatServingSeveralKeysGivesOnePreviewUnderEachNormalisedExtension) {
    auto& cad = Plugin(L"Cad.dll", {{L".dwg", 0x4}, {L"dxf", 0x5}, {L"..IPT", 0x4}, {L".mrd", 0x1}});
    auto& any = Plugin(L"Any.dll", {{L".*", 0x4}});
    const int points = ForEachAllocationFailure(
        [&] {
            window = std::make_unique<TestWindow>();
            mgr->mvUninitialize();
            ASSERT_EQ(S_OK, mgr->mhSetRegAccess(store));
        },
        [&](int point) {
            const long hr = mgr->mhCreatePreview(*window, parent.get(), &kArea, nullptr);
            EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << "point " << point << " " << HexCode(hr);
        },
        [&](int) {
            window.reset();
            EXPECT_EQ(0, previews.alive);
        });
    EXPECT_GT(points, 3);

    window = std::make_unique<TestWindow>();
    mgr->mvUninitialize();
    auto& failing = Plugin(L"Failing.dll", {{L".bad", 0x4}}, E_FAIL);
    ASSERT_EQ(S_OK, Create()) << "a failed creation costs only its own preview";
    EXPECT_EQ(1, failing.last->creations);
    ASSERT_NE(nullptr, cad.last);
    EXPECT_EQ(1, cad.last->creations);
    const RecordingPreview* cadPreview = cad.last->made;
    EXPECT_EQ(cadPreview, ShownBy(L"a.DWG"));
    EXPECT_EQ(cadPreview, ShownBy(L"a.dxf"));
    EXPECT_EQ(cadPreview, ShownBy(L"a.ipt"));
    EXPECT_EQ(any.last->made, ShownBy(L"a.mrd")) << "no preview bit: the wildcard shows it";
    EXPECT_EQ(any.last->made, ShownBy(L"noextension"));
    EXPECT_EQ(2, previews.alive);
    window.reset();
    EXPECT_EQ(0, previews.alive) << "the window held the only references";
}

TEST_F(PreviewCreationTest, TheViewerPluginEndsAWalkAFailureCostsOnlyItsPreviewTheStopCodeEndsAll) {
    auto& first = Plugin(L"First.dll", {{L".mrd", 0x4}});
    auto& viewer = Plugin(L"insoplugin.DLL", {{L".mrd", 0x4}});
    auto& after = Plugin(L"After.dll", {{L".mrd", 0x4}});
    auto& failing = Plugin(L"Failing.dll", {{L".bad", 0x4}, {L".bad2", 0x4}}, E_FAIL);
    auto& good = Plugin(L"Good.dll", {{L".good", 0x4}});
    // Extensions are visited in alphabetical order: these come last.
    auto& stopper = Plugin(L"Stopper.dll", {{L".x", 0x4}}, static_cast<HRESULT>(0x80040226));
    auto& later = Plugin(L"Later.dll", {{L".y", 0x4}});
    RecordingCallback callback;
    callback.AddRef();
    EXPECT_EQ(static_cast<HRESULT>(0x80040226), Create(&kArea, &callback));
    EXPECT_EQ(parent.get(), window->mhGetParent());
    EXPECT_TRUE(callback.progress.empty()) << "no progress after a stop";
    EXPECT_EQ(first.last->made, ShownBy(L"x.mrd"));
    EXPECT_EQ(0, viewer.Activations()) << "never asked";
    EXPECT_EQ(0, after.Activations());
    EXPECT_EQ(2, failing.last->creations) << "each extension of a failed plug-in tries again";
    EXPECT_EQ(nullptr, ShownBy(L"x.bad"));
    EXPECT_EQ(good.last->made, ShownBy(L"x.good"));
    EXPECT_EQ(1, stopper.last->creations);
    EXPECT_EQ(0, later.Activations());
}

TEST_F(PreviewCreationTest, PluginsReceiveTheParentTheRectangleTheCallbackAndTheContext) {
    auto& plain = Plugin(L"Plain.dll", {{L".a", 0x4}});
    auto& factory = Plugin(L"Factory.dll", {{L".b", 0x4}}, S_OK, true);
    RecordingCallback callback;
    callback.AddRef();
    ComPtr<IUnknown> context(static_cast<ITovCallback*>(new RecordingCallback));
    // Without a rectangle: the parent's client area from (0, 0).
    ASSERT_EQ(S_OK, Create(nullptr, &callback, context.get()));
    RECT client{};
    GetClientRect(parent.get(), &client);
    EXPECT_EQ(0, memcmp(&client, &plain.last->rectSeen, sizeof client)) << "left, top, right, bottom";
    EXPECT_EQ(static_cast<long>(reinterpret_cast<LONG_PTR>(parent.get())), plain.last->parentSeen);
    EXPECT_EQ(std::vector<long>{0}, callback.progress);
    EXPECT_EQ(&callback, plain.last->callbackSeen);
    EXPECT_FALSE(plain.last->viaFactory);
    ASSERT_TRUE(factory.last->viaFactory) << "the factory interface is preferred";
    EXPECT_EQ(context.get(), factory.last->contextSeen);
    EXPECT_EQ(&callback, factory.last->callbackSeen);
    EXPECT_EQ(1u, callback.RefCount()) << "the creation gave back its reference";
}

} // namespace
