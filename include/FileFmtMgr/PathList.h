#pragma once
// PathList: an ordered list of folder paths without repeats, kept in normalised form: slashes
// turned into backslashes and one trailing backslash. Used to build search paths.
#include <FileFmtMgr/Api.h>
#include <list>
#include <string>
#include <unordered_set>
#include <vector>

class FFM_API PathList {
  public:
    // The strings as they are, in order: no normalising, no removal of repeats.
    PathList(const std::list<std::wstring>& paths, wchar_t separator);
    // The pieces of text between separators, each trimmed of blanks; empty pieces are skipped.
    PathList(const std::wstring& text, wchar_t separator);
    virtual ~PathList();

    // True when the normalised path equals an entry as stored, without regard to case.
    bool mbContains(const std::wstring& path) const;
    // Appends the normalised path unless the list holds it.
    void mvAdd(const std::wstring& path);
    void mvAppend(const PathList& other);
    // Replaces the list's content with every entry in normalised form, in order.
    void mvCopyTo(std::list<std::wstring>& paths) const;

    // Slashes become backslashes; a backslash is appended unless the path ends in one.
    static std::wstring zoNormalize(const std::wstring& path);

  private:
    void mvStore(std::wstring path);
    static std::wstring zoKey(const std::wstring& path);

    std::vector<std::wstring> moPaths;
    wchar_t mcSeparator;
    std::unordered_set<std::wstring> moKeys; // the entries as stored, upper case: lookups stay linear overall
};
