#pragma once
// In-process COM doubles for tests: a reference-counted object over any set of interfaces, with
// a per-family counter of created and live objects, interfaces that can be hidden from
// QueryInterface, and a class factory registered with COM so CoCreateInstance finds it.
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/ContractBases.h>
#include <FileFmtMgr/RegistrationStore.h>
#include <atomic>
#include <functional>
#include <new>
#include <string>
#include <utility>
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

// A test double over any set of interfaces (or default-answer bases such as ffm::NavigatorBase),
// counted in its family's counter, with interfaces a test can hide from QueryInterface.
template <class... Is> class FakeObject : public ffm::ComObject<Is...> {
  public:
    explicit FakeObject(LiveCounter* counter = nullptr) : m_counter(counter) {
        if (m_counter) {
            ++m_counter->created;
            ++m_counter->alive;
        }
    }
    // Public: a test may keep a double on its stack.
    ~FakeObject() override {
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
        const HRESULT hr = ffm::ComObject<Is...>::QueryInterface(iid, out);
        return hr == E_NOINTERFACE ? m_queryFailure : hr;
    }

    // QueryInterface fails for this identifier from now on.
    void Hide(REFIID iid) { m_hidden.push_back(iid); }
    // The code QueryInterface gives for unknown and hidden interfaces (E_NOINTERFACE by default).
    void SetQueryFailure(HRESULT hr) { m_queryFailure = hr; }
    ULONG RefCount() const { return this->References(); }

    // The method of that name answers hr from now on (S_OK switches it back); the doubles ask
    // Injected(__func__) first in every method the library calls, so every failure path can run.
    void Fail(const std::string& method, HRESULT hr) {
        for (auto& [name, code] : m_failures)
            if (name == method) {
                code = hr;
                return;
            }
        m_failures.emplace_back(method, hr);
    }
    HRESULT Injected(const char* method) const noexcept {
        for (const auto& [name, code] : m_failures)
            if (name == method)
                return code;
        return S_OK;
    }

  private:
    LiveCounter* m_counter;
    std::vector<IID> m_hidden;
    std::vector<std::pair<std::string, HRESULT>> m_failures;
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
class RecordingCallback : public FakeObject<ffm::CallbackBase> {
  public:
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
