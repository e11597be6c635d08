#include "preview/PreviewExclusion.h"

#include <atomic>

namespace ffm::preview {

namespace {
bool NothingExcluded(const wchar_t*) {
    return false;
}
std::atomic<ExclusionTest> gTest{&NothingExcluded};
} // namespace

ExclusionTest SetExclusionTest(ExclusionTest test) noexcept {
    return gTest.exchange(test ? test : &NothingExcluded);
}

bool IsExcludedFromPreview(const wchar_t* extension) {
    return gTest.load()(extension);
}

} // namespace ffm::preview
