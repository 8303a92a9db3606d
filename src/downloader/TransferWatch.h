#pragma once

#include "base/UniqueFd.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// The network timeouts. Production code never changes them; tests shorten them.
struct NetworkTimeouts
{
    // Longest wait for data, and the period of the minimum transfer rate.
    int m_nReadSeconds = 120;
    int m_nConnectSeconds = 180;
    // Tests: watch as on a kernel that does not report a connection's received bytes.
    bool m_bCountBodyBytesOnly = false;
};

// The process-wide timeouts in use.
NetworkTimeouts& networkTimeouts();

// A transfer that brings fewer bytes than this within one read period is stalled.
inline constexpr uint64_t MIN_BYTES_PER_PERIOD = 1024;

// Watches the connection of one request from a thread of its own, from the TLS handshake
// through the response headers to the end of the body: neon's read timeout only bounds
// each single wait, so a server sending a byte now and then (or a TLS handshake, which
// neon reads without any timeout) could otherwise hold the request for ever. A period of
// the read timeout without a byte received ends the request as timed out; one with fewer
// than MIN_BYTES_PER_PERIOD bytes as too slow. The connection is ended by shutting its
// socket down, which makes neon's blocked read return.
class TransferWatch
{
public:
    enum class Verdict
    {
        NONE,
        TIMED_OUT,
        TOO_SLOW,
    };

    // nSocket: the connection the request starts on, or -1 when it has to connect first.
    explicit TransferWatch(int nSocket);
    // Stops watching.
    ~TransferWatch();
    TransferWatch(const TransferWatch&) = delete;
    TransferWatch& operator=(const TransferWatch&) = delete;

    // The request now runs on this connection (-1: none). A connection made after a
    // verdict is shut down at once: neon must not start the request over.
    void setSocket(int nSocket);
    // Valid once the request has ended.
    Verdict verdict() const { return m_verdict.load(); }
    uint64_t periodBytes() const { return m_uPeriodBytes.load(); }
    int64_t periodSeconds() const { return m_nPeriodSeconds.load(); }
    // Bytes of the response body the request has read. They are what the watch measures
    // where the kernel does not report a connection's received bytes (kernels before 4.1,
    // qemu's user emulation): there a trickle of headers ends as a timeout, not as too slow.
    void countBytes(uint64_t uBytes) { m_uCounted.fetch_add(uBytes); }
    // Whether the kernel reports the bytes a TCP connection received.
    static bool kernelCountsBytes();

private:
    void watch();
    void wake();

    UniqueFd m_wakeFd;
    std::atomic<bool> m_bStopped{false};
    std::atomic<int> m_nSocket;
    std::atomic<Verdict> m_verdict{Verdict::NONE};
    std::atomic<uint64_t> m_uPeriodBytes{0};
    std::atomic<int64_t> m_nPeriodSeconds{0};
    std::atomic<uint64_t> m_uCounted{0};
    std::thread m_thread;
};

// The socket that neon connected since the last snapshot: take a snapshot when neon
// reports that it connects, and find the new socket when it reports it connected.
class NewSocketFinder
{
public:
    void snapshot();
    // The descriptor of the one socket that is new since the snapshot, or -1.
    int find() const;

private:
    std::vector<unsigned long> m_vInodes;
};
