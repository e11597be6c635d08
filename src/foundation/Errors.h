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

// Runs an operation's body and turns a COM error into its code, and allocation failure into
// E_OUTOFMEMORY. On failure the thread's error information becomes the error's own description,
// or none, so the caller never reads a stale one left by an earlier call or a plug-in.
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
        ::SetErrorInfo(0, e.ErrorInfo());
        return e.Error();
    } catch (const std::bad_alloc&) {
        ::SetErrorInfo(0, nullptr);
        return E_OUTOFMEMORY;
    }
}

} // namespace ffm
