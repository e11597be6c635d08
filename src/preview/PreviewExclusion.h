#pragma once
// The preview window's question whether an extension (upper case, no dot) is kept out of the
// preview pane. Until the excluded-types list is answered by the manager, nothing is excluded;
// tests install their own answer.
namespace ffm::preview {

using ExclusionTest = bool (*)(const wchar_t* extension);

// Installs test (null: the built-in answer); returns the one it replaces.
ExclusionTest SetExclusionTest(ExclusionTest test) noexcept;
bool IsExcludedFromPreview(const wchar_t* extension);

} // namespace ffm::preview
