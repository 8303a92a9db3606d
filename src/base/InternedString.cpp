#include "base/InternedString.h"

#include "base/Logger.h"

#include <cstdlib>
#include <ostream>
#include <vector>

namespace interned_detail
{
namespace
{
constexpr char EMPTY_ENTRY[HEADER_SIZE + 1] = {};
} // namespace

constinit const char* g_apChunks[CHUNK_COUNT] = {EMPTY_ENTRY};
} // namespace interned_detail

namespace
{

using namespace interned_detail;

constexpr std::size_t CHUNK_SIZE = std::size_t{1} << OFFSET_BITS;
// Entries above this size get a chunk of their own: the room left at the end of a shared
// chunk is never more than this. With 4095 chunks the pool holds at least 1 GiB of such
// entries, and about 4 GiB of ordinary ones.
constexpr std::size_t OWN_CHUNK_ENTRY = CHUNK_SIZE / 4;
constexpr std::size_t INITIAL_SLOTS = 1024;

// MurmurHash64A: eight bytes a step, which matters for the long file names and paths.
uint64_t hashBytes(const char* pData, std::size_t uLength)
{
    constexpr uint64_t M = 0xc6a4a7935bd1e995ULL;
    constexpr int R = 47;
    uint64_t uHash = 0x9e3779b97f4a7c15ULL ^ (uLength * M);
    const char* pEnd = pData + (uLength & ~std::size_t{7});
    for (; pData != pEnd; pData += 8)
    {
        uint64_t uWord;
        std::memcpy(&uWord, pData, 8);
        uWord *= M;
        uWord ^= uWord >> R;
        uWord *= M;
        uHash ^= uWord;
        uHash *= M;
    }
    if (const std::size_t uTail = uLength & 7)
    {
        uint64_t uWord = 0;
        std::memcpy(&uWord, pData, uTail);
        uHash ^= uWord;
        uHash *= M;
    }
    uHash ^= uHash >> R;
    uHash *= M;
    uHash ^= uHash >> R;
    return uHash;
}

// Open addressing with linear probing. A slot keeps the text's hash next to its handle, so
// that probes rarely touch the texts and growth never hashes a text again.
struct Slot
{
    uint32_t m_uHandle; // 0: free (the empty string is never stored)
    uint32_t m_uHash;
};

[[noreturn]] void poolExhausted(std::size_t uLength)
{
    logMessage(FATAL, "string pool exhausted (%zu chunks of %zu bytes) interning %zu bytes",
               CHUNK_COUNT - 1, CHUNK_SIZE, uLength);
    std::abort();
}

class Pool
{
public:
    Pool() { reset(); }

    uint32_t intern(std::string_view sText)
    {
        const uint64_t uWide = hashBytes(sText.data(), sText.size());
        const uint32_t uHash = static_cast<uint32_t>(uWide ^ (uWide >> 32));
        std::size_t uIndex = uHash & m_uMask;
        for (;;)
        {
            const Slot& slot = m_vSlots[uIndex];
            if (slot.m_uHandle == 0)
                break;
            if (slot.m_uHash == uHash && matches(slot.m_uHandle, sText))
                return slot.m_uHandle;
            uIndex = (uIndex + 1) & m_uMask;
        }
        const uint32_t uHandle = store(sText);
        m_vSlots[uIndex] = Slot{uHandle, uHash};
        // Load kept at or below 0.6.
        if (++m_uCount * 5 > m_vSlots.size() * 3)
            grow();
        return uHandle;
    }

    void reset()
    {
        // One shared chunk is kept for the next input: allocating and freeing a fresh one
        // per input would cost more than the inputs themselves.
        if (m_pSpare == nullptr && m_pCurrent != nullptr)
            g_apChunks[m_uCurrentChunk] = nullptr;
        for (std::size_t i = 1; i < m_uChunks; ++i)
        {
            delete[] g_apChunks[i];
            g_apChunks[i] = nullptr;
        }
        if (m_pSpare == nullptr)
            m_pSpare = m_pCurrent;
        m_uChunks = 1;
        m_pCurrent = nullptr;
        m_uCurrentChunk = 0;
        m_uUsed = CHUNK_SIZE;
        m_vSlots.assign(INITIAL_SLOTS, Slot{0, 0});
        m_vSlots.shrink_to_fit();
        m_uMask = INITIAL_SLOTS - 1;
        m_uCount = 0;
    }

private:
    static bool matches(uint32_t uHandle, std::string_view sText)
    {
        const char* pEntry = g_apChunks[uHandle >> OFFSET_BITS] + (uHandle & OFFSET_MASK);
        uint32_t uLength;
        std::memcpy(&uLength, pEntry, sizeof uLength);
        return uLength == sText.size() &&
               std::memcmp(pEntry + HEADER_SIZE, sText.data(), sText.size()) == 0;
    }

    char* newChunk(std::size_t uSize, std::size_t uLength)
    {
        if (m_uChunks == CHUNK_COUNT)
            poolExhausted(uLength);
        char* pChunk;
        if (uSize == CHUNK_SIZE && m_pSpare != nullptr)
        {
            pChunk = m_pSpare;
            m_pSpare = nullptr;
        }
        else
            pChunk = new char[uSize];
        g_apChunks[m_uChunks] = pChunk;
        ++m_uChunks;
        return pChunk;
    }

    uint32_t store(std::string_view sText)
    {
        if (sText.size() > UINT32_MAX - HEADER_SIZE - 1)
            poolExhausted(sText.size());
        const std::size_t uEntrySize = HEADER_SIZE + sText.size() + 1;
        char* pEntry;
        uint32_t uHandle;
        if (uEntrySize > OWN_CHUNK_ENTRY)
        {
            pEntry = newChunk(uEntrySize, sText.size());
            uHandle = static_cast<uint32_t>(m_uChunks - 1) << OFFSET_BITS;
        }
        else
        {
            if (CHUNK_SIZE - m_uUsed < uEntrySize)
            {
                m_pCurrent = newChunk(CHUNK_SIZE, sText.size());
                m_uCurrentChunk = m_uChunks - 1;
                m_uUsed = 0;
            }
            pEntry = m_pCurrent + m_uUsed;
            uHandle = static_cast<uint32_t>(m_uCurrentChunk << OFFSET_BITS | m_uUsed);
            m_uUsed += uEntrySize;
        }
        const uint32_t uLength = static_cast<uint32_t>(sText.size());
        std::memcpy(pEntry, &uLength, sizeof uLength);
        std::memcpy(pEntry + HEADER_SIZE, sText.data(), sText.size());
        pEntry[HEADER_SIZE + sText.size()] = '\0';
        return uHandle;
    }

    void grow()
    {
        std::vector<Slot> vOld(m_vSlots.size() * 2, Slot{0, 0});
        vOld.swap(m_vSlots);
        m_uMask = m_vSlots.size() - 1;
        for (const Slot& slot : vOld)
        {
            if (slot.m_uHandle == 0)
                continue;
            std::size_t uIndex = slot.m_uHash & m_uMask;
            while (m_vSlots[uIndex].m_uHandle != 0)
                uIndex = (uIndex + 1) & m_uMask;
            m_vSlots[uIndex] = slot;
        }
    }

    std::size_t m_uChunks = 1;
    char* m_pCurrent = nullptr;
    char* m_pSpare = nullptr; // a shared chunk kept by a reset
    std::size_t m_uCurrentChunk = 0;
    std::size_t m_uUsed = CHUNK_SIZE;
    std::vector<Slot> m_vSlots;
    std::size_t m_uMask = 0;
    std::size_t m_uCount = 0;
};

// Never destroyed: static objects that hold interned strings may still read them while
// the program exits.
Pool& pool()
{
    static Pool& thePool = *new Pool;
    return thePool;
}

} // namespace

uint32_t InternedString::intern(std::string_view sText)
{
    return sText.empty() ? 0 : pool().intern(sText);
}

void InternedString::resetPoolForFuzzing()
{
    pool().reset();
}

std::ostream& operator<<(std::ostream& stream, const InternedString& sText)
{
    return stream << sText.view();
}
