// Main of every test executable: COM for the main thread, the library's module handle (unit
// tests link the core directly, so nothing else records it), and operator new wired to the
// allocation-failure countdown so tests can fail every allocation point of an operation.
#include "foundation/Alloc.h"
#include "foundation/Module.h"
#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <new>
#include <objbase.h>

void* operator new(std::size_t size) {
    if (ffm::fault::AllocationShouldFail())
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (ffm::fault::AllocationShouldFail())
        return nullptr;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept {
    return operator new(size, t);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleMock(&argc, argv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // Wine derives HKEY_CLASSES_ROOT from HKEY_LOCAL_MACHINE when it is first used; touching it
    // now binds it to the real class registry (which COM reads) before any test redirects HKLM.
    HKEY classes = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &classes) == ERROR_SUCCESS)
        RegCloseKey(classes);
    ffm::SetModuleHandle(GetModuleHandleW(nullptr));
    const int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
