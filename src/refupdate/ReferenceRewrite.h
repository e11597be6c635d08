#pragma once
// The decision part of the reference rewrite (which references change, to what, and in which
// order they go back to the plug-in), and the path comparisons it is built on.
#include "foundation/Paths.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <cstddef>
#include <string>
#include <vector>

namespace ffm::refupdate {

// Paths are compared ignoring case by mapping every UTF-16 unit to its invariant upper case, one
// unit at a time, so a hash over the folded units is a key for PathEquals.
wchar_t FoldChar(wchar_t c) noexcept;
bool PathEquals(const wchar_t* a, const wchar_t* b) noexcept;
// Whether path begins with prefix, compared over the length of prefix.
bool PathStartsWith(const wchar_t* path, const std::wstring& prefix) noexcept;

// The last component of a path (after the last '\', '/' or ':').
const wchar_t* FileNameOf(const wchar_t* path) noexcept;
// The extension of the last component, from its last dot ("" when it has none).
const wchar_t* ExtensionOf(const wchar_t* path) noexcept;

// A CAD reference whose path the moves never touch: extension (cut to 8 characters) of one of the
// CAD part, layout, assembly and drawing kinds, and mlNumberA 2.
bool IsProtectedReference(const TovRefData& ref) noexcept;

// Applies the moves and the roots to the records read from a file: exact paths first, then file
// names, then rebasing onto the new root (only when all three roots are given). Replaces the
// mbsFilePath of every changed record and returns the changed records' positions in the order
// they are written back. Raises ComError(E_OUTOFMEMORY); the records stay consistent (each
// holds either its old or its new path).
std::vector<long> ApplyMoves(TovRefData* refs, long count, const Lst<MoveRef*>& moves, const wchar_t* newRoot,
                             const wchar_t* oldRoot, const wchar_t* altOldRoot);

} // namespace ffm::refupdate
