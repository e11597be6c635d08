#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "support/ComMemoryLedger.h"
#include "support/FakeCom.h"
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/CriticalSection.h>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using ffm::ComPtr;

namespace {

// Supplies error information for one interface only.
struct ErrorSource : ffmtest::FakeObject<ISupportErrorInfo> {
    explicit ErrorSource(REFIID iid) : supported(iid) {}
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        return iid == supported ? S_OK : S_FALSE;
    }
    IID supported;
};

void SetThreadError(const wchar_t* description) {
    ComPtr<ICreateErrorInfo> create;
    ASSERT_EQ(CreateErrorInfo(create.put()), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    SetErrorInfo(0, create.query<IErrorInfo>().get());
}

// "-" when there is no error information.
std::wstring Description(IErrorInfo* info) {
    ffm::UniqueBstr text;
    if (!info || FAILED(info->GetDescription(text.put())))
        return L"-";
    return text.get() ? text.get() : L"";
}

std::wstring ThreadDescription() {
    ComPtr<IErrorInfo> current;
    GetErrorInfo(0, current.put());
    return Description(current.get());
}

bool FreeForOtherThreads(ffm::CriticalSection& cs) {
    bool free = false;
    std::thread([&] { free = cs.TryLockAndRelease(); }).join();
    return free;
}

} // namespace

// A raise that carries a description puts it on the thread; one without leaves what is there
// (a plug-in's description) for the caller.
TEST(Errors, BoundaryMapsFailuresSetsOnlyCarriedDescriptionsAndAlwaysReleasesTheLock) {
    ffm::CriticalSection cs;
    const struct {
        std::function<HRESULT()> body;
        HRESULT result;
        const wchar_t* description;
    } cases[] = {
        {[]() -> HRESULT { ffm::RaiseDescribed(E_FAIL, L"Failed to initialize."); }, E_FAIL,
         L"Failed to initialize."},
        {[]() -> HRESULT { throw ffm::ComError(0x80040213); }, static_cast<HRESULT>(0x80040213), L"left"},
        {[]() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY, L"left"},
        {[] { return S_FALSE; }, S_FALSE, nullptr},
    };
    for (const auto& c : cases) {
        SetThreadError(L"left");
        EXPECT_EQ(ffm::Boundary([&] {
                      const auto lock = cs.Lock();
                      const auto inner = cs.Lock(); // re-entered
                      return c.body();
                  }),
                  c.result);
        if (c.description) {
            EXPECT_EQ(ThreadDescription(), c.description);
        }
        EXPECT_TRUE(FreeForOtherThreads(cs));
    }
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(ffm::Boundary([] {}), S_OK);
    const auto foreign = [&] {
        const auto lock = cs.Lock();
        throw std::runtime_error("not ours");
    };
    EXPECT_THROW(ffm::Boundary(foreign), std::runtime_error);
    EXPECT_TRUE(FreeForOtherThreads(cs));
    const auto held = cs.Lock();
    EXPECT_FALSE(FreeForOtherThreads(cs));
}

TEST(Errors, FailureCarriesTheThreadsErrorOnlyWhenTheObjectSuppliesIt) {
    const ComPtr<ISupportErrorInfo> supplies(new ErrorSource(IID_IPersistFile)),
        suppliesOther(new ErrorSource(IID_IStream)), silent(new ErrorSource(IID_IPersistFile));
    static_cast<ErrorSource*>(silent.get())->Hide(IID_ISupportErrorInfo);
    const std::pair<IUnknown*, const wchar_t*> cases[] = {{supplies.get(), L"plug-in text"},
                                                          {suppliesOther.get(), L"-"},
                                                          {silent.get(), L"-"},
                                                          {nullptr, L"-"}};
    for (const auto& [object, attached] : cases) {
        SetThreadError(L"plug-in text");
        try {
            ffm::RaiseFailure(0x80040999, object, IID_IPersistFile);
            ADD_FAILURE() << "returned";
        } catch (const ffm::ComError& e) {
            EXPECT_EQ(e.Error(), static_cast<HRESULT>(0x80040999));
            EXPECT_EQ(Description(e.ErrorInfo()), attached);
        }
    }
    SetErrorInfo(0, nullptr);
}

// A reused out-parameter must not leak what it held, nor a move free twice.
TEST(Handles, PutAndMoveFreeWhatTheyReplace) {
    ffmtest::ComMemoryLedger ledger;
    {
        ffm::UniqueBstr a(SysAllocString(L"a")), b(SysAllocString(L"b"));
        *a.put() = SysAllocString(L"c");
        a = std::move(b);
    }
    EXPECT_EQ(ledger.Allocations(), 3);
    EXPECT_EQ(ledger.Problems(), "");
}
