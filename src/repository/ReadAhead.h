#pragma once

// The uncompressed content of a package list, read ahead by a thread of its own while the
// parser works on the previous piece, so that on two cores decompression costs no waiting.
// When no thread can be started the content is read in the caller's thread.

#include <zlib.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class ReadAhead
{
public:
    // Pieces handed out at a time.
    static constexpr unsigned PIECE_SIZE = 256U << 10;

    // The file stays open, and sPath alive, as long as the object.
    ReadAhead(gzFile pFile, const std::string& sPath);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Whether a thread reads ahead.
    bool threaded() const { return m_thread.joinable(); }

    // The next piece of the content, empty at its end. False, with the error logged, when
    // the file cannot be read or decompressed. The pieces of this call and the one before
    // stay valid until the next call.
    [[nodiscard]] bool next(std::string_view& piece);

private:
    static constexpr std::size_t CHUNKS = 4;
    // Pieces the caller holds: the last one and the one before.
    static constexpr std::size_t HELD = 2;

    struct Chunk
    {
        std::vector<char> m_vData;
        int m_nSize = 0;
        // gzip error code and zlib's text when m_nSize is -1.
        int m_nError = Z_OK;
        std::string m_sReason;
    };

    void readChunk(Chunk& chunk);
    bool take(const Chunk& chunk, std::string_view& piece) const;
    void produce();

    gzFile m_pFile;
    const std::string& m_sPath;
    Chunk m_chunks[CHUNKS];
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Ring of chunks: m_uFilled filled ones from m_uFirst on, the first m_uHeld of them
    // handed out.
    std::size_t m_uFirst = 0;
    std::size_t m_uFilled = 0;
    std::size_t m_uHeld = 0;
    bool m_bCancelled = false;
    // Without a thread: the chunk read last.
    std::size_t m_uLast = 0;
};
