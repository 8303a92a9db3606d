#pragma once

// Termination signals (SIGHUP, SIGINT, SIGTERM, SIGQUIT) either end the process at
// once or are only recorded in the caught-signal flag; SIGPIPE is always ignored.
// Every action is also registered in librpm's signal queue, so that rpm's own
// default (exit) never replaces the updater's choice.

// Installs catching (bIgnore false) or ignoring (bIgnore true) for nSignal and
// remembers the previous action.
[[nodiscard]] bool installHandler(int nSignal, bool bIgnore);
// Restores the action nSignal had before installHandler; true when there is none.
[[nodiscard]] bool uninstallHandler(int nSignal);
// True when the updater has set nSignal to be ignored.
bool isIgnoredByUs(int nSignal);

// Start-up: termination signals caught, SIGPIPE ignored.
[[nodiscard]] bool installSignalHandlers();
// Termination signals are only recorded from now on.
[[nodiscard]] bool disableTerminationSignals();
// Termination signals act as they did before the updater installed its own actions.
[[nodiscard]] bool enableTerminationSignals();
// A stretch of work that a termination signal may end at once (fetching, downloading:
// nothing on the device changes there). The window opens on construction; on close, or
// at the end of the scope on any way out, signals are only recorded again, so that the
// rest of the run (status and update-state files) is never cut off.
class TerminationSignalWindow
{
public:
    TerminationSignalWindow() : m_bOpen(enableTerminationSignals()) {}
    ~TerminationSignalWindow()
    {
        if (m_bOpen)
            (void)disableTerminationSignals();
    }
    TerminationSignalWindow(const TerminationSignalWindow&) = delete;
    TerminationSignalWindow& operator=(const TerminationSignalWindow&) = delete;

    // False when the signals could not be enabled (logged); the caller gives up then.
    bool isOpen() const { return m_bOpen; }
    // Closes the window now; false (logged) when the signals could not be disabled.
    [[nodiscard]] bool close()
    {
        m_bOpen = false;
        return disableTerminationSignals();
    }

private:
    bool m_bOpen;
};

// SIGHUP is ignored from now on, by the updater and its children.
[[nodiscard]] bool ignoreSighup();

// The caught-signal flag: set by the first termination signal caught, never reset.
bool terminationSignalCaught();
// Number of the first termination signal caught, 0 when none.
int terminationSignalNumber();
