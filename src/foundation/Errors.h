#pragma once
// Raising failures inside an operation, and the one boundary that turns them into result codes.
#include <FileFmtMgr/ComError.h>
#include <FileFmtMgr/ResultCodes.h>
#include <new>
#include <type_traits>
#include <unknwn.h>

namespace ffm {

// Throws a COM error carrying a new error-information object with the description; without one
// when that object cannot be made.
[[noreturn]] void RaiseDescribed(HRESULT hr, const wchar_t* description);

// Throws a COM error with the code; when the object says through ISupportErrorInfo that it
// supplies error information for the interface, the thread's current one goes with it.
[[noreturn]] void RaiseFailure(HRESULT hr, IUnknown* object, REFIID iid);

inline void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr))
        throw ComError(hr);
}

// For a plug-in call the operation cannot continue past.
inline void ThrowIfFailed(HRESULT hr, IUnknown* object, REFIID iid) {
    if (FAILED(hr))
        RaiseFailure(hr, object, iid);
}

// Whether a list of pointers handed over by a caller holds a null one (answered with E_POINTER
// before anything else is done).
template <class List> bool HoldsNull(const List& list) noexcept {
    for (const auto& element : list)
        if (!element)
            return true;
    return false;
}

// Runs an operation's body and turns a COM error into its code, and allocation failure into
// E_OUTOFMEMORY. A COM error carrying error information puts it on the thread; otherwise the
// thread's error information is left as it is, so what a plug-in set there reaches the caller.
// Everything else passes on. The body returns an HRESULT or nothing (then S_OK).
template <class Body> HRESULT Boundary(Body&& body) {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
            body();
            return S_OK;
        } else {
            return body();
        }
    } catch (const ComError& e) {
        if (IErrorInfo* info = e.ErrorInfo())
            ::SetErrorInfo(0, info);
        return e.Error();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace ffm
