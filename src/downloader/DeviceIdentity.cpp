#include "downloader/DeviceIdentity.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <ne_md5.h>

#include "base/Logger.h"
#include "base/UniqueFile.h"
#include "downloader/NetworkPaths.h"

namespace
{

// EEPROM record layout: the last five bytes of the 21-byte record hold the hardware
// revision mark ("02.12" for revision 2.12).
constexpr std::size_t REVISION_MARK_OFFSET = 16;
constexpr std::size_t REVISION_MARK_LENGTH = 5;
constexpr char HW_REV_212_MARK[] = "02.12";
// Core EEPROMs of early revision 2.12 units were programmed with the mark of 2.00; the
// password was derived from the corrected mark, so the last two characters are patched.
constexpr char BAD_CORE_MARK[] = "02.00";
constexpr char CORE_MARK_CORRECTION[] = "12";

// 64 distinct characters that need no quoting in Basic or Digest credentials.
constexpr char PASSWORD_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
static_assert(sizeof(PASSWORD_ALPHABET) == 65);

using Record = std::array<unsigned char, EEPROM_RECORD_SIZE>;

struct Md5Free
{
    void operator()(ne_md5_ctx* p) const { ne_md5_destroy_ctx(p); }
};

DeviceIdentity& identity()
{
    static DeviceIdentity value;
    return value;
}

bool markEquals(const Record& record, const char* pMark)
{
    return std::memcmp(record.data() + REVISION_MARK_OFFSET, pMark, REVISION_MARK_LENGTH) == 0;
}

} // namespace

const DeviceIdentity& deviceIdentity()
{
    return identity();
}

void clearDeviceIdentity()
{
    identity() = DeviceIdentity{};
}

void readDeviceIdentity()
{
    DeviceIdentity& id = identity();
    id = DeviceIdentity{};
    const std::string& sPath = networkPaths().m_sCpuInfo;
    const char* pPath = sPath.c_str();

    UniqueFile pFile(std::fopen(pPath, "rb"));
    if (!pFile)
    {
        logMessage(ERROR, "failed opening '%s' for initialization: '%s'", pPath,
                   errnoText().c_str());
        return;
    }
    char line[128];
    for (;;)
    {
        if (!std::fgets(line, sizeof(line), pFile.get()))
        {
            if (std::ferror(pFile.get()))
                logMessage(DEBUG, "failed reading from '%s'", pPath);
            break;
        }
        if (std::strncmp(line, "Serial", 6) == 0)
        {
            char value[64];
            if (std::sscanf(line, "%*s %*s %63s", value) == 1)
                id.m_sSerial = value;
            else
                logMessage(DEBUG, "malformed Serial line in '%s'", pPath);
        }
        else if (std::strncmp(line, "Revision", 8) == 0)
        {
            char value[9];
            if (std::sscanf(line, "%*s %*s %8s", value) == 1)
                id.m_sRevision = value;
            else
                logMessage(DEBUG, "malformed Revision line in '%s'", pPath);
        }
        else if (std::strncmp(line, "Hardware", 8) == 0)
        {
            char value[16];
            if (std::sscanf(line, "%*s %*s %15s", value) == 1)
            {
                if (std::strcmp(value, "Vantor") == 0)
                {
                    id.m_nModel = HW_MODEL_VANTOR;
                }
                else if (std::strcmp(value, "Kelmir") == 0)
                {
                    id.m_nModel = HW_MODEL_KELMIR;
                }
                else
                {
                    logMessage(WARNING, "unknown hardware '%s'", value);
                    id.m_nModel = HW_MODEL_UNKNOWN;
                }
            }
            else
            {
                logMessage(DEBUG, "malformed Hardware line in '%s'", pPath);
            }
        }
    }
    pFile.reset();
    if (id.m_sSerial.empty())
        logMessage(ERROR, "no Serial in '%s'", pPath);
    if (id.m_sRevision.empty())
        logMessage(ERROR, "no Revision in '%s'", pPath);
}

std::string defaultUserName(const std::string& sProduct)
{
    const DeviceIdentity& id = identity();
    if (id.m_sRevision.empty())
    {
        logMessage(DEBUG, "no HW Revision");
        return std::string();
    }
    std::string sUser = sProduct + "-" + id.m_sRevision;
    logMessage(DEBUG, "default http user initialized to '%s'", sUser.c_str());
    return sUser;
}

std::string defaultPassword()
{
    const DeviceIdentity& id = identity();
    const std::size_t uNeeded = id.m_nModel == HW_MODEL_KELMIR ? 1 : 2;

    std::vector<Record> vRecords;
    for (const std::string& sFile : networkPaths().m_vEepromFiles)
    {
        if (vRecords.size() >= uNeeded)
            break;
        UniqueFile pFile(std::fopen(sFile.c_str(), "rb"));
        if (!pFile)
        {
            logMessage(DEBUG, "failed opening secret data file '%s': %s", sFile.c_str(),
                       errnoText().c_str());
            continue;
        }
        Record record{};
        if (std::fread(record.data(), 1, record.size(), pFile.get()) == record.size())
            vRecords.push_back(record);
        else
            logMessage(DEBUG, "failed reading data from '%s'", sFile.c_str());
    }
    if (vRecords.size() < uNeeded)
    {
        logMessage(DEBUG, "failed reading secret data");
        return std::string();
    }

    if (id.m_nModel == HW_MODEL_VANTOR && markEquals(vRecords[1], HW_REV_212_MARK) &&
        markEquals(vRecords[0], BAD_CORE_MARK))
    {
        std::memcpy(vRecords[0].data() + REVISION_MARK_OFFSET + REVISION_MARK_LENGTH - 2,
                    CORE_MARK_CORRECTION, 2);
        logMessage(TRACE, "bad core EEPROM data, using workaround for HW rev 2.12");
    }

    std::unique_ptr<ne_md5_ctx, Md5Free> pContext(ne_md5_create_ctx());
    if (!pContext)
    {
        logMessage(DEBUG, "failed initializing hash function");
        return std::string();
    }
    for (const Record& record : vRecords)
        ne_md5_process_bytes(record.data(), record.size(), pContext.get());
    unsigned char digest[16];
    if (!ne_md5_finish_ctx(pContext.get(), digest))
    {
        logMessage(DEBUG, "failed computing hash");
        return std::string();
    }

    std::string sPassword;
    for (std::size_t i = 0; i < DEFAULT_PASSWORD_LENGTH; ++i)
        sPassword += PASSWORD_ALPHABET[digest[i] & 0x3f];
    return sPassword;
}

NetworkCredentials& defaultCredentials()
{
    static NetworkCredentials list;
    return list;
}

bool loadDefaultCredentials(const std::string& sProduct)
{
    NetworkCredentials& list = defaultCredentials();
    list.clear();
    const std::string sPassword = defaultPassword();
    if (sPassword.empty())
    {
        logMessage(ERROR, "cannot recover default password for authentication");
        return false;
    }
    const std::string sUser = defaultUserName(sProduct);
    if (sUser.empty())
    {
        logMessage(ERROR, "cannot recover default user name for authentication");
        return false;
    }
    logMessage(TRACE, "default user '%s'", sUser.c_str());
    list.addEntry("/", "", sUser, sPassword);
    return true;
}
