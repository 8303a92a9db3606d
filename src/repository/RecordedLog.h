#pragma once

// The messages one step logged, kept with its result so that taking the result over later
// writes the same lines again.

#include <cstddef>
#include <string>
#include <vector>

class RecordedLog
{
public:
    // Past uLimit messages the record stops and is incomplete.
    explicit RecordedLog(std::size_t uLimit) : m_uLimit(uLimit) {}

    // Logs the message and keeps it when it passes the threshold.
    void log(int nLevel, const char* pFormat, ...) __attribute__((format(printf, 3, 4)));
    // Writes the kept messages again, in their order.
    void replay() const;
    // Every message that passed the threshold is kept.
    bool complete() const { return !m_bFull; }

private:
    struct Message
    {
        int m_nLevel;
        std::string m_sText;
    };

    std::vector<Message> m_vMessages;
    std::size_t m_uLimit;
    bool m_bFull = false;
};
