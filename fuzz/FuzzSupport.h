#pragma once

// Shared helpers of the fuzz targets: a private temporary directory for readers that
// want a path, and a silenced logger so that runs stay fast.

#include "base/Logger.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fuzz
{

// The process's private directory, removed at exit. The name is never destroyed, so the
// exit handler can still use it after the static objects are gone.
inline const std::string& workDir()
{
    static const std::string* pDir = []
    {
        const char* pBase = std::getenv("TMPDIR");
        auto* pName =
            new std::string(std::string(pBase && *pBase ? pBase : "/tmp") + "/updater-fuzz.XXXXXX");
        if (mkdtemp(pName->data()) == nullptr)
        {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit(
            []
            {
                std::error_code error;
                std::filesystem::remove_all(*pDir, error);
            });
        return pName;
    }();
    return *pDir;
}

// Replaces the file sPath with the bytes; aborts when that fails (the run would be void).
inline void writeInput(const std::string& sPath, const uint8_t* pData, size_t uSize)
{
    FILE* pFile = std::fopen(sPath.c_str(), "wb");
    if (pFile == nullptr || (uSize > 0 && std::fwrite(pData, 1, uSize, pFile) != uSize) ||
        std::fclose(pFile) != 0)
    {
        std::perror(sPath.c_str());
        std::abort();
    }
}

// Nothing is logged: the format arguments are checked at compile time (-Wformat=2), and
// formatting every message would slow the runs down several times.
inline void quietLogger()
{
    logger().setStderr(false);
    logger().setLevel(FATAL + 1);
}

} // namespace fuzz
