#include "support/FakeCom.h"
#include <FileFmtMgr/ComModule.h>
#include <gtest/gtest.h>

namespace {

class Navigator3 : public ffm::ComObject<ffm::NavigatorBase<ITovFileNavigator3>, ITovFileQuery> {
  public:
    HRESULT STDMETHODCALLTYPE Query(long, VARIANT, VARIANT*, VARIANT*) override { return S_FALSE; }
};

class Callback : public ffm::ComObject<ffm::CallbackBase, ISupportErrorInfo> {};

} // namespace

// QueryInterface walks each listed interface's bases, and nothing above the listed version.
TEST(ComObject, QueryInterfaceAnswersListedInterfacesAndTheirBases) {
    const auto navigator = ffm::Make<Navigator3>();
    const auto callback = ffm::Make<Callback>();
    const struct {
        IUnknown* object;
        IID iid;
        HRESULT expected;
    } cases[] = {
        {static_cast<ITovFileQuery*>(navigator.get()), IID_IUnknown, S_OK},
        {static_cast<ITovFileQuery*>(navigator.get()), __uuidof(ITovFileNavigator), S_OK},
        {static_cast<ITovFileQuery*>(navigator.get()), __uuidof(ITovFileNavigator2), S_OK},
        {static_cast<ITovFileQuery*>(navigator.get()), __uuidof(ITovFileNavigator3), S_OK},
        {static_cast<ITovFileQuery*>(navigator.get()), __uuidof(ITovFileQuery), S_OK},
        {static_cast<ITovFileQuery*>(navigator.get()), __uuidof(ITovFileNavigator4), E_NOINTERFACE},
        {static_cast<ITovFileQuery*>(navigator.get()), IID_IDispatch, E_NOINTERFACE},
        {static_cast<ITovCallback*>(callback.get()), IID_IDispatch, S_OK},
        {static_cast<ITovCallback*>(callback.get()), __uuidof(ITovCallback), S_OK},
    };
    for (const auto& c : cases) {
        void* out = reinterpret_cast<void*>(0xdeadbeef);
        EXPECT_EQ(c.expected, c.object->QueryInterface(c.iid, &out));
        EXPECT_EQ(c.expected == S_OK, out != nullptr);
        if (out)
            static_cast<IUnknown*>(out)->Release();
    }
    // One identity: IUnknown through either interface is the same pointer.
    ffm::ComPtr<IUnknown> a, b;
    navigator->QueryInterface(IID_IUnknown, a.put_void());
    static_cast<ITovFileQuery*>(navigator.get())->QueryInterface(IID_IUnknown, b.put_void());
    EXPECT_EQ(a.get(), b.get());
    // The default slots answer E_NOTIMPL; the overridden one answers.
    ffm::ComPtr<ITovFileNavigator3> nav3;
    ASSERT_EQ(S_OK, navigator->QueryInterface(__uuidof(ITovFileNavigator3), nav3.put_void()));
    EXPECT_EQ(E_NOTIMPL, nav3->GetAttributes2(nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(E_NOTIMPL, nav3->Save());
    EXPECT_EQ(S_FALSE, navigator->Query(0, VARIANT{}, nullptr, nullptr));
    EXPECT_EQ(S_OK, callback->InterfaceSupportsErrorInfo(__uuidof(ITovCallback)));
    EXPECT_EQ(S_FALSE, callback->InterfaceSupportsErrorInfo(IID_IUnknown));
}

ffmtest::LiveCounter gServed;
class Served : public ffmtest::FakeObject<ffm::FormatBase> {
  public:
    Served() : FakeObject(&gServed) {}
    ffm::ModuleLock lock;
};
const CLSID kServed = {0x1d5e2f0a, 0x4b7c, 0x4e21, {0x9a, 0x11, 0x52, 0x6c, 0x70, 0x3e, 0x88, 0x01}};
const ffm::ClassRow kClasses[] = {{&kServed, ffm::CreateInstanceOf<Served>}};

// The module answers from its table, refuses aggregation, and may unload only when every object
// and server lock is gone.
TEST(ComModule, ServesItsTableAndCountsTheModuleLock) {
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              ffm::GetClassObject(kClasses, IID_IUnknown, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    ASSERT_EQ(S_OK, ffm::CanUnloadNow());

    ffm::ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, ffm::GetClassObject(kClasses, kServed, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_FALSE, ffm::CanUnloadNow());
    ffm::ComPtr<ITovFileFormat> format;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(factory.get(), __uuidof(ITovFileFormat), format.put_void()));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, __uuidof(ITovFileFormat), format.put_void()));
    EXPECT_EQ(1, gServed.alive);
    factory->LockServer(TRUE);
    factory.reset();
    format.reset();
    EXPECT_EQ(0, gServed.alive);
    EXPECT_EQ(S_FALSE, ffm::CanUnloadNow()) << "the server lock";
    ffm::ComPtr<IClassFactory> again;
    ASSERT_EQ(S_OK, ffm::GetClassObject(kClasses, kServed, IID_IClassFactory, again.put_void()));
    again->LockServer(FALSE);
    again.reset();
    EXPECT_EQ(S_OK, ffm::CanUnloadNow());
}
