#include "repository/ItemNotify.h"

#include "base/Logger.h"

ItemNotify::ItemNotify() : m_tLastReport(time(nullptr)) {}

ItemNotify::~ItemNotify() = default;

void ItemNotify::notify(int /*nStatus*/)
{
    if (m_bFinished)
        return;
    if (m_nCount == m_nTotal && m_bReported)
    {
        m_bFinished = true;
        logMessage(INFO, "downloaded (%i/%i)", m_nCount, m_nCount);
        return;
    }
    time_t tNow = time(nullptr);
    if (tNow < m_tLastReport + REPORT_INTERVAL)
        return;
    logMessage(INFO, "downloading... (%i/%i)", m_nCount, m_nTotal);
    m_tLastReport = tNow;
    m_bReported = true;
}
