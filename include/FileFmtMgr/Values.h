#pragma once
// Small value types exchanged by the content services with their callers.
#include <FileFmtMgr/Api.h>
#include <string>

namespace ffm {

// A plain wide text value.
class FFM_API Str {
  public:
    Str() = default;
    Str(std::wstring text) : m_text(std::move(text)) {}
    virtual ~Str();
    const std::wstring& Text() const noexcept { return m_text; }
    std::wstring& Text() noexcept { return m_text; }

  private:
    std::wstring m_text;
};

// A path value, kept in search-path lists.
class FFM_API Path {
  public:
    Path() = default;
    Path(std::wstring path) : m_path(std::move(path)) {}
    virtual ~Path();
    const std::wstring& Text() const noexcept { return m_path; }
    std::wstring& Text() noexcept { return m_path; }

  private:
    std::wstring m_path;
};

// An owned byte buffer with its count.
class FFM_API BinBlock {
  public:
    BinBlock() = default;
    // A buffer of size bytes, copied from data when data is not null, else left zeroed.
    // Sizes below 1 give an empty block.
    BinBlock(const void* data, long size);
    BinBlock(const BinBlock& other);
    BinBlock(BinBlock&& other) noexcept;
    BinBlock& operator=(BinBlock other) noexcept;
    virtual ~BinBlock();

    const unsigned char* Data() const noexcept { return m_data; }
    long Size() const noexcept { return m_size; }

  private:
    unsigned char* m_data = nullptr; // owned
    long m_size = 0;
};

// Splits a text into tokens at any of a set of delimiter characters; runs of delimiters give no
// empty tokens.
class FFM_API StrTok {
  public:
    StrTok(std::wstring text, std::wstring delimiters);
    virtual ~StrTok();
    // The next token, or false when the text is exhausted.
    bool Next(std::wstring& token);

  private:
    std::wstring m_text;
    std::wstring m_delimiters;
    std::size_t m_pos = 0;
};

} // namespace ffm
