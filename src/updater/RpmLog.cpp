#include "updater/RpmLog.h"

#include "base/Logger.h"

#include <cstring>
#include <string>

namespace
{

int routeRpmMessage(rpmlogRec rec, rpmlogCallbackData) noexcept
{
    const char* pText = rpmlogRecMessage(rec);
    std::string sText = pText ? pText : "";
    if (!sText.empty() && sText.back() == '\n')
        sText.pop_back();
    logMessage(rpmPriorityLevel(static_cast<int>(rpmlogRecPriority(rec))), "rpmlib: %s",
               sText.c_str());
    // Everything is said through our logger; rpm must not print or exit by itself.
    return 0;
}

} // namespace

int rpmPriorityLevel(int nPriority)
{
    switch (nPriority & 0x7)
    {
    case RPMLOG_EMERG:
    case RPMLOG_ALERT:
    case RPMLOG_CRIT:
        return FATAL;
    case RPMLOG_ERR:
        return ERROR;
    case RPMLOG_WARNING:
        return WARNING;
    case RPMLOG_NOTICE:
    case RPMLOG_INFO:
        return INFO;
    default:
        return DEBUG;
    }
}

RpmLogRoute::RpmLogRoute()
{
    m_pPreviousCallback = rpmlogSetCallback(routeRpmMessage, nullptr);
    m_pDevNull.reset(std::fopen("/dev/null", "we"));
    if (m_pDevNull)
        rpmlogSetFile(m_pDevNull.get());
    else
        logMessage(WARNING, "failed opening /dev/null output");
    m_bActive = true;
}

RpmLogRoute::~RpmLogRoute()
{
    reset();
    rpmlogSetCallback(m_pPreviousCallback, nullptr);
}

void RpmLogRoute::reset()
{
    if (!m_bActive)
        return;
    m_bActive = false;
    rpmlogSetFile(nullptr);
    m_pDevNull.reset();
}
