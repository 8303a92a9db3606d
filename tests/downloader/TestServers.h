#pragma once

// Servers on 127.0.0.1 for the network tests, run as child processes of the test, and a
// fixture that gives every test fresh fetcher settings and private device files.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <ne_socket.h>

#include "TestSupport.h"
#include "downloader/NetworkPaths.h"
#include "downloader/URLFetcher.h"

namespace net_test
{

using testing_support::TempDir;

inline std::string serverScript(const std::string& sName)
{
    return testing_support::sourceDir() + "/tests/support/servers/" + sName;
}

// A helper script under tests/support/servers run with Debian's python; it writes the port
// it serves on into a file once it accepts connections. Stopped with SIGTERM.
class ServerProcess
{
public:
    ServerProcess(const std::string& sScript, std::vector<std::string> vArgs,
                  const std::string& sPortFile, int nKeepFd = -1)
    {
        std::vector<std::string> vArgv = {"/usr/bin/python3", serverScript(sScript)};
        vArgv.insert(vArgv.end(), vArgs.begin(), vArgs.end());
        std::vector<char*> vPtrs;
        for (auto& s : vArgv)
            vPtrs.push_back(s.data());
        vPtrs.push_back(nullptr);
        m_nPid = fork();
        if (m_nPid == 0)
        {
            if (nKeepFd >= 0)
                fcntl(nKeepFd, F_SETFD, 0);
            setpgid(0, 0);
            execv(vPtrs[0], vPtrs.data());
            _exit(127);
        }
        for (int i = 0; i < 400 && m_uPort == 0; ++i)
        {
            std::ifstream in(sPortFile);
            if (!(in >> m_uPort))
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~ServerProcess()
    {
        if (m_nPid > 0)
        {
            kill(m_nPid, SIGTERM);
            int nStatus = 0;
            waitpid(m_nPid, &nStatus, 0);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    unsigned int port() const { return m_uPort; }

private:
    pid_t m_nPid = -1;
    unsigned int m_uPort = 0;
};

// One request as the scripted server saw it.
struct SeenRequest
{
    int m_nConnection = 0;
    std::string m_sTarget;
    std::string m_sUser;
    std::string m_sProxyUser;
    std::string m_sUserAgent;
    std::string m_sCacheControl;
    std::string m_sPragma;
};

// tests/support/servers/scripted_http.py with a JSON script (see there).
class ScriptedServer
{
public:
    explicit ScriptedServer(const std::string& sScript, const std::string& sBind = "127.0.0.1",
                            const std::string& sTlsCert = "", const std::string& sTlsKey = "",
                            int nFd = -1)
    {
        testing_support::writeFile(m_dir.file("script.json"), sScript);
        std::vector<std::string> vArgs = {"--bind",      sBind,
                                          "--port-file", m_dir.file("port"),
                                          "--script",    m_dir.file("script.json"),
                                          "--log",       m_dir.file("requests.log")};
        if (!sTlsCert.empty())
            vArgs.insert(vArgs.end(), {"--tls-cert", sTlsCert, "--tls-key", sTlsKey});
        if (nFd >= 0)
            vArgs.insert(vArgs.end(), {"--fd", std::to_string(nFd)});
        m_pProcess =
            std::make_unique<ServerProcess>("scripted_http.py", vArgs, m_dir.file("port"), nFd);
    }

    unsigned int port() const { return m_pProcess->port(); }
    std::string url(const std::string& sPath, const std::string& sHost = "127.0.0.1") const
    {
        return "http://" + sHost + ":" + std::to_string(port()) + sPath;
    }

    std::vector<SeenRequest> requests() const
    {
        std::vector<SeenRequest> v;
        std::istringstream in(testing_support::readFile(m_dir.file("requests.log")));
        std::string sLine;
        while (std::getline(in, sLine))
        {
            std::vector<std::string> f;
            std::istringstream fields(sLine);
            std::string s;
            while (std::getline(fields, s, '\t'))
                f.push_back(s);
            f.resize(7);
            v.push_back(SeenRequest{std::atoi(f[0].c_str()), f[1], f[2], f[3], f[4], f[5], f[6]});
        }
        return v;
    }

private:
    TempDir m_dir;
    std::unique_ptr<ServerProcess> m_pProcess;
};

// Fresh process-wide fetcher state and private device files for each test.
class NetworkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static const bool bSockInit = (ne_sock_init() == 0);
        ASSERT_TRUE(bSockInit);
        m_savedPaths = networkPaths();
        networkPaths().m_sCpuInfo = m_device.file("cpuinfo");
        networkPaths().m_vEepromFiles = {m_device.file("eeprom0"), m_device.file("eeprom2"),
                                         m_device.file("eeprom3")};
        networkPaths().m_sCredentialsFile = m_device.file("vqzpasswd.xml");
        networkPaths().m_sExtraCaFile.clear();
        testing_support::writeFile(networkPaths().m_sCpuInfo,
                                   "processor\t: 0\nSerial\t\t: 00000000c0ffee42\n");
        URLFetcher::resetForTests();
    }
    void TearDown() override
    {
        URLFetcher::resetForTests();
        networkPaths() = m_savedPaths;
    }

    // Initialises the fetcher class with the given proxy settings.
    void initialize(const std::string& sProxy = "", unsigned int uProxyPort = 0,
                    bool bBypass = false, const std::string& sProxyUser = "",
                    const std::string& sProxyPassword = "")
    {
        NetworkConfig config;
        config.m_sProxyServer = sProxy;
        config.m_nProxyPort = uProxyPort;
        config.m_bProxyBypassLocal = bBypass;
        config.m_sProxyUser = sProxyUser;
        config.m_sProxyPassword = sProxyPassword;
        config.m_sUserAgentBase = "base";
        config.m_sUserAgentProduct = "product";
        URLFetcher::initialize(config);
    }

    void writeCredentials(const std::string& sEntries)
    {
        testing_support::writeFile(
            networkPaths().m_sCredentialsFile,
            "<?xml version=\"1.0\"?>\n<credits xmlns:xlink=\"http://www.w3.org/1999/xlink\">\n" +
                sEntries + "</credits>\n");
    }

    TempDir m_device;
    TempDir m_work;
    NetworkPaths m_savedPaths;
};

// Counts neon's session events; optionally runs an action at the n-th "connecting" event.
class CountingNotifier : public URLFetcher::Notifier
{
public:
    void notify(int nStatus) override
    {
        ++m_nEvents;
        if (nStatus == ne_status_connecting)
        {
            ++m_nConnecting;
            if (m_onConnecting)
                m_onConnecting(m_nConnecting);
        }
    }
    int m_nEvents = 0;
    int m_nConnecting = 0;
    std::function<void(int)> m_onConnecting;
};

} // namespace net_test

namespace net_test
{

// A throwaway certificate authority and a server certificate for 127.0.0.1 and localhost,
// in dir: ca.pem, server.crt, server.key and server.pem (certificate and key).
inline bool makeTestCertificates(const std::string& sDir)
{
    const std::string sCommand =
        "set -e; cd '" + sDir +
        "'; "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "
        "'/CN=Test CA' "
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign "
        "2>/dev/null; "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "
        "'/CN=127.0.0.1' 2>/dev/null; "
        "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > "
        "ext.cnf; "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.crt "
        "-days 2 "
        "-extfile ext.cnf 2>/dev/null; "
        "cat server.crt server.key > server.pem";
    return testing_support::runShell(sCommand) == 0;
}

} // namespace net_test
