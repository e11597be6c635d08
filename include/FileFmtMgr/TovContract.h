#pragma once
// The file-format plug-in contract: the interfaces a plug-in implements (format object,
// navigator, preview and the optional ones), the host callback, the registry object the library
// hands to plug-ins, and the records they exchange. Method order is the contract: every position
// stays, also those this library never calls (named UnusedN; plug-ins answer them E_NOTIMPL).
// Arrays a plug-in hands over come from CoTaskMemAlloc and strings are BSTRs; the receiver frees
// both.
#include <cstddef>
#include <objbase.h>
#include <oaidl.h>
#include <windows.h>

#if defined(__MINGW32__) || defined(__GNUC__)
#define FFM_DECLARE_IID(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                     \
    __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#else
#define FFM_DECLARE_IID(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#endif

// ---- Records ---------------------------------------------------------------------------------

// A reference as a plug-in reports it (first version): 72 bytes.
struct TovRefData {
    long mlDataSize;        // bytes at mpcData
    unsigned char* mpcData; // opaque data of the plug-in, CoTaskMemAlloc
    BSTR mbsFilePath;       // path of the referenced file
    BSTR mbsRefPath;        // the reference's key path
    long mlNumberA;
    long mlNumberB;
    double mdNumber;
    long mlNumberC;
    const wchar_t* mpwText; // never freed by the library
    long mlNumberD;
};

// Second version: the same up to mpwText, then a flag.
struct TovRefData2 {
    long mlDataSize;
    unsigned char* mpcData;
    BSTR mbsFilePath;
    BSTR mbsRefPath;
    long mlNumberA;
    long mlNumberB;
    double mdNumber;
    long mlNumberC;
    const wchar_t* mpwText;
    long mlFlag; // nonzero: the delivered flag is true
    long mlNumberD;
};

#pragma pack(push, 1)
// Element of the array from ITovFileNavigator2::GetReferenceConfigurations: 36 bytes, unpadded.
struct TovRefConfigData {
    BSTR mbsPath; // path of the referenced file
    unsigned char mReserved[8];
    BSTR mbsConfig1;
    BSTR mbsConfig2;
    VARIANT_BOOL mbFlag1;
    VARIANT_BOOL mbFlag2;
};
#pragma pack(pop)

// Attribute records; the library allocates the arrays.
struct TovAttribData {
    BSTR mbsName;
    BSTR mbsBlock;
    VARIANT mvValue; // empty on a read; the value on a write
    long mlStatus;   // plug-in: nonzero means found (read) or written (write)
    long mlFlag;     // plug-in, on a read
};

struct TovAttribData2 {
    BSTR mbsName;
    BSTR mbsBlock;
    VARIANT mvValue;
    long mlNumber;
    long mlStatus;
    long mlFlag;
};

#pragma pack(push, 4)
// A menu item reported by a preview or for sub-files: 40 bytes on 4-byte boundaries.
struct TovPreviewMenuItem {
    long mlState;
    long mlCommand;
    BSTR mbsText;
    BSTR mbsHelp;
    long mlNumberA;
    BSTR mbsTextB;
    long mlNumberB;
};
#pragma pack(pop)

// A rectangle in client coordinates: left, top, right, bottom.
struct TovRect {
    long left;
    long top;
    long right;
    long bottom;
};

// A window message for ITovFilePreview::TranslateAccelerator: low 32 bits of each field.
struct TovMessage {
    long mlWindow;
    long mlMessage;
    long mlWParam;
    long mlLParam;
    long mlTime;
    long mlPointX;
    long mlPointY;
};

static_assert(sizeof(TovRefData) == 72 && offsetof(TovRefData, mpcData) == 8 &&
                  offsetof(TovRefData, mbsFilePath) == 16 && offsetof(TovRefData, mbsRefPath) == 24 &&
                  offsetof(TovRefData, mlNumberA) == 32 && offsetof(TovRefData, mlNumberB) == 36 &&
                  offsetof(TovRefData, mdNumber) == 40 && offsetof(TovRefData, mlNumberC) == 48 &&
                  offsetof(TovRefData, mpwText) == 56 && offsetof(TovRefData, mlNumberD) == 64,
              "TovRefData layout");
static_assert(sizeof(TovRefData2) == 72 && offsetof(TovRefData2, mpwText) == 56 &&
                  offsetof(TovRefData2, mlFlag) == 64 && offsetof(TovRefData2, mlNumberD) == 68,
              "TovRefData2 layout");
static_assert(sizeof(TovRefConfigData) == 36 && offsetof(TovRefConfigData, mbsConfig1) == 16 &&
                  offsetof(TovRefConfigData, mbsConfig2) == 24 && offsetof(TovRefConfigData, mbFlag1) == 32 &&
                  offsetof(TovRefConfigData, mbFlag2) == 34,
              "TovRefConfigData layout");
static_assert(sizeof(TovAttribData) == 48 && offsetof(TovAttribData, mvValue) == 16 &&
                  offsetof(TovAttribData, mlStatus) == 40 && offsetof(TovAttribData, mlFlag) == 44,
              "TovAttribData layout");
static_assert(sizeof(TovAttribData2) == 56 && offsetof(TovAttribData2, mlNumber) == 40 &&
                  offsetof(TovAttribData2, mlStatus) == 44 && offsetof(TovAttribData2, mlFlag) == 48,
              "TovAttribData2 layout");
static_assert(sizeof(TovPreviewMenuItem) == 40 && offsetof(TovPreviewMenuItem, mbsText) == 8 &&
                  offsetof(TovPreviewMenuItem, mbsHelp) == 16 &&
                  offsetof(TovPreviewMenuItem, mlNumberA) == 24 &&
                  offsetof(TovPreviewMenuItem, mbsTextB) == 28 &&
                  offsetof(TovPreviewMenuItem, mlNumberB) == 36,
              "TovPreviewMenuItem layout");
static_assert(sizeof(TovRect) == 16 && sizeof(TovMessage) == 28, "TovRect/TovMessage layout");

// ---- Host side -------------------------------------------------------------------------------

// The host's progress and status sink. Every argument that takes it may be null.
struct ITovCallback : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Unused7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused8() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetProgress(long percent) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetStatusMessage(BSTR text) = 0;
};

// The library's registry object for plug-ins: numbers and strings under the library's per-user key.
struct ITovRegistry : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetIntValue(BSTR name, long* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetIntValue(BSTR name, long value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStringValue(BSTR name, BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetStringValue(BSTR name, BSTR value) = 0;
};

// Implemented by the library for previews that ask to be shown again.
struct ITovPluginPreviewCallbackInternal : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE ReshowFile(long code) = 0;
};

// ---- Plug-in side ----------------------------------------------------------------------------

struct ITovFileNavigator;
struct ITovFilePreview;

// One file opened by a plug-in.
struct ITovFileNavigator : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetReferences(ITovCallback* callback, long* count,
                                                    TovRefData** refs) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetReferences(ITovCallback* callback, long count, TovRefData* refs) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* path) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused6() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSubFolders(ITovRegistry* registry, ITovCallback* callback,
                                                    long* count, ITovFileNavigator*** navigators) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSubFiles(ITovRegistry* registry, ITovCallback* callback, long* count,
                                                  ITovFileNavigator*** navigators) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetAttributes(BSTR configuration, long option, ITovCallback* callback,
                                                    long count, TovAttribData* attributes, long number) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAttributes(BSTR configuration, long option, ITovCallback* callback,
                                                    long count, TovAttribData* attributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused11() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused12() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSubFileMenuItems(ITovRegistry* registry, long* count,
                                                          TovPreviewMenuItem** items, long otherCount,
                                                          ITovFileNavigator** others) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSubFileMenuCommand(ITovRegistry* registry, ITovCallback* callback,
                                                           long window, long command, long otherCount,
                                                           ITovFileNavigator** others) = 0;
    virtual HRESULT STDMETHODCALLTYPE Save() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused16() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused17() = 0;
    // Configuration names separated by line feeds.
    virtual HRESULT STDMETHODCALLTYPE GetConfigurationNames(BSTR* names) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetOption(long option, long value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused20() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReferenceCount(long* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(long index, BSTR* data, BSTR* refPath, BSTR* filePath,
                                                   long* numberA) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused23() = 0;
};

struct ITovFileNavigator2 : public ITovFileNavigator {
    // A SAFEARRAY of TovRefConfigData elements (36 bytes each).
    virtual HRESULT STDMETHODCALLTYPE GetReferenceConfigurations(SAFEARRAY** configurations) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetFilePath(BSTR path) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused26() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused27() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused28() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused29() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused30() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused31() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused32() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused33() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused34() = 0;
};

struct ITovFileNavigator3 : public ITovFileNavigator2 {
    virtual HRESULT STDMETHODCALLTYPE SetAttributes2(BSTR configuration, long option, ITovCallback* callback,
                                                     long count, TovAttribData2* attributes, long number) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAttributes2(BSTR configuration, long option, ITovCallback* callback,
                                                     long count, TovAttribData2* attributes) = 0;
};

struct ITovFileNavigator4 : public ITovFileNavigator3 {
    virtual HRESULT STDMETHODCALLTYPE GetReferences2(ITovCallback* callback, long* count,
                                                     TovRefData2** refs) = 0;
};

// Only its presence is tested.
struct ITovFileNavigator5 : public ITovFileNavigator4 {};

// The plug-in's format object, created once by class identifier and cached.
struct ITovFileFormat : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Unused3() = 0;
    // extension without its leading dot
    virtual HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR extension, unsigned long* mask) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenFile(BSTR path, ITovCallback* callback,
                                               ITovFileNavigator** navigator) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreatePreview(long parentWindow, TovRect* rect, ITovCallback* callback,
                                                    ITovRegistry* registry, ITovFilePreview** preview) = 0;
    // folders separated by ';'
    virtual HRESULT STDMETHODCALLTYPE GetSearchPaths(BSTR argument, BSTR* paths) = 0;
};

struct ITovFilePreview : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ShowFile(ITovRegistry* registry, BSTR path, ITovCallback* callback,
                                               long type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ShowNavigator(ITovRegistry* registry, ITovFileNavigator* navigator,
                                                    ITovCallback* callback) = 0;
    virtual HRESULT STDMETHODCALLTYPE Hide() = 0;
    virtual HRESULT STDMETHODCALLTYPE Refresh(ITovCallback* callback) = 0;
    virtual HRESULT STDMETHODCALLTYPE Resize(TovRect* rect) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMenuItems(ITovRegistry* registry, long* count,
                                                   TovPreviewMenuItem** items) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnMenuCommand(long id, long command, long menu, long window,
                                                    ITovRegistry* registry) = 0;
    virtual HRESULT STDMETHODCALLTYPE TranslateAccelerator(TovMessage* message) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseFile(BSTR path) = 0;
};

// Optional interfaces, found with QueryInterface.
struct ITovPreviewFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreatePreviewEx(long parentWindow, TovRect* rect,
                                                      ITovCallback* callback, ITovRegistry* registry,
                                                      IUnknown* context, ITovFilePreview** preview) = 0;
};

struct ITovFormatContext : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetContext(unsigned long first, unsigned long second) = 0;
};

// Names the extension (without its dot) whose plug-in is to read a file this one declines.
struct ITovFormatRedirect : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTargetExtension(BSTR path, BSTR* extension) = 0;
};

// Numbered queries: 1 size and date (of the path in input), 3 configurations, 5 and 7 modes.
struct ITovFileQuery : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) = 0;
};

struct ITovProductModules : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetModuleList(long mask, BSTR extension, BSTR* modules) = 0;
};

// Presence only: the navigator works on a private copy of the file.
struct ITovWorkOnCopy : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Unused3() = 0;
};

FFM_DECLARE_IID(ITovFileFormat, 0xdefa4a38, 0x4432, 0x4901, 0x83, 0x80, 0xf0, 0x4d, 0xd5, 0x45, 0x87, 0xde)
FFM_DECLARE_IID(ITovFileNavigator, 0x44db73b2, 0xa5fa, 0x4a05, 0xb5, 0xcb, 0x15, 0x26, 0x95, 0xd1, 0xbc, 0x71)
FFM_DECLARE_IID(ITovFileNavigator2, 0x5657bc6a, 0x9579, 0x4d53, 0x9f, 0x42, 0x82, 0xae, 0xe1, 0x7d, 0x5e,
                0x0e)
FFM_DECLARE_IID(ITovFileNavigator3, 0xbece16b6, 0xd16a, 0x453b, 0xae, 0x3f, 0x7e, 0x5a, 0xaf, 0x7f, 0x32,
                0xa7)
FFM_DECLARE_IID(ITovFileNavigator4, 0xa3059c7f, 0x827c, 0x44b1, 0x8a, 0x8a, 0xd1, 0x14, 0xb3, 0xbc, 0xb6,
                0xe4)
FFM_DECLARE_IID(ITovFileNavigator5, 0x632ec57f, 0x55dd, 0x47bc, 0xb9, 0x35, 0xee, 0x97, 0x6e, 0x90, 0x0a,
                0x77)
FFM_DECLARE_IID(ITovFilePreview, 0x9fab3c2e, 0xbd56, 0x40b9, 0x86, 0x0b, 0x49, 0x89, 0x0a, 0xa5, 0xfa, 0xb5)
FFM_DECLARE_IID(ITovPreviewFactory, 0x23b66a3f, 0xc595, 0x481a, 0x81, 0xb9, 0x61, 0x33, 0xea, 0xdd, 0xf8,
                0x60)
FFM_DECLARE_IID(ITovFormatContext, 0x3154eb14, 0x2cc3, 0x4936, 0xa8, 0x9e, 0x92, 0xe1, 0xd3, 0x7a, 0x4b, 0x24)
FFM_DECLARE_IID(ITovFormatRedirect, 0x0df4037f, 0xab7e, 0x46b0, 0xa3, 0xff, 0x51, 0x8e, 0x99, 0x20, 0x7e,
                0xfb)
FFM_DECLARE_IID(ITovFileQuery, 0x869a65e4, 0x5043, 0x4766, 0xbc, 0xe8, 0x33, 0xf9, 0xa9, 0x76, 0x85, 0xfc)
FFM_DECLARE_IID(ITovProductModules, 0xe236b967, 0xc843, 0x4266, 0xac, 0x7a, 0x8b, 0xb4, 0x0c, 0xad, 0x29,
                0xad)
FFM_DECLARE_IID(ITovWorkOnCopy, 0xcb1024d6, 0xa7aa, 0x4644, 0xbc, 0x93, 0x46, 0xb6, 0xc4, 0xd3, 0x08, 0xb8)
FFM_DECLARE_IID(ITovCallback, 0x73f92921, 0x74f4, 0x497f, 0xbb, 0x15, 0x9b, 0xa3, 0x6a, 0xa9, 0x17, 0xc3)
FFM_DECLARE_IID(ITovPluginPreviewCallbackInternal, 0x9d4af2e4, 0x3b06, 0x4f1d, 0xa7, 0x23, 0xcc, 0x1b, 0xa8,
                0x09, 0xf3, 0xb6)
FFM_DECLARE_IID(ITovRegistry, 0xb95fc907, 0x69db, 0x47f3, 0x96, 0x81, 0xba, 0x09, 0x3d, 0x69, 0x84, 0x9f)
