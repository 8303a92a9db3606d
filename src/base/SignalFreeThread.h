#pragma once

#include <csignal>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <utility>

// Starts work on a thread that receives no signals (they are for the main thread, which
// polls the caught-signal flag). False, with `thread` left empty, when no thread can be
// started; the caller then does the work in its own thread or goes without it.
template <typename Work> [[nodiscard]] bool startSignalFreeThread(std::thread& thread, Work&& work)
{
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool bStarted = true;
    try
    {
        thread = std::thread(std::forward<Work>(work));
    }
    catch (const std::system_error&)
    {
        bStarted = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return bStarted;
}
