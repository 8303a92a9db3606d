#pragma once

#include "config/UpdaterConfig.h"

#include <set>
#include <string>

// The update run: called once the process holds the cache lock and the status check has
// passed. Returns RESULT_OK, RESULT_ERROR, RESULT_FATAL or RESULT_REBOOT; a failing
// "init" hook ends the run with the hook's result.
[[nodiscard]] int runUpdate(const UpdaterConfig& config, const std::set<std::string>& setInclude);
