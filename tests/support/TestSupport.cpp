#include "TestSupport.h"

#include "base/Dependency.h"
#include "base/Logger.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support
{

TempDir::TempDir()
{
    const char* pBase = getenv("TMPDIR");
    std::string sTemplate = std::string(pBase && *pBase ? pBase : "/tmp") + "/updater-test-XXXXXX";
    if (mkdtemp(sTemplate.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_sPath = sTemplate;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_sPath, ec);
}

std::string TempDir::file(const std::string& sName) const
{
    return m_sPath + "/" + sName;
}

LogCapture::LogCapture()
    : m_sFile(m_dir.file("log")), m_nOldThreshold(logger().threshold()),
      m_bOldStderr(logger().toStderr())
{
    if (!logger().addFile(m_sFile, TRACE, false))
        throw std::runtime_error("cannot capture log");
    logger().setLevel(TRACE);
    logger().setStderr(false);
}

LogCapture::~LogCapture()
{
    logger().removeFile(m_sFile);
    logger().setLevel(m_nOldThreshold);
    logger().setStderr(m_bOldStderr);
}

std::string LogCapture::text() const
{
    return readFile(m_sFile);
}

std::vector<std::string> LogCapture::lines() const
{
    std::vector<std::string> vLines;
    std::istringstream in(text());
    std::string sLine;
    while (std::getline(in, sLine))
        vLines.push_back(sLine);
    return vLines;
}

bool LogCapture::contains(const std::string& sNeedle) const
{
    return text().find(sNeedle) != std::string::npos;
}

void LogCapture::clear()
{
    logger().removeFile(m_sFile);
    if (!logger().addFile(m_sFile, TRACE, false))
        throw std::runtime_error("cannot capture log");
}

void writeFile(const std::string& sPath, const std::string& sContent)
{
    std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
    out << sContent;
    if (!out)
        throw std::runtime_error("cannot write " + sPath);
}

std::vector<std::string> dependencyTexts(const DependencySet& set)
{
    std::vector<std::string> vTexts;
    for (const Dependency& entry : set)
        vTexts.push_back(entry.toString());
    return vTexts;
}

std::string readFile(const std::string& sPath)
{
    std::ifstream in(sPath, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool fileExists(const std::string& sPath)
{
    struct stat st;
    return lstat(sPath.c_str(), &st) == 0;
}

int runShell(const std::string& sCommand, std::string* pOutput)
{
    FILE* pPipe = popen(sCommand.c_str(), "r");
    if (pPipe == nullptr)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pPipe)) > 0)
        if (pOutput)
            pOutput->append(buffer, n);
    int nStatus = pclose(pPipe);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

std::string sourceDir()
{
    return UPDATER_SOURCE_DIR;
}

std::string binaryDir()
{
    return UPDATER_BINARY_DIR;
}

} // namespace testing_support
