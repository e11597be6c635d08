#include "ComMemoryLedger.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

namespace ffmtest {

namespace {

// The ledger's own bookkeeping must not meet the tests' allocation-failure countdown, which is
// wired into operator new.
template <class T> struct RawAllocator {
    using value_type = T;
    RawAllocator() = default;
    template <class U> RawAllocator(const RawAllocator<U>&) {}
    T* allocate(std::size_t n) {
        if (void* p = std::malloc(n * sizeof(T)))
            return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, std::size_t) { std::free(p); }
    template <class U> bool operator==(const RawAllocator<U>&) const { return true; }
    template <class U> bool operator!=(const RawAllocator<U>&) const { return false; }
};

enum class Kind { Bstr, Task };
struct Entry {
    Kind kind;
    long frees;
};
using BlockMap =
    std::map<const void*, Entry, std::less<const void*>, RawAllocator<std::pair<const void* const, Entry>>>;

struct Real {
    BSTR(WINAPI* sysAllocString)(const OLECHAR*);
    BSTR(WINAPI* sysAllocStringLen)(const OLECHAR*, UINT);
    BSTR(WINAPI* sysAllocStringByteLen)(LPCSTR, UINT);
    void(WINAPI* sysFreeString)(BSTR);
    LPVOID(WINAPI* coTaskMemAlloc)(SIZE_T);
    void(WINAPI* coTaskMemFree)(LPVOID);
};

Real gReal;
std::mutex gLock;
BlockMap gBlocks;
bool gActive = false;
DWORD gThread = 0;
long gAllocations = 0;
long gDoubleFrees = 0;

void Record(const void* block, Kind kind) {
    if (!block || GetCurrentThreadId() != gThread)
        return;
    std::lock_guard<std::mutex> hold(gLock);
    if (!gActive)
        return;
    gBlocks[block] = Entry{kind, 0};
    ++gAllocations;
}

// True when the block is watched: the free is counted and the block held back.
bool Hold(const void* block) {
    if (!block)
        return false;
    std::lock_guard<std::mutex> hold(gLock);
    if (!gActive)
        return false;
    const auto found = gBlocks.find(block);
    if (found == gBlocks.end())
        return false;
    if (++found->second.frees > 1)
        ++gDoubleFrees;
    return true;
}

BSTR WINAPI HookSysAllocString(const OLECHAR* text) {
    BSTR b = gReal.sysAllocString(text);
    Record(b, Kind::Bstr);
    return b;
}
BSTR WINAPI HookSysAllocStringLen(const OLECHAR* text, UINT length) {
    BSTR b = gReal.sysAllocStringLen(text, length);
    Record(b, Kind::Bstr);
    return b;
}
BSTR WINAPI HookSysAllocStringByteLen(LPCSTR text, UINT length) {
    BSTR b = gReal.sysAllocStringByteLen(text, length);
    Record(b, Kind::Bstr);
    return b;
}
void WINAPI HookSysFreeString(BSTR b) {
    if (!Hold(b))
        gReal.sysFreeString(b);
}
LPVOID WINAPI HookCoTaskMemAlloc(SIZE_T size) {
    void* p = gReal.coTaskMemAlloc(size);
    Record(p, Kind::Task);
    return p;
}
void WINAPI HookCoTaskMemFree(LPVOID p) {
    if (!Hold(p))
        gReal.coTaskMemFree(p);
}

void Redirect(const char* name, void* hook) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name;
         ++desc) {
        if (!desc->OriginalFirstThunk)
            continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0)
                continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &old);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), old, &old);
        }
    }
}

template <class F> void Resolve(F& target, const wchar_t* module, const char* name) {
    target = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(module), name)));
}

void InstallHooks() {
    Resolve(gReal.sysAllocString, L"oleaut32.dll", "SysAllocString");
    Resolve(gReal.sysAllocStringLen, L"oleaut32.dll", "SysAllocStringLen");
    Resolve(gReal.sysAllocStringByteLen, L"oleaut32.dll", "SysAllocStringByteLen");
    Resolve(gReal.sysFreeString, L"oleaut32.dll", "SysFreeString");
    Resolve(gReal.coTaskMemAlloc, L"ole32.dll", "CoTaskMemAlloc");
    Resolve(gReal.coTaskMemFree, L"ole32.dll", "CoTaskMemFree");
    Redirect("SysAllocString", reinterpret_cast<void*>(&HookSysAllocString));
    Redirect("SysAllocStringLen", reinterpret_cast<void*>(&HookSysAllocStringLen));
    Redirect("SysAllocStringByteLen", reinterpret_cast<void*>(&HookSysAllocStringByteLen));
    Redirect("SysFreeString", reinterpret_cast<void*>(&HookSysFreeString));
    Redirect("CoTaskMemAlloc", reinterpret_cast<void*>(&HookCoTaskMemAlloc));
    Redirect("CoTaskMemFree", reinterpret_cast<void*>(&HookCoTaskMemFree));
}

} // namespace

ComMemoryLedger::ComMemoryLedger() {
    static std::once_flag installed;
    std::call_once(installed, InstallHooks);
    std::lock_guard<std::mutex> hold(gLock);
    gBlocks.clear();
    gAllocations = 0;
    gDoubleFrees = 0;
    gThread = GetCurrentThreadId();
    gActive = true;
}

ComMemoryLedger::~ComMemoryLedger() {
    std::lock_guard<std::mutex> hold(gLock);
    gActive = false;
    for (const auto& [block, entry] : gBlocks) {
        if (entry.frees == 0)
            continue;
        if (entry.kind == Kind::Bstr)
            gReal.sysFreeString(static_cast<BSTR>(const_cast<void*>(block)));
        else
            gReal.coTaskMemFree(const_cast<void*>(block));
    }
    gBlocks.clear();
}

std::set<const void*> ComMemoryLedger::Live() const {
    std::lock_guard<std::mutex> hold(gLock);
    std::set<const void*> live;
    for (const auto& [block, entry] : gBlocks)
        if (entry.frees == 0)
            live.insert(block);
    return live;
}

std::size_t ComMemoryLedger::LiveCount() const {
    std::lock_guard<std::mutex> hold(gLock);
    std::size_t live = 0;
    for (const auto& entry : gBlocks)
        live += entry.second.frees == 0;
    return live;
}

long ComMemoryLedger::Frees(const void* block) const {
    std::lock_guard<std::mutex> hold(gLock);
    const auto found = gBlocks.find(block);
    return found == gBlocks.end() ? 0 : found->second.frees;
}

long ComMemoryLedger::DoubleFrees() const {
    std::lock_guard<std::mutex> hold(gLock);
    return gDoubleFrees;
}

long ComMemoryLedger::Allocations() const {
    std::lock_guard<std::mutex> hold(gLock);
    return gAllocations;
}

} // namespace ffmtest
