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
// SIGHUP is ignored from now on, by the updater and its children.
[[nodiscard]] bool ignoreSighup();

// The caught-signal flag: set by the first termination signal caught, never reset.
bool terminationSignalCaught();
// Number of the first termination signal caught, 0 when none.
int terminationSignalNumber();
