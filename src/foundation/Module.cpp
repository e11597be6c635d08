#include "foundation/Module.h"

#include <atomic>

namespace ffm {
namespace {
std::atomic<HMODULE> gModule{nullptr};
}
void SetModuleHandle(HMODULE module) noexcept {
    gModule.store(module);
}
HMODULE ModuleHandle() noexcept {
    return gModule.load();
}
} // namespace ffm
