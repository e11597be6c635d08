#pragma once
// The vault client's settings component ("VkrSettings.dll"), outside this library: the one
// method the library calls, in its place, and the class under which the component registers.
#include <list>
#include <objbase.h>
#include <string>

// {54739E31-19BB-11D3-90CA-00C04F56B3AF}
constexpr CLSID CLSID_VkrSettings = {
    0x54739e31, 0x19bb, 0x11d3, {0x90, 0xca, 0x00, 0xc0, 0x4f, 0x56, 0xb3, 0xaf}};

struct ISettings : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Unused3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused8() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused9() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused10() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused11() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused12() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused13() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused14() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused15() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused16() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused17() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused18() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused19() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused20() = 0;
    // Appends the search folders configured for the key to paths (the caller's list, which it
    // may already fill). The library passes 0 and 1 for the last two arguments.
    virtual HRESULT STDMETHODCALLTYPE AddSearchPaths(const std::wstring& key, std::list<std::wstring>& paths,
                                                     long third, long fourth) = 0;
};

#if defined(__MINGW32__) || defined(__GNUC__)
__CRT_UUID_DECL(ISettings, 0x303bea5b, 0xccd0, 0x4d21, 0xbd, 0x5f, 0x67, 0xf6, 0x84, 0x19, 0x7e, 0xe2)
#endif
