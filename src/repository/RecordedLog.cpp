// Messages kept for writing them again.

#include "repository/RecordedLog.h"

#include "base/Logger.h"

#include <cstdarg>
#include <cstdio>

void RecordedLog::log(int nLevel, const char* pFormat, ...)
{
    if (!logEnabled(nLevel))
        return;
    va_list args;
    va_start(args, pFormat);
    char buffer[256];
    va_list copy;
    va_copy(copy, args);
    const int nLength = std::vsnprintf(buffer, sizeof buffer, pFormat, copy);
    va_end(copy);
    std::string sText;
    if (nLength >= 0 && static_cast<std::size_t>(nLength) < sizeof buffer)
        sText.assign(buffer, static_cast<std::size_t>(nLength));
    else if (nLength >= 0)
    {
        sText.resize(static_cast<std::size_t>(nLength));
        std::vsnprintf(sText.data(), sText.size() + 1, pFormat, args);
    }
    va_end(args);
    logMessage(nLevel, "%s", sText.c_str());
    if (m_bFull)
        return;
    if (m_vMessages.size() >= m_uLimit)
    {
        m_bFull = true;
        m_vMessages.clear();
        m_vMessages.shrink_to_fit();
        return;
    }
    m_vMessages.push_back(Message{nLevel, std::move(sText)});
}

void RecordedLog::replay() const
{
    for (const Message& message : m_vMessages)
        logMessage(message.m_nLevel, "%s", message.m_sText.c_str());
}
