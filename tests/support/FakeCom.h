#pragma once
// In-process COM doubles for tests: a reference-counted object over any set of interfaces, with
// a per-family counter of created and live objects, interfaces that can be hidden from
// QueryInterface, and a class factory registered with COM so CoCreateInstance finds it.
#include <FileFmtMgr/RegistrationStore.h>
#include <FileFmtMgr/TovContract.h>
#include <atomic>
#include <functional>
#include <new>
#include <tuple>
#include <string>
#include <vector>

namespace ffmtest {

// COM methods of fakes must not let an exception into the caller's C frames (the allocation
// sweep makes operator new fail in fakes too).
template <class F> HRESULT NoThrow(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

struct LiveCounter {
    std::atomic<long> created{0};
    std::atomic<long> alive{0};
};

// The interface identifiers an interface answers to: itself and its bases. Static arrays, so a
// QueryInterface never allocates (it is called from COM's C code, where no exception may pass).
template <class I> struct Chain {
    static constexpr int count = 1;
    static const IID* Ids() {
        static const IID ids[] = {__uuidof(I)};
        return ids;
    }
};
template <class Derived, class Base> struct ChainOf {
    static constexpr int count = 1 + Chain<Base>::count;
    static const IID* Ids() {
        static const IID* ids = [] {
            static IID all[count];
            all[0] = __uuidof(Derived);
            for (int i = 1; i < count; ++i)
                all[i] = Chain<Base>::Ids()[i - 1];
            return all;
        }();
        return ids;
    }
};
template <> struct Chain<ITovFileNavigator2> : ChainOf<ITovFileNavigator2, ITovFileNavigator> {};
template <> struct Chain<ITovFileNavigator3> : ChainOf<ITovFileNavigator3, ITovFileNavigator2> {};
template <> struct Chain<ITovFileNavigator4> : ChainOf<ITovFileNavigator4, ITovFileNavigator3> {};
template <> struct Chain<ITovFileNavigator5> : ChainOf<ITovFileNavigator5, ITovFileNavigator4> {};

template <class... Is> class FakeObject : public Is... {
  public:
    explicit FakeObject(LiveCounter* counter = nullptr) : m_counter(counter) {
        if (m_counter) {
            ++m_counter->created;
            ++m_counter->alive;
        }
    }
    virtual ~FakeObject() {
        if (m_counter)
            --m_counter->alive;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        for (const IID& h : m_hidden)
            if (h == iid)
                return m_queryFailure;
        if (iid == IID_IUnknown)
            *out = static_cast<IUnknown*>(static_cast<First*>(this));
        else
            (Match<Is>(iid, out) || ...);
        if (!*out)
            return m_queryFailure;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

    // QueryInterface fails for this identifier from now on.
    void Hide(REFIID iid) { m_hidden.push_back(iid); }
    // The code QueryInterface gives for unknown and hidden interfaces (E_NOINTERFACE by default).
    void SetQueryFailure(HRESULT hr) { m_queryFailure = hr; }
    ULONG RefCount() const { return m_refs; }

  private:
    using First = std::tuple_element_t<0, std::tuple<Is...>>;
    template <class I> bool Match(REFIID iid, void** out) {
        for (int i = 0; i < Chain<I>::count; ++i)
            if (Chain<I>::Ids()[i] == iid) {
                *out = static_cast<I*>(this);
                return true;
            }
        return false;
    }

    std::atomic<ULONG> m_refs{0};
    LiveCounter* m_counter;
    std::vector<IID> m_hidden;
    HRESULT m_queryFailure = E_NOINTERFACE;
};

// Makes CoCreateInstance(clsid) in this process call create(); revoked when it goes.
class ClassRegistration {
  public:
    ClassRegistration(const CLSID& clsid, std::function<IUnknown*()> create);
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;
    ~ClassRegistration();
    long CreateCount() const;

  private:
    struct Factory;
    Factory* m_factory;
    DWORD m_cookie = 0;
};

// A fresh class identifier.
CLSID NewClsid();
std::wstring ClsidText(const CLSID& clsid, bool braces = true);

// A host callback that records what it is told.
class RecordingCallback : public FakeObject<ITovCallback> {
  public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unused7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProgress(long percent) override {
        return NoThrow([&] {
            progress.push_back(percent);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE SetStatusMessage(BSTR text) override {
        return NoThrow([&] {
            status.push_back(text ? std::wstring(text) : std::wstring());
            return statusResult;
        });
    }

    std::vector<long> progress;
    std::vector<std::wstring> status;
    HRESULT statusResult = S_OK;
};

} // namespace ffmtest
