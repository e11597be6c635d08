#include <FileFmtMgr/Values.h>

#include <cstring>

namespace ffm {

Str::~Str() = default;
Path::~Path() = default;

BinBlock::BinBlock(const void* data, long size) {
    if (size < 1)
        return;
    m_data = new unsigned char[static_cast<std::size_t>(size)]();
    m_size = size;
    if (data)
        std::memcpy(m_data, data, static_cast<std::size_t>(size));
}

BinBlock::BinBlock(const BinBlock& other) : BinBlock(other.m_data, other.m_size) {}

BinBlock::BinBlock(BinBlock&& other) noexcept : m_data(other.m_data), m_size(other.m_size) {
    other.m_data = nullptr;
    other.m_size = 0;
}

BinBlock& BinBlock::operator=(BinBlock other) noexcept {
    std::swap(m_data, other.m_data);
    std::swap(m_size, other.m_size);
    return *this;
}

BinBlock::~BinBlock() {
    delete[] m_data;
}

StrTok::StrTok(std::wstring text, std::wstring delimiters)
    : m_text(std::move(text)), m_delimiters(std::move(delimiters)) {}

StrTok::~StrTok() = default;

bool StrTok::Next(std::wstring& token) {
    const std::size_t start = m_text.find_first_not_of(m_delimiters, m_pos);
    if (start == std::wstring::npos) {
        m_pos = m_text.size();
        return false;
    }
    std::size_t end = m_text.find_first_of(m_delimiters, start);
    if (end == std::wstring::npos)
        end = m_text.size();
    token.assign(m_text, start, end - start);
    m_pos = m_text.find_first_not_of(m_delimiters, end);
    if (m_pos == std::wstring::npos)
        m_pos = m_text.size();
    return true;
}

} // namespace ffm
