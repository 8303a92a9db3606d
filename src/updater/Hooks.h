#pragma once

#include <optional>
#include <string>

// Runs the device's hook program with the hook name, the updater's version and the
// optional argument (a package count). RESULT_OK when it succeeded or could not be
// started, RESULT_ERROR when it was interrupted, RESULT_FAILED when it exited with a
// non-zero code.
[[nodiscard]] int runHook(const std::string& sName,
                          const std::optional<std::string>& argument = std::nullopt);

// Asks init to re-execute itself, starts the delayed reboot in the background and
// records REBOOTING. True when the delayed reboot was started.
[[nodiscard]] bool rebootSystem();
