#pragma once

#include <unistd.h>

// Owns a plain file descriptor (negative: none) and closes it once.
class UniqueFd
{
public:
    explicit UniqueFd(int nFd = -1) : m_nFd(nFd) {}
    ~UniqueFd() { (void)reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_nFd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
        {
            (void)reset();
            m_nFd = other.release();
        }
        return *this;
    }

    int get() const { return m_nFd; }
    explicit operator bool() const { return m_nFd >= 0; }
    // Gives up ownership: the caller closes the descriptor.
    int release()
    {
        const int nFd = m_nFd;
        m_nFd = -1;
        return nFd;
    }
    // Closes now; false (errno set) when close failed.
    [[nodiscard]] bool reset()
    {
        const int nFd = m_nFd;
        m_nFd = -1;
        return nFd < 0 || ::close(nFd) == 0;
    }

private:
    int m_nFd;
};
