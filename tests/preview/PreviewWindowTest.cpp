// The preview window's choices with in-process previews: which preview shows a file, what is
// hidden when, the pending show while the pane has no area, redirection, the reshow callback and
// its lifetime, and allocation failure at every point of a show.
#include "PreviewKit.h"

#include "preview/DwgPreviewCallback.h"
#include "plugins/Registry.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <cstring>
#include <memory>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

constexpr HRESULT kRedirect = static_cast<HRESULT>(0x8004027D);
constexpr HRESULT kNoPreview = static_cast<HRESULT>(0x8004022A);
constexpr TovFileVaultType kType = static_cast<TovFileVaultType>(7);
const RECT kArea{0, 0, 200, 100};

class PreviewWindowTest : public ::testing::Test {
  protected:
    PreviewWindowTest() { window->mvResize(&kArea); }
    // A preview registered under the extension, answering showResult to every show.
    RecordingPreview* Preview(const wchar_t* extension, HRESULT showResult = S_OK) {
        auto* p = new RecordingPreview(journal, &previews);
        keep.push_back(ComPtr<ITovFilePreview>(p));
        p->showResult = showResult;
        window->Add(p, extension, wcscmp(extension, L"*") == 0);
        return p;
    }
    long Show(const std::wstring& path, ITovCallback* callback = nullptr,
              ITovFileNavigator* navigator = nullptr, bool ignoreExclusion = false) {
        return window->mhShow(path, kType, callback, navigator, ignoreExclusion, 0);
    }
    // Which preview the window treats as current: the one a refresh reaches.
    const RecordingPreview* Current() {
        journal.last[int(Call::Refresh)] = nullptr;
        window->mvRefresh(nullptr);
        return journal.last[int(Call::Refresh)];
    }

    Journal journal;
    LiveCounter previews;
    std::vector<ComPtr<ITovFilePreview>> keep;
    std::unique_ptr<TestWindow> window = std::make_unique<TestWindow>();
};

TEST_F(PreviewWindowTest, PreviewsOfAnExtensionAreTriedInOrderAfterHidingThePreviousOneOfAnotherType) {
    auto* b = Preview(L"B");
    auto *first = Preview(L"MRDPRT", E_FAIL), *second = Preview(L"MRDPRT"), *third = Preview(L"MRDPRT");
    ASSERT_EQ(S_OK, Show(L"1.b"));
    ASSERT_EQ(S_OK, Show(L"2.b"));
    EXPECT_EQ(0, b->N(Call::Hide)) << "the same type";
    EXPECT_EQ(S_OK, Show(L"C:\\v.1\\gear.Mrdprt"));
    EXPECT_EQ(2, b->N(Call::Hide)) << "before the first candidate, and again after it failed";
    EXPECT_EQ(1, first->N(Call::ShowFile));
    EXPECT_EQ(1, second->N(Call::ShowFile));
    EXPECT_EQ(0, third->N(Call::ShowFile));
    EXPECT_EQ(7, second->lastType);
    EXPECT_EQ(second, Current());
}

TEST_F(PreviewWindowTest, FailuresHideThePreviousPreviewLeaveNoneCurrentAndPassOnOnlyCodesTheHostKnows) {
    // The process's manager excludes DWG files, as the Excluded File Types dialog stores them.
    const RegistrySandbox sandbox;
    RegistrySandbox::SetString(HKEY_CURRENT_USER, kManagerKey, kExcludeListValue, L"dwg");
    const ComPtr<TestStore> store(new TestStore);
    goFileFormatMgr.mhSetRegAccess(store.get());
    goFileFormatMgr.mvInit(nullptr);
    auto *shown = Preview(L"MRDPRT"), *dwg = Preview(L"DWG"), *x = Preview(L"X");
    const struct {
        const wchar_t* path;
        unsigned long plugin; // the answer of the preview of X
        unsigned long expected;
        long hides; // before the first other candidate, and again after it failed
    } cases[] = {
        {L"C:\\vault\\noextension", 0, 0x8004022A, 1}, {L"C:\\vault\\a.unknown", 0, 0x8004022A, 1},
        {L"C:\\vault\\a.dwg", 0, 0x8004023C, 1},       {L"a.x", 0x8004020B, 0x8004020B, 2},
        {L"a.x", 0x80040223, 0x80040223, 2},           {L"a.x", 0x8004022A, 0x8004022A, 2},
        {L"a.x", 0x80040245, 0x80040245, 2},           {L"a.x", 0x800402BF, 0x800402BF, 2},
        {L"a.x", 0x80004005, 0x80040229, 2},           {L"a.x", 0x8007000E, 0x80040229, 2},
        {L"a.x", 0x80040226, 0x80040229, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.path + (L" " + HexCode(static_cast<HRESULT>(c.plugin)))));
        x->showResult = static_cast<HRESULT>(c.plugin);
        ASSERT_EQ(S_OK, Show(L"a.mrdprt"));
        const long hidesBefore = shown->N(Call::Hide);
        EXPECT_EQ(static_cast<HRESULT>(c.expected), Show(c.path));
        EXPECT_EQ(hidesBefore + c.hides, shown->N(Call::Hide));
        EXPECT_EQ(nullptr, Current());
    }
    EXPECT_EQ(0, dwg->N(Call::ShowFile));
    EXPECT_EQ(S_OK, Show(L"a.dwg", nullptr, nullptr, true)) << "the exclusion can be ignored";
    EXPECT_EQ(dwg, Current());
    x->showResult = S_FALSE;
    EXPECT_EQ(S_OK, Show(L"a.x")) << "a success code other than 0 shows the file";
    EXPECT_EQ(x, Current());
    goFileFormatMgr.mvUninitialize();
}

TEST_F(PreviewWindowTest, AShowWithoutAreaWaitsForTheNextResizeWithOne) {
    const RECT flat{0, 0, 200, 0};
    window->mvResize(&flat);
    auto* p = Preview(L"MRDASM");
    LiveCounter navigators;
    auto* navigator = new FakeNavigator(&navigators, L"C:\\vault\\gearbox.mrdasm");
    ComPtr<ITovFileNavigator> nav(navigator);

    EXPECT_EQ(S_OK, Show(L"C:\\vault\\gearbox.mrdasm", nullptr, navigator));
    EXPECT_EQ(1, p->N(Call::ShowNavigator)) << "the plug-in is asked at once";
    EXPECT_EQ(nullptr, Current());
    MSG msg{};
    EXPECT_FALSE(window->mbTranslateAccelerator(msg));
    nav.reset();
    EXPECT_EQ(1, navigators.alive) << "the pending show keeps the navigator";

    window->mvResize(&flat);
    EXPECT_EQ(1, p->N(Call::ShowNavigator)) << "still no area";
    window->mvResize(&kArea);
    EXPECT_EQ(2, p->N(Call::ShowNavigator));
    EXPECT_EQ(navigator, p->lastNavigator);
    EXPECT_EQ(p, Current());
    EXPECT_EQ(0, navigators.alive) << "shown: the pending navigator is let go";
    window->mvResize(&kArea);
    EXPECT_EQ(2, p->N(Call::ShowNavigator)) << "nothing pending any more";
}

TEST_F(PreviewWindowTest, ARedirectedFileIsShownByThePreviewsOfTheNamedExtension) {
    auto* drawing = Preview(L"MRDDRW", kRedirect);
    auto *dwgFails = Preview(L"DWG", E_FAIL), *dwg = Preview(L"DWG");
    drawing->redirectTo = L"dwg";
    EXPECT_EQ(S_OK, Show(L"plan.mrddrw"));
    EXPECT_EQ(1, dwgFails->N(Call::ShowFile));
    EXPECT_EQ(1, dwg->N(Call::ShowFile));
    EXPECT_EQ(dwg, Current());

    // No target, an empty one, one without previews; then no redirection interface at all.
    for (const wchar_t* target : {static_cast<const wchar_t*>(nullptr), L"", L"ipt"}) {
        drawing->redirectTo = target;
        EXPECT_EQ(kNoPreview, Show(L"plan.mrddrw")) << (target ? Utf8(target) : "null");
    }
    drawing->redirectTo = L"DWG";
    drawing->HideInterface(__uuidof(ITovFormatRedirect));
    EXPECT_EQ(kNoPreview, Show(L"plan.mrddrw"));
    EXPECT_EQ(nullptr, Current());
}

TEST_F(PreviewWindowTest, AreasReachEachPreviewObjectOnceAndKeysTheCurrentOneAsRecords) {
    auto* cad = Preview(L"DWG");
    window->Add(cad, L"DXF");
    auto* other = Preview(L"MRDPRT");
    const MSG msg{reinterpret_cast<HWND>(0x1234), WM_KEYDOWN, VK_F5, 0x5678, 99, {11, 22}};
    MSG copy = msg;
    EXPECT_FALSE(window->mbTranslateAccelerator(copy)) << "nothing shown";

    const RECT area{5, 6, 105, 56};
    window->mvResize(&area);
    EXPECT_EQ(1, cad->N(Call::Resize)) << "one object under two extensions";
    EXPECT_EQ(1, other->N(Call::Resize));
    EXPECT_EQ(0, memcmp(&area, &cad->lastRect, sizeof area)) << "left, top, right, bottom";

    ASSERT_EQ(S_OK, Show(L"x.dxf"));
    EXPECT_TRUE(window->mbTranslateAccelerator(copy));
    const TovMessage expected{0x1234, WM_KEYDOWN, VK_F5, 0x5678, 99, 11, 22};
    EXPECT_EQ(0, memcmp(&expected, &cad->lastMessage, sizeof expected)) << "the seven fields in order";
    cad->translateResult = S_FALSE;
    EXPECT_FALSE(window->mbTranslateAccelerator(copy));
}

TEST_F(PreviewWindowTest, HidingKeepsOrLetsGoOfTheFile) {
    auto* p = Preview(L"A");
    EXPECT_FALSE(window->mbReleaseFile(L"x.a")) << "nothing shown";
    ASSERT_EQ(S_OK, Show(L"x.a"));

    window->mvHide(true);
    EXPECT_EQ(1, p->N(Call::Hide));
    EXPECT_EQ(0, p->N(Call::ReleaseFile));
    EXPECT_EQ(p, Current());
    EXPECT_TRUE(window->mbReleaseFile(L"x.a"));
    p->releaseResult = S_FALSE;
    EXPECT_FALSE(window->mbReleaseFile(L"x.a"));

    window->mvHide(false);
    EXPECT_EQ(2, p->N(Call::Hide));
    EXPECT_EQ(3, p->N(Call::ReleaseFile));
    EXPECT_TRUE(p->releasedEmpty);
    EXPECT_EQ(nullptr, Current());
    window->mvHide(false);
    EXPECT_EQ(2, p->N(Call::Hide)) << "nothing current: nothing to hide";
}

TEST_F(PreviewWindowTest,
       ACadPreviewsReshowGoesToRedirectionFromInsideAShowWorksLaterAndNeverReachesAGoneWindow) {
    auto *cad = Preview(L"DWG"), *drawing = Preview(L"MRDDRW");
    cad->redirectTo = L"MRDDRW";
    cad->onShow = [&](ITovCallback* callback) {
        ASSERT_NE(nullptr, callback) << "the window hands its own callback to DWG previews";
        ComPtr<ITovPluginPreviewCallbackInternal> internal;
        ASSERT_EQ(S_OK,
                  callback->QueryInterface(__uuidof(ITovPluginPreviewCallbackInternal), internal.put_void()));
        cad->onShow = nullptr;
        EXPECT_EQ(S_OK, internal->ReshowFile(kRedirect));
    };
    EXPECT_EQ(S_OK, Show(L"C:\\cad\\plan.DWG"));
    EXPECT_EQ(1, cad->N(Call::ShowFile)) << "the reshow skipped ShowFile";
    EXPECT_EQ(1, cad->N(Call::Target));
    EXPECT_EQ(1, drawing->N(Call::ShowFile));

    // A plug-in that kept only the plain pointer may still call after the show returned.
    ComPtr<ITovPluginPreviewCallbackInternal> kept;
    ASSERT_EQ(S_OK, cad->lastCallback->QueryInterface(__uuidof(ITovPluginPreviewCallbackInternal),
                                                      kept.put_void()));
    EXPECT_EQ(S_OK, kept->ReshowFile(0));
    EXPECT_EQ(2, cad->N(Call::ShowFile));
    // Both its interfaces derive from IDispatch, yet it is not offered; the callback's own
    // methods are not implemented.
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(E_NOINTERFACE, kept->QueryInterface(IID_IDispatch, dispatch.put_void()));
    EXPECT_EQ(E_NOINTERFACE, cad->lastCallback->QueryInterface(IID_IDispatch, dispatch.put_void()));
    EXPECT_EQ(E_NOTIMPL, cad->lastCallback->SetProgress(1));
    EXPECT_EQ(cad, Current());

    RecordingCallback host;
    host.AddRef();
    ASSERT_EQ(S_OK, Show(L"plan.dwg", &host));
    EXPECT_EQ(&host, cad->lastCallback) << "a host's own callback is passed through";
    window.reset();
    EXPECT_EQ(E_NOTIMPL, kept->ReshowFile(0));
    EXPECT_EQ(3, cad->N(Call::ShowFile));
    EXPECT_EQ(E_NOTIMPL, CDwgPreviewCallback::Create(nullptr, L"x.dwg", kType, nullptr)->ReshowFile(0));
}

TEST_F(PreviewWindowTest, AllocationFailureAtEveryPointOfAShowLeavesAUsableWindow) {
    auto* a = Preview(L"A");
    Preview(L"DWG");
    Preview(L"MRDDRW", kRedirect)->redirectTo = L"DWG";
    window->Add(a, L"*", true);
    LiveCounter navigators;
    for (const std::wstring path :
         {L"C:\\v\\x.a", L"C:\\v\\plan.dwg", L"C:\\v\\plan.mrddrw", L"C:\\v\\none"}) {
        for (bool withNavigator : {false, true}) {
            ComPtr<ITovFileNavigator> nav;
            const auto navigate = [&] {
                if (withNavigator)
                    nav = ComPtr<ITovFileNavigator>(new FakeNavigator(&navigators, path));
            };
            navigate();
            const long unfailed = Show(path, nullptr, nav.get());
            const int points = ForEachAllocationFailure(
                [&] {
                    ASSERT_EQ(S_OK, Show(L"C:\\v\\other.a"));
                    navigate();
                },
                [&](int point) {
                    const long hr = Show(path, nullptr, nav.get());
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
