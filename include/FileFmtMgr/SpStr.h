#pragma once
// SpStr: a shared, reference-counted wide string. Copies share one block (the text as a BSTR, a
// narrow copy made on first request, an atomic count), so shares may be released on any thread.
// Order is ordinal and case-sensitive; null and "" are the same value.
#include <FileFmtMgr/Api.h>
#include <oaidl.h>
#include <windows.h>

namespace ffm {

class FFM_API SpStr {
  public:
    SpStr() noexcept = default;
    SpStr(const wchar_t* text);              // raises 0x8007000E when the BSTR cannot be made
    SpStr(const wchar_t* text, UINT length); // exactly length characters, embedded zeros kept
    explicit SpStr(const char* text);        // converted with the ANSI code page
    explicit SpStr(const VARIANT& value);    // copied and changed to VT_BSTR; raises on failure
    SpStr(const SpStr& other) noexcept;
    SpStr(SpStr&& other) noexcept;
    virtual ~SpStr();

    SpStr& operator=(const SpStr& other) noexcept;
    SpStr& operator=(SpStr&& other) noexcept;
    SpStr& operator=(const wchar_t* text);
    SpStr& operator=(const VARIANT& value);

    // The text, or null for an empty string.
    const wchar_t* W() const noexcept;
    // The text, never null: "" for an empty string.
    const wchar_t* Text() const noexcept;
    // The stored BSTR itself (not a copy), or null for an empty string.
    BSTR Bstr() const noexcept;
    // The narrow copy in the ANSI code page, made on first request and kept; never null.
    // Raises the system error (0x8007xxxx) when the conversion fails.
    const char* A() const;
    UINT Length() const noexcept;
    bool IsEmpty() const noexcept { return Length() == 0; }
    // How many values share this text (0 for an empty string); for leak checks.
    long ShareCount() const noexcept;

    // Ordinal comparison of UTF-16 code units; a shorter prefix sorts first.
    int Compare(const SpStr& other) const noexcept;

    friend bool operator==(const SpStr& a, const SpStr& b) noexcept { return a.Compare(b) == 0; }
    friend bool operator!=(const SpStr& a, const SpStr& b) noexcept { return a.Compare(b) != 0; }
    friend bool operator<(const SpStr& a, const SpStr& b) noexcept { return a.Compare(b) < 0; }
    friend bool operator<=(const SpStr& a, const SpStr& b) noexcept { return a.Compare(b) <= 0; }
    friend bool operator>(const SpStr& a, const SpStr& b) noexcept { return a.Compare(b) > 0; }
    friend bool operator>=(const SpStr& a, const SpStr& b) noexcept { return a.Compare(b) >= 0; }

  private:
    struct Block;
    static Block* MakeBlock(BSTR owned);
    void Reset(Block* block) noexcept;

    Block* m_block = nullptr; // shared; null for an empty string
};

} // namespace ffm
