// The preview window's choices with in-process previews: which preview shows a file, what is
// hidden when, the pending show while the pane has no area, redirection, the reshow callback and
// its lifetime, and allocation failure at every point of a show.
#include "PreviewKit.h"

#include "preview/DwgPreviewCallback.h"
#include "plugins/Registry.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <memory>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

constexpr HRESULT kRedirect = static_cast<HRESULT>(0x8004027D);
constexpr HRESULT kNoPreview = static_cast<HRESULT>(0x8004022A);
constexpr TovFileVaultType kType = static_cast<TovFileVaultType>(7);
const RECT kArea{0, 0, 200, 100};

// The process's manager excludes DWG files from preview, as the Excluded File Types dialog
// stores them, for one scope.
class DwgExcluded {
  public:
    DwgExcluded() {
        RegistrySandbox::SetString(HKEY_CURRENT_USER, kManagerKey, kExcludeListValue, L"dwg");
        store->AddRef();
        goFileFormatMgr.mhSetRegAccess(store);
        goFileFormatMgr.mvInit(nullptr);
    }
    DwgExcluded(const DwgExcluded&) = delete;
    DwgExcluded& operator=(const DwgExcluded&) = delete;
    ~DwgExcluded() {
        goFileFormatMgr.mvUninitialize();
        store->Release();
    }

  private:
    RegistrySandbox sandbox;
    TestStore* store = new TestStore;
};

class PreviewWindowTest : public ::testing::Test {
  protected:
    RecordingPreview* Preview() {
        auto* p = new RecordingPreview(journal, &previews);
        keep.push_back(ComPtr<ITovFilePreview>(p));
        return p;
    }
    long Show(const std::wstring& path, ITovCallback* callback = nullptr,
              ITovFileNavigator* navigator = nullptr, bool ignoreExclusion = false) {
        return window->mhShow(path, kType, callback, navigator, ignoreExclusion, 0);
    }
    // Which preview the window treats as current: the one a refresh reaches.
    const RecordingPreview* Current() {
        const size_t before = journal.events.size();
        window->mvRefresh(nullptr);
        for (size_t i = before; i < journal.events.size(); ++i)
            if (journal.events[i].call == Call::Refresh)
                return journal.events[i].who;
        return nullptr;
    }
    long N(const RecordingPreview* p, Call c) const { return journal.Count(p, c); }

    Journal journal;
    LiveCounter previews;
    std::vector<ComPtr<ITovFilePreview>> keep;
    std::unique_ptr<TestWindow> window = std::make_unique<TestWindow>();
};

TEST_F(PreviewWindowTest, PreviewsOfAnExtensionAreTriedInRegistrationOrderUntilOneSucceeds) {
    auto *first = Preview(), *second = Preview(), *third = Preview();
    first->showResult = E_FAIL;
    window->Add(first, L"MRDPRT");
    window->Add(second, L"MRDPRT");
    window->Add(third, L"MRDPRT");
    window->mvResize(&kArea);

    EXPECT_EQ(S_OK, Show(L"C:\\v.1\\gear.Mrdprt"));
    EXPECT_EQ(1, N(first, Call::ShowFile));
    EXPECT_EQ(1, N(second, Call::ShowFile));
    EXPECT_EQ(0, N(third, Call::ShowFile));
    EXPECT_EQ(7, second->lastType);
    EXPECT_EQ(second, Current());
}

TEST_F(PreviewWindowTest, EarlyFailuresHideThePreviousPreviewAndLeaveNoneCurrent) {
    const DwgExcluded excluded;
    auto *shown = Preview(), *dwg = Preview();
    window->Add(shown, L"MRDPRT");
    window->Add(dwg, L"DWG");
    window->mvResize(&kArea);
    struct Case {
        const wchar_t* path;
        HRESULT expected;
    } cases[] = {
        {L"C:\\vault\\noextension", kNoPreview},
        {L"C:\\vault\\a.unknown", kNoPreview},
        {L"C:\\vault\\a.dwg", static_cast<HRESULT>(0x8004023C)},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(S_OK, Show(L"a.mrdprt"));
        const long hidesBefore = N(shown, Call::Hide);
        EXPECT_EQ(c.expected, Show(c.path)) << Utf8(c.path);
        EXPECT_EQ(hidesBefore + 1, N(shown, Call::Hide)) << Utf8(c.path);
        EXPECT_EQ(nullptr, Current()) << Utf8(c.path);
    }
    EXPECT_EQ(0, N(dwg, Call::ShowFile));
    EXPECT_EQ(S_OK, Show(L"a.dwg", nullptr, nullptr, true)) << "the exclusion can be ignored";
    EXPECT_EQ(dwg, Current());

    auto* wildcard = Preview();
    window->Add(wildcard, L"*", true);
    EXPECT_EQ(S_OK, Show(L"C:\\vault\\noextension"));
    EXPECT_EQ(S_OK, Show(L"C:\\vault\\a.unknown"));
    EXPECT_EQ(2, N(wildcard, Call::ShowFile));
}

TEST_F(PreviewWindowTest, TheLastFailureIsPassedOnOnlyWhenTheHostKnowsIt) {
    auto* only = Preview();
    window->Add(only, L"X");
    window->mvResize(&kArea);
    const std::pair<unsigned long, unsigned long> cases[] = {
        {0x8004020B, 0x8004020B}, {0x80040223, 0x80040223}, {0x8004022A, 0x8004022A},
        {0x80040245, 0x80040245}, {0x800402BF, 0x800402BF}, {0x80004005, 0x80040229},
        {0x8007000E, 0x80040229}, {0x80040226, 0x80040229},
    };
    for (const auto& [plugin, expected] : cases) {
        only->showResult = static_cast<HRESULT>(plugin);
        EXPECT_EQ(static_cast<HRESULT>(expected), Show(L"a.x")) << HexCode(static_cast<HRESULT>(plugin));
        EXPECT_EQ(nullptr, Current());
    }
    only->showResult = S_FALSE;
    EXPECT_EQ(S_OK, Show(L"a.x")) << "a success code other than 0 shows the file";
    EXPECT_EQ(only, Current());
}

TEST_F(PreviewWindowTest, AShowWithoutAreaWaitsForTheNextResizeWithOne) {
    auto* p = Preview();
    window->Add(p, L"MRDASM");
    LiveCounter navigators;
    auto* navigator = new FakeNavigator(&navigators, L"C:\\vault\\gearbox.mrdasm");
    ComPtr<ITovFileNavigator> nav(navigator);

    EXPECT_EQ(S_OK, Show(L"C:\\vault\\gearbox.mrdasm", nullptr, navigator));
    EXPECT_EQ(1, N(p, Call::ShowNavigator)) << "the plug-in is asked at once";
    EXPECT_EQ(nullptr, Current());
    MSG msg{};
    EXPECT_FALSE(window->mbTranslateAccelerator(msg));
    nav.reset();
    EXPECT_EQ(1, navigators.alive) << "the pending show keeps the navigator";

    const RECT flat{0, 0, 200, 0};
    window->mvResize(&flat);
    EXPECT_EQ(1, N(p, Call::ShowNavigator)) << "still no area";
    window->mvResize(&kArea);
    EXPECT_EQ(2, N(p, Call::ShowNavigator));
    EXPECT_EQ(navigator, p->lastNavigator);
    EXPECT_EQ(p, Current());
    EXPECT_EQ(200, p->lastRect.right);
    EXPECT_EQ(0, navigators.alive) << "shown: the pending navigator is let go";
    window->mvResize(&kArea);
    EXPECT_EQ(2, N(p, Call::ShowNavigator)) << "nothing pending any more";
}

TEST_F(PreviewWindowTest, AnotherTypeHidesThePreviousPreviewOnceTheSameTypeNever) {
    auto *a = Preview(), *b = Preview(), *failing = Preview(), *c = Preview();
    failing->showResult = E_FAIL;
    window->Add(a, L"A");
    window->Add(b, L"B");
    window->Add(failing, L"C");
    window->Add(c, L"C");
    window->mvResize(&kArea);

    ASSERT_EQ(S_OK, Show(L"1.a"));
    ASSERT_EQ(S_OK, Show(L"2.a"));
    EXPECT_EQ(0, N(a, Call::Hide));
    ASSERT_EQ(S_OK, Show(L"3.b"));
    EXPECT_EQ(1, N(a, Call::Hide));
    EXPECT_EQ(b, Current());
    ASSERT_EQ(S_OK, Show(L"4.b"));
    EXPECT_EQ(0, N(b, Call::Hide));
    // Hidden before the first other candidate, and again after that candidate failed.
    ASSERT_EQ(S_OK, Show(L"5.c"));
    EXPECT_EQ(2, N(b, Call::Hide));
    EXPECT_EQ(c, Current());
    EXPECT_EQ(1, N(a, Call::Hide));
}

TEST_F(PreviewWindowTest, ARedirectedFileIsShownByThePreviewsOfTheNamedExtension) {
    auto *drawing = Preview(), *dwgFails = Preview(), *dwg = Preview();
    drawing->showResult = kRedirect;
    dwgFails->showResult = E_FAIL;
    window->Add(drawing, L"MRDDRW");
    window->Add(dwgFails, L"DWG");
    window->Add(dwg, L"DWG");
    window->mvResize(&kArea);

    drawing->redirectTo = L"dwg";
    EXPECT_EQ(S_OK, Show(L"plan.mrddrw"));
    EXPECT_EQ(1, N(dwgFails, Call::ShowFile));
    EXPECT_EQ(1, N(dwg, Call::ShowFile));
    EXPECT_EQ(dwg, Current());

    for (const wchar_t* target : {L"", L"ipt"}) {
        drawing->redirectTo = target;
        EXPECT_EQ(kNoPreview, Show(L"plan.mrddrw")) << Utf8(target);
    }
    drawing->redirectTo = nullptr;
    EXPECT_EQ(kNoPreview, Show(L"plan.mrddrw"));
    drawing->redirectTo = L"DWG";
    drawing->HideInterface(__uuidof(ITovFormatRedirect));
    EXPECT_EQ(kNoPreview, Show(L"plan.mrddrw"));
    EXPECT_EQ(nullptr, Current());
}

TEST_F(PreviewWindowTest, OnePreviewObjectUnderTwoExtensionsIsResizedOnce) {
    auto *cad = Preview(), *other = Preview();
    window->Add(cad, L"DWG");
    window->Add(cad, L"DXF");
    window->Add(other, L"MRDPRT");
    const RECT area{5, 6, 105, 56};
    window->mvResize(&area);
    EXPECT_EQ(1, N(cad, Call::Resize));
    EXPECT_EQ(1, N(other, Call::Resize));
    EXPECT_EQ(5, cad->lastRect.left);
    EXPECT_EQ(6, cad->lastRect.top);
    EXPECT_EQ(105, cad->lastRect.right);
    EXPECT_EQ(56, cad->lastRect.bottom);
}

TEST_F(PreviewWindowTest, KeyboardMessagesReachTheCurrentPreviewAsTheSevenFieldRecord) {
    auto* p = Preview();
    window->Add(p, L"A");
    MSG msg{reinterpret_cast<HWND>(0x1234), WM_KEYDOWN, VK_F5, 0x5678, 99, {11, 22}};
    EXPECT_FALSE(window->mbTranslateAccelerator(msg)) << "nothing shown";
    window->mvResize(&kArea);
    ASSERT_EQ(S_OK, Show(L"x.a"));
    EXPECT_TRUE(window->mbTranslateAccelerator(msg));
    const TovMessage& r = p->lastMessage;
    EXPECT_EQ(0x1234, r.mlWindow);
    EXPECT_EQ(WM_KEYDOWN, r.mlMessage);
    EXPECT_EQ(VK_F5, r.mlWParam);
    EXPECT_EQ(0x5678, r.mlLParam);
    EXPECT_EQ(99, r.mlTime);
    EXPECT_EQ(11, r.mlPointX);
    EXPECT_EQ(22, r.mlPointY);
    p->translateResult = S_FALSE;
    EXPECT_FALSE(window->mbTranslateAccelerator(msg));
}

TEST_F(PreviewWindowTest, HidingKeepsOrLetsGoOfTheFile) {
    auto* p = Preview();
    window->Add(p, L"A");
    window->mvResize(&kArea);
    EXPECT_FALSE(window->mbReleaseFile(L"x.a")) << "nothing shown";
    ASSERT_EQ(S_OK, Show(L"x.a"));

    window->mvHide(true);
    EXPECT_EQ(1, N(p, Call::Hide));
    EXPECT_EQ(0, N(p, Call::ReleaseFile));
    EXPECT_EQ(p, Current());
    EXPECT_TRUE(window->mbReleaseFile(L"x.a"));
    p->releaseResult = S_FALSE;
    EXPECT_FALSE(window->mbReleaseFile(L"x.a"));

    window->mvHide(false);
    EXPECT_EQ(2, N(p, Call::Hide));
    EXPECT_EQ(3, N(p, Call::ReleaseFile));
    EXPECT_TRUE(p->releasedEmpty);
    EXPECT_EQ(nullptr, Current());
    window->mvHide(false);
    EXPECT_EQ(2, N(p, Call::Hide)) << "nothing current: nothing to hide";
}

TEST_F(PreviewWindowTest, ACadPreviewAskingForAReshowFromInsideShowFileGoesStraightToRedirection) {
    auto *cad = Preview(), *drawing = Preview();
    cad->redirectTo = L"MRDDRW";
    window->Add(cad, L"DWG");
    window->Add(drawing, L"MRDDRW");
    window->mvResize(&kArea);
    HRESULT dispatchQuery = S_OK, progress = S_OK;
    cad->onShow = [&](ITovCallback* callback) {
        ASSERT_NE(nullptr, callback) << "the window hands its own callback to DWG previews";
        ComPtr<IDispatch> dispatch;
        dispatchQuery = callback->QueryInterface(IID_IDispatch, dispatch.put_void());
        progress = callback->SetProgress(50);
        ComPtr<ITovPluginPreviewCallbackInternal> internal;
        ASSERT_EQ(S_OK,
                  callback->QueryInterface(__uuidof(ITovPluginPreviewCallbackInternal), internal.put_void()));
        cad->onShow = nullptr;
        EXPECT_EQ(S_OK, internal->ReshowFile(kRedirect));
    };
    EXPECT_EQ(S_OK, Show(L"C:\\cad\\plan.DWG"));
    EXPECT_EQ(1, N(cad, Call::ShowFile)) << "the reshow skipped ShowFile";
    EXPECT_EQ(1, N(cad, Call::Target));
    EXPECT_EQ(1, N(drawing, Call::ShowFile));
    EXPECT_EQ(E_NOINTERFACE, dispatchQuery);
    EXPECT_EQ(E_NOTIMPL, progress);

    RecordingCallback host;
    host.AddRef();
    ASSERT_EQ(S_OK, Show(L"plan.dwg", &host));
    EXPECT_EQ(&host, cad->lastCallback) << "a host's own callback is passed through";
}

TEST_F(PreviewWindowTest, TheReshowCallbackWorksAfterTheShowButNeverReachesAGoneWindow) {
    auto* cad = Preview();
    window->Add(cad, L"DWG");
    window->mvResize(&kArea);
    ASSERT_EQ(S_OK, Show(L"plan.dwg"));
    // A plug-in that kept only the plain pointer may still call after the show returned.
    ITovCallback* plain = cad->lastCallback;
    ComPtr<ITovPluginPreviewCallbackInternal> kept;
    ASSERT_EQ(S_OK, plain->QueryInterface(__uuidof(ITovPluginPreviewCallbackInternal), kept.put_void()));
    EXPECT_EQ(S_OK, kept->ReshowFile(0));
    EXPECT_EQ(2, N(cad, Call::ShowFile));
    EXPECT_EQ(cad, Current());

    window.reset();
    EXPECT_EQ(E_NOTIMPL, kept->ReshowFile(0));
    EXPECT_EQ(2, N(cad, Call::ShowFile));
    auto orphan = CDwgPreviewCallback::Create(nullptr, L"x.dwg", kType, nullptr);
    EXPECT_EQ(E_NOTIMPL, orphan->ReshowFile(0));
}

TEST_F(PreviewWindowTest, AllocationFailureAtEveryPointOfAShowLeavesAUsableWindow) {
    auto *a = Preview(), *cad = Preview(), *drawing = Preview();
    drawing->showResult = kRedirect;
    drawing->redirectTo = L"DWG";
    window->Add(a, L"A");
    window->Add(cad, L"DWG");
    window->Add(drawing, L"MRDDRW");
    window->Add(a, L"*", true);
    window->mvResize(&kArea);
    LiveCounter navigators;
    const std::wstring paths[] = {L"C:\\v\\x.a", L"C:\\v\\plan.dwg", L"C:\\v\\plan.mrddrw", L"C:\\v\\none"};
    for (const std::wstring& path : paths) {
        for (bool withNavigator : {false, true}) {
            ComPtr<ITovFileNavigator> nav;
            if (withNavigator)
                nav = ComPtr<ITovFileNavigator>(new FakeNavigator(&navigators, path));
            const auto show = [&] { return Show(path, nullptr, nav.get()); };
            const long unfailed = show();
            const int points = ForEachAllocationFailure(
                [&] {
                    ASSERT_EQ(S_OK, Show(L"C:\\v\\other.a"));
                    if (withNavigator)
                        nav = ComPtr<ITovFileNavigator>(new FakeNavigator(&navigators, path));
                },
                [&](int point) {
                    const long hr = show();
                    EXPECT_TRUE(hr == unfailed || hr == E_OUTOFMEMORY)
                        << Utf8(path) << " point " << point << " " << HexCode(hr);
                },
                [&](int) {
                    EXPECT_EQ(S_OK, Show(path)) << "the window still works";
                    EXPECT_NE(nullptr, Current());
                });
            EXPECT_GT(points, 0) << Utf8(path);
            nav.reset();
        }
    }
    window.reset();
    keep.clear();
    EXPECT_EQ(0, navigators.alive);
    EXPECT_EQ(0, previews.alive);
}

} // namespace
