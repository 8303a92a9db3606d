#pragma once

// Results of the update run, a pass and a hook. The first three are also the
// process exit statuses.
inline constexpr int RESULT_OK = 0;
inline constexpr int RESULT_ERROR = 1;
inline constexpr int RESULT_FATAL = 2;
// Packages were installed and the device must reboot.
inline constexpr int RESULT_REBOOT = -1;
// A pass failed in a way that installing only the updater may cure.
inline constexpr int RESULT_FAILED = -2;

// Name of an exit status for the exit banner: "OK", "ERROR", "FATAL", else "UNKNOWN".
constexpr const char* resultName(int nResult)
{
    switch (nResult)
    {
    case RESULT_OK:
        return "OK";
    case RESULT_ERROR:
        return "ERROR";
    case RESULT_FATAL:
        return "FATAL";
    default:
        return "UNKNOWN";
    }
}
