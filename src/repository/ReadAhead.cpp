// Reading a package list ahead of its parser.

#include "repository/ReadAhead.h"

#include "base/Logger.h"
#include "base/SignalFreeThread.h"

ReadAhead::ReadAhead(gzFile pFile, const std::string& sPath) : m_pFile(pFile), m_sPath(sPath)
{
    for (Chunk& chunk : m_chunks)
        chunk.m_vData.resize(PIECE_SIZE);
    (void)startSignalFreeThread(m_thread, [this] { produce(); });
}

ReadAhead::~ReadAhead()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bCancelled = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

bool ReadAhead::next(std::string_view& piece)
{
    if (!m_thread.joinable())
    {
        m_uLast = (m_uLast + 1) % HELD;
        Chunk& chunk = m_chunks[m_uLast];
        readChunk(chunk);
        return take(chunk, piece);
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_uHeld == HELD)
    {
        // The oldest chunk handed out is free again.
        --m_uHeld;
        m_uFirst = (m_uFirst + 1) % CHUNKS;
        --m_uFilled;
        m_changed.notify_all();
    }
    m_changed.wait(lock, [this] { return m_uFilled > m_uHeld; });
    const Chunk& chunk = m_chunks[(m_uFirst + m_uHeld) % CHUNKS];
    ++m_uHeld;
    return take(chunk, piece);
}

void ReadAhead::readChunk(Chunk& chunk)
{
    chunk.m_nSize = gzread(m_pFile, chunk.m_vData.data(), PIECE_SIZE);
    int nError = Z_OK;
    const char* pMessage = gzerror(m_pFile, &nError);
    // A truncated compressed file ends like a complete one but leaves Z_BUF_ERROR.
    if (chunk.m_nSize < 0 || (chunk.m_nSize == 0 && nError != Z_OK))
    {
        chunk.m_nSize = -1;
        chunk.m_nError = nError;
        chunk.m_sReason =
            nError == Z_ERRNO ? errnoText() : std::string(pMessage != nullptr ? pMessage : "");
    }
}

bool ReadAhead::take(const Chunk& chunk, std::string_view& piece) const
{
    if (chunk.m_nSize < 0)
    {
        std::string sReason = chunk.m_sReason;
        // zlib puts the path in front of its message.
        if (sReason.compare(0, m_sPath.size() + 2, m_sPath + ": ") == 0)
            sReason.erase(0, m_sPath.size() + 2);
        logMessage(ERROR, "failed reading primary file '%s' (%s)", m_sPath.c_str(),
                   sReason.c_str());
        return false;
    }
    piece = std::string_view(chunk.m_vData.data(), static_cast<std::size_t>(chunk.m_nSize));
    return true;
}

void ReadAhead::produce()
{
    std::size_t uNext = 0;
    for (;;)
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_bCancelled || m_uFilled < CHUNKS; });
            if (m_bCancelled)
                return;
        }
        // The slot after the filled ones is neither being read nor handed out.
        Chunk& chunk = m_chunks[uNext];
        readChunk(chunk);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_uFilled;
        }
        m_changed.notify_all();
        if (chunk.m_nSize <= 0)
            return;
        uNext = (uNext + 1) % CHUNKS;
    }
}
