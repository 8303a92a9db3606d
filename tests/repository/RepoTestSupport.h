#pragma once

// Shared pieces of the repository tests: a real repository built once per test program,
// a recording HTTP server on 127.0.0.1, and small file helpers.

#include "TestSupport.h"

#include "base/Logger.h"
#include "downloader/NetworkPaths.h"
#include "downloader/URLFetcher.h"

#include <ne_socket.h>

#include <rpm/rpmlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace repo_test
{

using testing_support::readFile;
using testing_support::runShell;
using testing_support::sourceDir;
using testing_support::TempDir;
using testing_support::writeFile;

// rpmMachineScore needs rpm's configuration, which program entry reads.
inline void loadRpmConfig()
{
    static bool bLoaded = rpmReadConfigFiles(nullptr, nullptr) == 0;
    ASSERT_TRUE(bLoaded);
}

// The fetcher's process-wide set-up, as program entry does it, with the device files
// pointed at private copies; undone on destruction.
class ScopedNetwork
{
public:
    ScopedNetwork() : m_savedPaths(networkPaths())
    {
        static const bool bSockInit = (ne_sock_init() == 0);
        EXPECT_TRUE(bSockInit);
        networkPaths().m_sCpuInfo = m_device.file("cpuinfo");
        networkPaths().m_vEepromFiles = {m_device.file("eeprom0"), m_device.file("eeprom2"),
                                         m_device.file("eeprom3")};
        networkPaths().m_sCredentialsFile = m_device.file("vqzpasswd.xml");
        networkPaths().m_sExtraCaFile.clear();
        writeFile(networkPaths().m_sCpuInfo, "processor\t: 0\nSerial\t\t: 00000000c0ffee42\n");
        URLFetcher::resetForTests();
        NetworkConfig config;
        config.m_sUserAgentBase = "base";
        config.m_sUserAgentProduct = "product";
        // Without EEPROM data the default credentials cannot be derived; that is not what
        // these tests are about, so keep it out of their output.
        bool bStderr = logger().toStderr();
        logger().setStderr(false);
        URLFetcher::initialize(config);
        logger().setStderr(bStderr);
    }
    ~ScopedNetwork()
    {
        URLFetcher::resetForTests();
        networkPaths() = m_savedPaths;
    }
    ScopedNetwork(const ScopedNetwork&) = delete;
    ScopedNetwork& operator=(const ScopedNetwork&) = delete;

private:
    TempDir m_device;
    NetworkPaths m_savedPaths;
};

// The architecture whose packages rpm installs here (x86_64, aarch64, armv7hl, ...): the
// program's own, which under qemu user emulation is the emulated machine's, not the host's.
inline std::string machine()
{
    loadRpmConfig();
    const char* pArch = nullptr;
    rpmGetArchInfo(&pArch, nullptr);
    return pArch ? pArch : "";
}

inline std::string dataDir()
{
    return sourceDir() + "/tests/repository/data";
}

// The repository of make-repo.sh, built once in the build folder and shared by the test
// processes (under a lock, since ctest runs them in parallel); rebuilt when the script
// changes. Callers that change files work on a copy.
inline const std::string& builtRepo()
{
    static std::string sRepo;
    if (!sRepo.empty())
        return sRepo;
    std::string sScript = dataDir() + "/make-repo.sh";
    std::string sTarget = testing_support::binaryDir() + "/tests/repository/built-repo";
    std::string sStamp = sTarget + ".stamp";
    std::string sCommand = "exec 9>'" + sTarget +
                           ".lock' && flock 9 && "
                           "if ! cmp -s '" +
                           sScript + "' '" + sStamp +
                           "'; then "
                           "rm -rf '" +
                           sTarget + "' '" + sStamp + "' && '" + sScript + "' '" + sTarget + "' '" +
                           machine() +
                           "' && "
                           "cp '" +
                           sScript + "' '" + sStamp + "'; fi 2>&1";
    std::string sOutput;
    if (runShell(sCommand, &sOutput) != 0)
        throw std::runtime_error("make-repo.sh failed: " + sOutput);
    sRepo = sTarget;
    return sRepo;
}

inline void copyTree(const std::string& sFrom, const std::string& sTo)
{
    std::filesystem::copy(sFrom, sTo, std::filesystem::copy_options::recursive);
}

// The path, relative to the repository root, of the first file in repodata/ ending in sSuffix.
inline std::string repodataFile(const std::string& sRepo, const std::string& sSuffix)
{
    for (const auto& entry : std::filesystem::directory_iterator(sRepo + "/repodata"))
    {
        std::string sName = entry.path().filename().string();
        if (sName.size() >= sSuffix.size() &&
            sName.compare(sName.size() - sSuffix.size(), sSuffix.size(), sSuffix) == 0)
            return "repodata/" + sName;
    }
    throw std::runtime_error("no " + sSuffix + " in " + sRepo);
}

inline std::string sha1Of(const std::string& sPath)
{
    std::string sOutput;
    runShell("sha1sum '" + sPath + "' | cut -d' ' -f1", &sOutput);
    while (!sOutput.empty() && sOutput.back() == '\n')
        sOutput.pop_back();
    return sOutput;
}

inline void appendTo(const std::string& sPath, const std::string& sText)
{
    writeFile(sPath, readFile(sPath) + sText);
}

// Changes one byte in the middle of the file. Appending would not do for gzip files:
// zlib ignores trailing garbage, so their uncompressed content would still check.
inline void damage(const std::string& sPath)
{
    std::string sContent = readFile(sPath);
    if (sContent.empty())
        sContent = "x";
    else
        sContent[sContent.size() / 2] = static_cast<char>(sContent[sContent.size() / 2] ^ 0x55);
    writeFile(sPath, sContent);
}

// One request as the server saw it.
struct Request
{
    std::string m_sPath;
    std::string m_sCacheControl; // empty when absent
    std::string m_sPragma;
    bool bypassesCaches() const { return m_sCacheControl == "no-cache" && m_sPragma == "no-cache"; }
};

// serve.py in the background, serving a directory; stopped (by its pid) on destruction.
class HttpServer
{
public:
    explicit HttpServer(const std::string& sRoot)
        : m_sPortFile(m_dir.file("port")), m_sLogFile(m_dir.file("requests"))
    {
        std::string sScript = dataDir() + "/serve.py";
        std::vector<std::string> vArgs = {"/usr/bin/python3", sScript, sRoot, m_sPortFile,
                                          m_sLogFile};
        std::vector<char*> vArgv;
        for (auto& sArg : vArgs)
            vArgv.push_back(sArg.data());
        vArgv.push_back(nullptr);
        if (posix_spawn(&m_nPid, vArgv[0], nullptr, nullptr, vArgv.data(), environ) != 0)
            throw std::runtime_error("cannot start serve.py");
        for (int i = 0; i < 200 && !testing_support::fileExists(m_sPortFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (!testing_support::fileExists(m_sPortFile))
            throw std::runtime_error("serve.py did not start");
        m_sPort = readFile(m_sPortFile);
    }
    ~HttpServer()
    {
        kill(m_nPid, SIGTERM);
        int nStatus = 0;
        waitpid(m_nPid, &nStatus, 0);
    }
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::string url(const std::string& sPath = "/") const
    {
        return "http://127.0.0.1:" + m_sPort + sPath;
    }

    std::vector<Request> requests() const
    {
        std::vector<Request> vRequests;
        if (!testing_support::fileExists(m_sLogFile))
            return vRequests;
        std::istringstream in(readFile(m_sLogFile));
        std::string sLine;
        while (std::getline(in, sLine))
            vRequests.push_back(
                {field(sLine, "path"), field(sLine, "cache-control"), field(sLine, "pragma")});
        return vRequests;
    }
    // Requests whose path ends with sSuffix.
    std::vector<Request> requestsFor(const std::string& sSuffix) const
    {
        std::vector<Request> vMatching;
        for (const Request& request : requests())
            if (request.m_sPath.size() >= sSuffix.size() &&
                request.m_sPath.compare(request.m_sPath.size() - sSuffix.size(), sSuffix.size(),
                                        sSuffix) == 0)
                vMatching.push_back(request);
        return vMatching;
    }

private:
    // The string value of "key" in one JSON line written by serve.py (no escapes needed
    // for the paths and header values the tests use).
    static std::string field(const std::string& sLine, const std::string& sKey)
    {
        std::string sNeedle = "\"" + sKey + "\": \"";
        std::size_t nStart = sLine.find(sNeedle);
        if (nStart == std::string::npos)
            return std::string();
        nStart += sNeedle.size();
        return sLine.substr(nStart, sLine.find('"', nStart) - nStart);
    }

    TempDir m_dir;
    std::string m_sPortFile;
    std::string m_sLogFile;
    std::string m_sPort;
    pid_t m_nPid = -1;
};

} // namespace repo_test
