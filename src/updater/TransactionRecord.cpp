#include "updater/TransactionRecord.h"

#include "base/AtomicFile.h"
#include "base/FileUtil.h"
#include "base/Logger.h"
#include "base/UniqueFd.h"
#include "base/UniqueFile.h"
#include "updater/UpdaterPaths.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr std::string_view FIRST_LINE = "updater transaction record 1";
constexpr std::size_t MAX_RECORD_SIZE = 4 * 1024 * 1024;

const char* const STAGE_NAMES[] = {"installing", "rpm-exited", "rpm-killed", "hook-done"};

// Replaces sPath by sContent so that a power cut leaves either the old or the new file.
bool replaceFileDurably(const std::string& sPath, const std::string& sContent)
{
    std::string sTemp = sPath + ".XXXXXX";
    UniqueFd fd(::mkostemp(sTemp.data(), O_CLOEXEC));
    if (fd.get() < 0)
    {
        logMessage(ERROR, "failed creating '%s': %s", sTemp.c_str(), errnoText().c_str());
        return false;
    }
    if (!writeAll(fd.get(), sContent.data(), sContent.size()) || ::fchmod(fd.get(), 0644) != 0)
    {
        logMessage(ERROR, "failed writing '%s': %s", sPath.c_str(), errnoText().c_str());
        (void)fd.reset();
        ::unlink(sTemp.c_str());
        return false;
    }
    switch (replaceFile(fd.release(), sTemp, sPath))
    {
    case ReplaceStep::DONE:
        return true;
    case ReplaceStep::SYNC_DIRECTORY:
        logMessage(ERROR, "failed syncing the folder of '%s': %s", sPath.c_str(),
                   errnoText().c_str());
        return false;
    case ReplaceStep::SYNC:
    case ReplaceStep::CLOSE:
    case ReplaceStep::RENAME:
        break;
    }
    logMessage(ERROR, "failed writing '%s': %s", sPath.c_str(), errnoText().c_str());
    return false;
}

std::vector<std::string_view> splitFields(std::string_view sLine)
{
    std::vector<std::string_view> vFields;
    for (;;)
    {
        const std::size_t nTab = sLine.find('\t');
        vFields.push_back(sLine.substr(0, nTab));
        if (nTab == std::string_view::npos)
            return vFields;
        sLine.remove_prefix(nTab + 1);
    }
}

bool parseNumber(std::string_view sText, int& nValue)
{
    const char* pEnd = sText.data() + sText.size();
    auto [pStop, error] = std::from_chars(sText.data(), pEnd, nValue);
    return !sText.empty() && error == std::errc() && pStop == pEnd;
}

bool parseUnsigned(std::string_view sText, unsigned& nValue)
{
    const char* pEnd = sText.data() + sText.size();
    auto [pStop, error] = std::from_chars(sText.data(), pEnd, nValue);
    return !sText.empty() && error == std::errc() && pStop == pEnd;
}

bool parseFlag(std::string_view sText, bool& bValue)
{
    if (sText != "0" && sText != "1")
        return false;
    bValue = sText == "1";
    return true;
}

void appendIdentity(std::string& sText, const PackageIdentity& identity)
{
    sText += identity.m_sName + '\t' +
             (identity.m_nEpoch < 0 ? "-" : std::to_string(identity.m_nEpoch)) + '\t' +
             identity.m_sVersion + '\t' + identity.m_sRelease + '\t' + identity.m_sArch + '\t' +
             (identity.m_sSigMd5.empty() ? "-" : identity.m_sSigMd5);
}

// Six fields from vFields[nFirst] on.
bool parseIdentity(const std::vector<std::string_view>& vFields, std::size_t nFirst,
                   PackageIdentity& identity)
{
    if (vFields.size() < nFirst + 6)
        return false;
    identity.m_sName = vFields[nFirst];
    if (vFields[nFirst + 1] == "-")
        identity.m_nEpoch = -1;
    else if (!parseNumber(vFields[nFirst + 1], identity.m_nEpoch) || identity.m_nEpoch < 0)
        return false;
    identity.m_sVersion = vFields[nFirst + 2];
    identity.m_sRelease = vFields[nFirst + 3];
    identity.m_sArch = vFields[nFirst + 4];
    identity.m_sSigMd5 =
        vFields[nFirst + 5] == "-" ? std::string() : std::string(vFields[nFirst + 5]);
    return !identity.m_sName.empty() && !identity.m_sVersion.empty();
}

} // namespace

std::string TransactionRecord::format() const
{
    std::string sText(FIRST_LINE);
    sText += "\nmode\t" + m_sMode;
    sText += "\npass\t" + std::to_string(m_nPass);
    sText += "\ncounts\t" + std::to_string(m_nAvailable) + '\t' + std::to_string(m_nHandled);
    sText += std::string("\nflags\t") + (m_bUpdaterOnly ? '1' : '0') + '\t' +
             (m_bNamesGiven ? '1' : '0') + '\t' + (m_bNoReboot ? '1' : '0') + '\t' +
             (m_bEarlierInstall ? '1' : '0');
    sText += std::string("\nstage\t") + STAGE_NAMES[static_cast<int>(m_stage)] + '\t' +
             std::to_string(m_nRpmCode);
    sText += std::string("\nrecovery\t") + (m_bRepairTried ? '1' : '0') + '\t' +
             (m_bRefused ? '1' : '0');
    for (const NewPackage& package : m_vNew)
    {
        sText += "\nnew\t";
        appendIdentity(sText, package.m_identity);
        sText +=
            '\t' + package.m_sChecksumType + '\t' + package.m_sChecksum + '\t' + package.m_sPath;
    }
    for (const PackageIdentity& identity : m_vReplaced)
    {
        sText += "\nreplaced\t";
        appendIdentity(sText, identity);
    }
    sText += "\nend\n";
    return sText;
}

bool TransactionRecord::parse(const std::string& sText)
{
    *this = TransactionRecord();
    std::string_view sRest(sText);
    bool bFirst = true, bEnd = false;
    while (!sRest.empty())
    {
        const std::size_t nNewline = sRest.find('\n');
        if (nNewline == std::string_view::npos || bEnd)
            break;
        const std::string_view sLine = sRest.substr(0, nNewline);
        sRest.remove_prefix(nNewline + 1);
        if (bFirst)
        {
            if (sLine != FIRST_LINE)
                break;
            bFirst = false;
            continue;
        }
        const std::vector<std::string_view> vFields = splitFields(sLine);
        const std::string_view sKey = vFields[0];
        bool bOk = false;
        if (sKey == "end")
            bOk = bEnd = vFields.size() == 1;
        else if (sKey == "mode")
        {
            bOk = vFields.size() == 2;
            if (bOk)
                m_sMode = vFields[1];
        }
        else if (sKey == "pass")
            bOk = vFields.size() == 2 && parseNumber(vFields[1], m_nPass);
        else if (sKey == "counts")
            bOk = vFields.size() == 3 && parseUnsigned(vFields[1], m_nAvailable) &&
                  parseUnsigned(vFields[2], m_nHandled);
        else if (sKey == "flags")
            bOk = vFields.size() == 5 && parseFlag(vFields[1], m_bUpdaterOnly) &&
                  parseFlag(vFields[2], m_bNamesGiven) && parseFlag(vFields[3], m_bNoReboot) &&
                  parseFlag(vFields[4], m_bEarlierInstall);
        else if (sKey == "stage" && vFields.size() == 3)
        {
            for (int nStage = 0; nStage < 4; ++nStage)
                if (vFields[1] == STAGE_NAMES[nStage])
                {
                    m_stage = static_cast<Stage>(nStage);
                    bOk = parseNumber(vFields[2], m_nRpmCode);
                }
        }
        else if (sKey == "recovery")
            bOk = vFields.size() == 3 && parseFlag(vFields[1], m_bRepairTried) &&
                  parseFlag(vFields[2], m_bRefused);
        else if (sKey == "new" && vFields.size() == 10)
        {
            NewPackage package;
            bOk = parseIdentity(vFields, 1, package.m_identity) && !vFields[9].empty();
            package.m_sChecksumType = vFields[7];
            package.m_sChecksum = vFields[8];
            package.m_sPath = vFields[9];
            m_vNew.push_back(std::move(package));
        }
        else if (sKey == "replaced" && vFields.size() == 7)
        {
            PackageIdentity identity;
            bOk = parseIdentity(vFields, 1, identity);
            m_vReplaced.push_back(std::move(identity));
        }
        if (!bOk)
        {
            logMessage(ERROR, "unreadable line in the transaction record: '%.*s'",
                       static_cast<int>(sLine.size()), sLine.data());
            return false;
        }
    }
    if (!bEnd || !sRest.empty() || m_vNew.empty())
    {
        logMessage(ERROR, "the transaction record is incomplete");
        return false;
    }
    return true;
}

bool loadTransactionRecord(TransactionRecord& record, bool& bFound)
{
    const std::string& sPath = updaterPaths().m_sTransactionFile;
    bFound = false;
    const UniqueFile stream(fopen(sPath.c_str(), "re"));
    FILE* pStream = stream.get();
    if (!pStream)
    {
        if (errno == ENOENT)
            return true;
        logMessage(ERROR, "cannot read the transaction record '%s': %s", sPath.c_str(),
                   errnoText().c_str());
        return false;
    }
    bFound = true;
    std::string sText;
    char buffer[4096];
    std::size_t nRead;
    while ((nRead = fread(buffer, 1, sizeof buffer, pStream)) > 0 &&
           sText.size() <= MAX_RECORD_SIZE)
        sText.append(buffer, nRead);
    const bool bError = ferror(pStream) != 0;
    if (bError || sText.size() > MAX_RECORD_SIZE)
    {
        logMessage(ERROR, "cannot read the transaction record '%s'", sPath.c_str());
        return false;
    }
    return record.parse(sText);
}

bool saveTransactionRecord(const TransactionRecord& record)
{
    return replaceFileDurably(updaterPaths().m_sTransactionFile, record.format());
}

bool removeTransactionRecord()
{
    const std::string& sPath = updaterPaths().m_sTransactionFile;
    if (::unlink(sPath.c_str()) != 0)
    {
        if (errno == ENOENT)
            return true;
        logMessage(ERROR, "failed removing the transaction record: %s", errnoText().c_str());
        return false;
    }
    if (!syncParentDirectory(sPath))
        logMessage(WARNING, "failed syncing the folder of '%s': %s", sPath.c_str(),
                   errnoText().c_str());
    return true;
}
