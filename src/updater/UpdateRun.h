#pragma once

#include "config/UpdaterConfig.h"

#include <cstdint>
#include <set>
#include <string>

// The update run, called once the process holds the cache lock and the status check has
// passed: the "init" hook, the random delay, the passes and the update state. Returns
// RESULT_OK, RESULT_ERROR, RESULT_FATAL or RESULT_REBOOT.
[[nodiscard]] int runUpdate(const UpdaterConfig& config, const std::set<std::string>& setInclude);

// Fills the buffer with nCount bytes from the random device.
[[nodiscard]] bool gatherRandomBytes(unsigned char* pBuffer, unsigned nCount);

// The delay in seconds before the first connection: the standard generator seeded with
// uSeed draws r, and the delay is nMaxWaitTime * r / RAND_MAX (0 to nMaxWaitTime).
int64_t randomDelay(int nMaxWaitTime, unsigned uSeed);
