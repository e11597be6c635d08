#include "ComMemoryLedger.h"

#include <atomic>
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

struct Entry {
    bool bstr;
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

// Only the ledger's thread touches the bookkeeping, so it needs no lock.
Real gReal;
std::atomic<DWORD> gThread{0}; // the watching thread; 0 while no ledger lives
BlockMap gBlocks;
long gAllocations = 0;
long gDoubleFrees = 0;

template <class P> P Record(P block, bool bstr) {
    if (block && GetCurrentThreadId() == gThread) {
        gBlocks[block] = Entry{bstr, 0};
        ++gAllocations;
    }
    return block;
}

// True when the block is watched: the free is counted and the block held back.
bool Hold(const void* block) {
    if (!block || GetCurrentThreadId() != gThread)
        return false;
    const auto found = gBlocks.find(block);
    if (found == gBlocks.end())
        return false;
    if (++found->second.frees > 1)
        ++gDoubleFrees;
    return true;
}

BSTR WINAPI HookSysAllocString(const OLECHAR* text) {
    return Record(gReal.sysAllocString(text), true);
}
BSTR WINAPI HookSysAllocStringLen(const OLECHAR* text, UINT length) {
    return Record(gReal.sysAllocStringLen(text, length), true);
}
BSTR WINAPI HookSysAllocStringByteLen(LPCSTR text, UINT length) {
    return Record(gReal.sysAllocStringByteLen(text, length), true);
}
void WINAPI HookSysFreeString(BSTR b) {
    if (!Hold(b))
        gReal.sysFreeString(b);
}
LPVOID WINAPI HookCoTaskMemAlloc(SIZE_T size) {
    return Record(gReal.coTaskMemAlloc(size), false);
}
void WINAPI HookCoTaskMemFree(LPVOID p) {
    if (!Hold(p))
        gReal.coTaskMemFree(p);
}

// Resolves the real function into real and points the executable's import of it at hook.
template <class F> void Redirect(F& real, F hook, const wchar_t* module, const char* name) {
    real = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(module), name)));
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
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(reinterpret_cast<void*>(hook));
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), old, &old);
        }
    }
}

void InstallHooks() {
    Redirect(gReal.sysAllocString, &HookSysAllocString, L"oleaut32.dll", "SysAllocString");
    Redirect(gReal.sysAllocStringLen, &HookSysAllocStringLen, L"oleaut32.dll", "SysAllocStringLen");
    Redirect(gReal.sysAllocStringByteLen, &HookSysAllocStringByteLen, L"oleaut32.dll",
             "SysAllocStringByteLen");
    Redirect(gReal.sysFreeString, &HookSysFreeString, L"oleaut32.dll", "SysFreeString");
    Redirect(gReal.coTaskMemAlloc, &HookCoTaskMemAlloc, L"ole32.dll", "CoTaskMemAlloc");
    Redirect(gReal.coTaskMemFree, &HookCoTaskMemFree, L"ole32.dll", "CoTaskMemFree");
}

} // namespace

ComMemoryLedger::ComMemoryLedger() {
    static std::once_flag installed;
    std::call_once(installed, InstallHooks);
    gBlocks.clear();
    gAllocations = 0;
    gDoubleFrees = 0;
    gThread = GetCurrentThreadId();
}

ComMemoryLedger::~ComMemoryLedger() {
    gThread = 0;
    for (const auto& [block, entry] : gBlocks) {
        if (entry.frees == 0)
            continue;
        if (entry.bstr)
            gReal.sysFreeString(static_cast<BSTR>(const_cast<void*>(block)));
        else
            gReal.coTaskMemFree(const_cast<void*>(block));
    }
    gBlocks.clear();
}

std::string ComMemoryLedger::Problems() const {
    long live = 0;
    for (const auto& entry : gBlocks)
        live += entry.second.frees == 0;
    if (live == 0 && gDoubleFrees == 0)
        return {};
    return std::to_string(live) + " blocks live, " + std::to_string(gDoubleFrees) + " repeated frees";
}

long ComMemoryLedger::Allocations() const {
    return gAllocations;
}

} // namespace ffmtest
