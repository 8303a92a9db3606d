#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

namespace interned_detail
{
// A handle is a chunk index (high bits) and the byte offset of the entry in that chunk.
constexpr unsigned OFFSET_BITS = 20;
constexpr uint32_t OFFSET_MASK = (uint32_t{1} << OFFSET_BITS) - 1;
constexpr std::size_t CHUNK_COUNT = std::size_t{1} << (32 - OFFSET_BITS);
// Entry: 32-bit length, the bytes, a NUL.
constexpr std::size_t HEADER_SIZE = sizeof(uint32_t);

// Chunk 0 holds only the empty string, so that handle 0 reads as "" even before the pool
// exists (static objects may be made before anything is interned).
extern const char* g_apChunks[CHUNK_COUNT];
} // namespace interned_detail

// An immutable string kept once in a process-wide pool; the object itself is a 32-bit
// handle. Equal texts always get the same handle, so equality of two interned strings is a
// handle comparison; ordering is bytewise on the texts, as with std::string. Pooled texts are
// never freed: the package lists and the rpm database hold hundreds of thousands of short,
// often repeated names and versions, and the program reads them once per run.
//
// Not thread-safe: the pool may only be used from one thread (the updater interns on its
// main thread only; the package list's read-ahead thread only decompresses).
class InternedString
{
public:
    InternedString() = default;
    InternedString(std::string_view sText) : m_uHandle(intern(sText)) {}
    InternedString(const std::string& sText) : m_uHandle(intern(sText)) {}
    InternedString(const char* pText) : m_uHandle(intern(pText)) {}

    InternedString& operator=(std::string_view sText)
    {
        m_uHandle = intern(sText);
        return *this;
    }
    InternedString& operator=(const std::string& sText) { return *this = std::string_view(sText); }
    InternedString& operator=(const char* pText) { return *this = std::string_view(pText); }

    // NUL-terminated, valid for the life of the process (or until resetPoolForFuzzing).
    const char* c_str() const { return entry() + interned_detail::HEADER_SIZE; }
    const char* data() const { return c_str(); }
    std::size_t size() const
    {
        uint32_t uLength;
        std::memcpy(&uLength, entry(), sizeof uLength);
        return uLength;
    }
    std::size_t length() const { return size(); }
    bool empty() const { return m_uHandle == 0; }
    std::string_view view() const { return std::string_view(c_str(), size()); }
    operator std::string_view() const { return view(); }
    std::string str() const { return std::string(view()); }

    // Bytewise, like std::string::compare.
    int compare(const InternedString& other) const
    {
        return m_uHandle == other.m_uHandle ? 0 : view().compare(other.view());
    }
    int compare(std::string_view sOther) const { return view().compare(sOther); }
    int compare(const std::string& sOther) const { return view().compare(sOther); }
    int compare(const char* pOther) const { return view().compare(pOther); }
    int compare(std::size_t uPos, std::size_t uCount, std::string_view sOther) const
    {
        return view().compare(uPos, uCount, sOther);
    }

    bool operator==(const InternedString& other) const { return m_uHandle == other.m_uHandle; }
    bool operator==(std::string_view sOther) const { return view() == sOther; }
    bool operator==(const std::string& sOther) const { return view() == sOther; }
    bool operator==(const char* pOther) const { return view() == pOther; }
    std::strong_ordering operator<=>(const InternedString& other) const
    {
        return compare(other) <=> 0;
    }
    std::strong_ordering operator<=>(std::string_view sOther) const
    {
        return compare(sOther) <=> 0;
    }
    std::strong_ordering operator<=>(const std::string& sOther) const
    {
        return compare(sOther) <=> 0;
    }
    std::strong_ordering operator<=>(const char* pOther) const { return compare(pOther) <=> 0; }

    // The pool's identity of the text.
    uint32_t handle() const { return m_uHandle; }

    // Drops every pooled string, so that a fuzz target does not grow the pool without bound
    // over millions of inputs. Only valid when no InternedString other than empty ones is
    // alive any more: every other handle would then dangle.
    static void resetPoolForFuzzing();

private:
    static uint32_t intern(std::string_view sText);

    const char* entry() const
    {
        return interned_detail::g_apChunks[m_uHandle >> interned_detail::OFFSET_BITS] +
               (m_uHandle & interned_detail::OFFSET_MASK);
    }

    uint32_t m_uHandle = 0;
};

static_assert(sizeof(InternedString) == 4);

std::ostream& operator<<(std::ostream& stream, const InternedString& sText);

template <> struct std::hash<InternedString>
{
    std::size_t operator()(const InternedString& sText) const noexcept
    {
        return std::hash<uint32_t>()(sText.handle());
    }
};
