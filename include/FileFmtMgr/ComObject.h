#pragma once
// How a COM object is written here, by the library, plug-ins, hosts and test doubles alike:
//
//   class Thing : public ffm::ComObject<ITovFileFormat, ITovFileQuery> { ...the methods... };
//   ffm::ComPtr<Thing> thing = ffm::Make<Thing>(arguments);
//
// QueryInterface answers IUnknown and every listed interface together with the interfaces it
// derives from (ITovFileNavigator4 also answers 3, 2 and the first version). An entry of the list
// may instead be a class of default answers for an interface (see ContractBases.h): it names that
// interface as its member type Interface. The count is atomic; the object deletes itself when it
// reaches zero. Header only: a plug-in links nothing of the library for it.
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/TovContract.h>
#include <atomic>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

namespace ffm {

// The interface an interface derives from; IUnknown ends the walk. Interfaces that derive from
// another one than IUnknown or IDispatch say so here.
template <class I> struct BaseInterface { using type = IUnknown; };
template <> struct BaseInterface<ITovFileNavigator2> { using type = ITovFileNavigator; };
template <> struct BaseInterface<ITovFileNavigator3> { using type = ITovFileNavigator2; };
template <> struct BaseInterface<ITovFileNavigator4> { using type = ITovFileNavigator3; };
template <> struct BaseInterface<ITovFileNavigator5> { using type = ITovFileNavigator4; };
template <> struct BaseInterface<ITovCallback> { using type = IDispatch; };
template <> struct BaseInterface<ITovPluginPreviewCallbackInternal> { using type = IDispatch; };

namespace detail {
template <class E, class = void> struct InterfaceOf { using type = E; };
template <class E> struct InterfaceOf<E, std::void_t<typename E::Interface>> {
    using type = typename E::Interface;
};

template <class I> bool AnswersTo(REFIID iid) noexcept {
    if (iid == __uuidof(I))
        return true;
    using Base = typename BaseInterface<I>::type;
    if constexpr (std::is_same_v<Base, IUnknown>)
        return false;
    else
        return AnswersTo<Base>(iid);
}
} // namespace detail

// Live objects and LockServer locks of the binary that includes this header (each DLL or program
// has its own): a module may unload when it is zero.
class ModuleLock {
  public:
    ModuleLock() noexcept { ++Count(); }
    ModuleLock(const ModuleLock&) noexcept : ModuleLock() {}
    ModuleLock& operator=(const ModuleLock&) noexcept { return *this; }
    ~ModuleLock() { --Count(); }
    static std::atomic<long>& Count() noexcept {
        static std::atomic<long> count{0};
        return count;
    }
};

template <class... Entries> class ComObject : public Entries... {
    static_assert(sizeof...(Entries) > 0, "a COM object implements at least one interface");

  public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    // Never allocates and never throws: COM calls it from C frames.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = Find(iid);
        if (!*out)
            return E_NOINTERFACE;
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

    // Declared without virtual on purpose: it implements ISupportErrorInfo when the object lists
    // that interface (every other interface of the object then reports error information), and is
    // an unused plain member otherwise.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) {
        return iid != IID_IUnknown && iid != IID_ISupportErrorInfo && Find(iid) ? S_OK : S_FALSE;
    }

  protected:
    virtual ~ComObject() = default;

    // The object's pointer for the interface, or null; not add-ref'ed.
    void* Find(REFIID iid) noexcept {
        using First = typename detail::InterfaceOf<std::tuple_element_t<0, std::tuple<Entries...>>>::type;
        if (iid == IID_IUnknown)
            return static_cast<IUnknown*>(static_cast<First*>(this));
        void* found = nullptr;
        ((found = Match<Entries>(iid)) || ...);
        return found;
    }
    ULONG References() const noexcept { return m_refs; }

  private:
    template <class E> void* Match(REFIID iid) noexcept {
        using I = typename detail::InterfaceOf<E>::type;
        return detail::AnswersTo<I>(iid) ? static_cast<I*>(static_cast<E*>(this)) : nullptr;
    }

    std::atomic<ULONG> m_refs{0};
};

// A new object holding the one reference the pointer counts; raises std::bad_alloc.
template <class T, class... Args> ComPtr<T> Make(Args&&... args) {
    return ComPtr<T>(new T(std::forward<Args>(args)...));
}

} // namespace ffm
