#include "support/Raised.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "support/FakeCom.h"
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/CriticalSection.h>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using ffm::ComPtr;
using ffmtest::FakeObject;
using ffmtest::Raised;

namespace {

// Supplies error information for one interface only.
struct ErrorSource : FakeObject<ISupportErrorInfo> {
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
    if (!info || FAILED(info->GetDescription(text.put()))) return L"-";
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

TEST(Errors, DescribedFailureReachesTheCallerThroughTheBoundary) {
    EXPECT_EQ(ffm::Boundary([] { ffm::RaiseDescribed(E_FAIL, L"Failed to initialize."); }), E_FAIL);
    EXPECT_EQ(ThreadDescription(), L"Failed to initialize.");
    EXPECT_EQ(ThreadDescription(), L"-"); // handed out once

    // A failure without a description leaves no older one for the caller to find.
    for (const auto& body : {std::function<void()>([] { throw ffm::ComError(E_INVALIDARG); }),
                             std::function<void()>([] { throw std::bad_alloc(); })}) {
        SetThreadError(L"stale");
        EXPECT_TRUE(FAILED(ffm::Boundary(body)));
        EXPECT_EQ(ThreadDescription(), L"-");
    }
}

TEST(Errors, FailureCarriesTheThreadsErrorOnlyWhenTheObjectSuppliesIt) {
    const ComPtr<ISupportErrorInfo> supplies(new ErrorSource(IID_IPersistFile)),
        suppliesOther(new ErrorSource(IID_IStream)), silent(new ErrorSource(IID_IPersistFile));
    static_cast<ErrorSource*>(silent.get())->Hide(IID_ISupportErrorInfo);
    const struct {
        IUnknown* object;
        const wchar_t* attached;
    } cases[] = {{supplies.get(), L"plug-in text"},
                 {suppliesOther.get(), L"-"},
                 {silent.get(), L"-"},
                 {nullptr, L"-"}};
    for (const auto& c : cases) {
        SetThreadError(L"plug-in text");
        try {
            ffm::RaiseFailure(0x80040999, c.object, IID_IPersistFile);
        } catch (const ffm::ComError& e) {
            EXPECT_EQ(e.Error(), static_cast<HRESULT>(0x80040999));
            EXPECT_EQ(Description(e.ErrorInfo()), c.attached);
        }
        SetErrorInfo(0, nullptr);
    }
}

TEST(Errors, BoundaryMapsFailuresAndAlwaysReleasesTheLock) {
    ffm::CriticalSection cs;
    const struct {
        std::function<HRESULT()> body;
        HRESULT result;
    } cases[] = {
        {[] { return S_FALSE; }, S_FALSE},
        {[]() -> HRESULT { throw ffm::ComError(0x80040213); }, static_cast<HRESULT>(0x80040213)},
        {[]() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {[] { return ffm::ThrowIfFailed(E_POINTER), S_OK; }, E_POINTER},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ffm::Boundary([&] {
                      const auto lock = cs.Lock();
                      const auto inner = cs.Lock(); // re-entered
                      return c.body();
                  }),
                  c.result);
        EXPECT_TRUE(FreeForOtherThreads(cs));
    }
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

TEST(ComPtr, OwnsItsReferenceAndQueries) {
    using Fake = FakeObject<IUnknown>;
    ffmtest::LiveCounter live;
    ComPtr<IUnknown> p(new Fake(&live));
    *p.put() = ComPtr<IUnknown>(new Fake(&live)).detach(); // put() gives up the first one
    EXPECT_EQ(live.alive, 1);
    auto* raw = static_cast<Fake*>(p.detach());
    EXPECT_FALSE(p);
    auto again = ComPtr<IUnknown>::Attach(raw);
    EXPECT_EQ(raw->RefCount(), 1u);

    EXPECT_FALSE(again.try_query<ISupportErrorInfo>());
    EXPECT_EQ(Raised([&] { again.query<ISupportErrorInfo>(); }), E_NOINTERFACE);
    raw->SetQueryFailure(E_UNEXPECTED);
    EXPECT_EQ(Raised([&] { again.query<ISupportErrorInfo>(); }), E_UNEXPECTED);
    EXPECT_EQ(Raised([] { ComPtr<IUnknown>().query<ISupportErrorInfo>(); }), E_POINTER);
    EXPECT_EQ(raw->RefCount(), 1u);
    again.reset();
    EXPECT_EQ(live.alive, 0);
}

namespace {
std::vector<int> gClosed;
struct CountingTraits {
    using Type = int;
    static constexpr int Invalid() noexcept { return 0; }
    static void Close(int v) noexcept { gClosed.push_back(v); }
};
} // namespace

TEST(Handles, OwnerClosesWhatItReplaces) {
    {
        ffm::UniqueAny<CountingTraits> h(5), other(9);
        *h.put() = 7;
        EXPECT_EQ(gClosed, std::vector<int>{5});
        EXPECT_EQ(h.release(), 7);
        h.reset(8);
        h = std::move(other);
        EXPECT_FALSE(other);
        EXPECT_EQ(gClosed, (std::vector<int>{5, 8}));
    }
    EXPECT_EQ(gClosed, (std::vector<int>{5, 8, 9}));
}
