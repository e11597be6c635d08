#include <FileFmtMgr/SpStr.h>

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

namespace ffm {

struct SpStr::Block {
    explicit Block(UniqueBstr owned) noexcept : text(std::move(owned)) {}
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() { std::unique_ptr<char[]> owned(narrow.load()); }

    UniqueBstr text;
    std::atomic<char*> narrow{nullptr}; // owned (freed by the destructor); made on first request
    std::atomic<long> refs{1};
};

SpStr::Block* SpStr::MakeBlock(BSTR text) {
    UniqueBstr owned(text);
    if (!owned)
        throw ComError(E_OUTOFMEMORY);
    if (SysStringLen(owned.get()) == 0 && SysStringByteLen(owned.get()) == 0)
        return nullptr;
    auto* block = new (std::nothrow) Block(std::move(owned));
    if (!block)
        throw ComError(E_OUTOFMEMORY);
    return block;
}

SpStr::SpStr(const wchar_t* text) {
    if (text && *text)
        m_block = MakeBlock(AllocBstr(text));
}

SpStr::SpStr(const wchar_t* text, UINT length) {
    if (length)
        m_block = MakeBlock(AllocBstrLen(text, length));
}

SpStr::SpStr(const char* text) {
    if (!text || !*text)
        return;
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0)
        throw ComError(HRESULT_FROM_WIN32(GetLastError()));
    UniqueBstr b(AllocBstrLen(nullptr, static_cast<UINT>(n - 1)));
    if (!b)
        throw ComError(E_OUTOFMEMORY);
    MultiByteToWideChar(CP_ACP, 0, text, -1, b.get(), n);
    m_block = MakeBlock(b.release());
}

SpStr::SpStr(const VARIANT& value) {
    *this = value;
}

SpStr::SpStr(const SpStr& other) noexcept : m_block(other.m_block) {
    if (m_block)
        m_block->refs.fetch_add(1, std::memory_order_relaxed);
}

SpStr::SpStr(SpStr&& other) noexcept : m_block(other.m_block) {
    other.m_block = nullptr;
}

SpStr::~SpStr() {
    Reset(nullptr);
}

void SpStr::Reset(Block* block) noexcept {
    Block* old = m_block;
    m_block = block;
    if (old && old->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::unique_ptr<Block> last(old); // the last share frees the block
    }
}

SpStr& SpStr::operator=(const SpStr& other) noexcept {
    if (other.m_block)
        other.m_block->refs.fetch_add(1, std::memory_order_relaxed);
    Reset(other.m_block);
    return *this;
}

SpStr& SpStr::operator=(SpStr&& other) noexcept {
    if (this != &other) {
        Reset(other.m_block);
        other.m_block = nullptr;
    }
    return *this;
}

SpStr& SpStr::operator=(const wchar_t* text) {
    if (m_block && text == m_block->text.get())
        return *this;
    SpStr copy(text);
    return *this = std::move(copy);
}

SpStr& SpStr::operator=(const VARIANT& value) {
    UniqueVariant v;
    ThrowIfFailed(VariantChangeType(v.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR));
    BSTR text = v->bstrVal;
    Block* block = nullptr;
    if (text && SysStringByteLen(text)) {
        block = MakeBlock(NewBstrCopy(text));
    }
    Reset(block);
    return *this;
}

const wchar_t* SpStr::W() const noexcept {
    return m_block ? m_block->text.get() : nullptr;
}

const wchar_t* SpStr::Text() const noexcept {
    return m_block ? m_block->text.get() : L"";
}

BSTR SpStr::Bstr() const noexcept {
    return m_block ? m_block->text.get() : nullptr;
}

UINT SpStr::Length() const noexcept {
    return m_block ? SysStringLen(m_block->text.get()) : 0;
}

long SpStr::ShareCount() const noexcept {
    return m_block ? m_block->refs.load(std::memory_order_relaxed) : 0;
}

const char* SpStr::A() const {
    if (!m_block)
        return "";
    if (char* ready = m_block->narrow.load(std::memory_order_acquire))
        return ready;
    const wchar_t* text = m_block->text.get();
    const int len = static_cast<int>(SysStringLen(m_block->text.get()));
    if (len == 0) // an odd single byte: no code unit to convert
        return "";
    const int n = WideCharToMultiByte(CP_ACP, 0, text, len, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        throw ComError(HRESULT_FROM_WIN32(GetLastError()));
    std::unique_ptr<char[]> made(new (std::nothrow) char[n + 1]);
    if (!made)
        throw ComError(E_OUTOFMEMORY);
    WideCharToMultiByte(CP_ACP, 0, text, len, made.get(), n, nullptr, nullptr);
    made[n] = '\0';
    char* expected = nullptr;
    // Two threads may convert at once; the first copy stored wins (the other is freed here).
    if (!m_block->narrow.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
        return expected;
    return made.release();
}

int SpStr::Compare(const SpStr& other) const noexcept {
    if (m_block == other.m_block)
        return 0;
    const UINT la = Length(), lb = other.Length();
    if (la == 0 || lb == 0)
        return la == lb ? 0 : (la == 0 ? -1 : 1);
    const wchar_t* a = m_block->text.get();
    const wchar_t* b = other.m_block->text.get();
    const UINT common = la < lb ? la : lb;
    for (UINT i = 0; i < common; ++i) {
        const int d = static_cast<int>(static_cast<unsigned short>(a[i])) -
                      static_cast<int>(static_cast<unsigned short>(b[i]));
        if (d != 0)
            return d;
    }
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

} // namespace ffm
