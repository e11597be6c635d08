#pragma once
// The reference update of one file after moves (ghUpdateXRefPaths): the parts a test can reach on
// their own.
#include <string>

namespace ffm::refupdate {

// The file argument "open > kept": the file the plug-in opens and the file whose attributes and
// time are kept. Without '>' both are the argument. Quotes and '>' are removed from both; the
// kept path is also trimmed of surrounding white space.
struct FileArgument {
    std::wstring openPath;
    std::wstring keptPath;
};
FileArgument SplitFileArgument(const std::wstring& argument);

// The user value "TempDirForSEFiles": Solid Edge files are worked on in a copy unless it is a
// 4-byte 0. ReadTempDirForSEFiles reads it now; TempDirForSEFiles reads it once per process.
bool ReadTempDirForSEFiles();
bool TempDirForSEFiles();

} // namespace ffm::refupdate
