#include "base/Evr.h"

#include "base/Logger.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <rpm/rpmver.h>

Evr::Evr(std::string_view sText)
{
    std::string_view sRest = sText;
    const size_t nColon = sText.find(':');
    if (nColon != std::string_view::npos)
    {
        // strtol semantics on the text before the colon: leading blanks and a sign are
        // accepted, the number must end exactly at the colon.
        const std::string sEpoch(sText.substr(0, nColon));
        char* pEnd = nullptr;
        errno = 0;
        const long nValue = strtol(sEpoch.c_str(), &pEnd, 10);
        if (pEnd != sEpoch.c_str() + sEpoch.size() || sEpoch.empty())
            logMessage(ERROR, "failed parsing epoch from EVR string");
        // An epoch that does not fit an int is clamped rather than wrapped, so that an
        // absurd epoch never turns into a small or negative one.
        m_nEpoch = nValue > INT_MAX   ? INT_MAX
                   : nValue < INT_MIN ? INT_MIN
                                      : static_cast<int>(nValue);
        sRest = sText.substr(nColon + 1);
    }
    if (sRest.empty())
    {
        logMessage(ERROR, "EVR string has no version release");
        return;
    }
    const size_t nHyphen = sRest.find('-');
    if (nHyphen == std::string_view::npos)
    {
        m_sVersion = sRest;
        return;
    }
    m_sVersion = sRest.substr(0, nHyphen);
    m_sRelease = sRest.substr(nHyphen + 1);
    if (m_sRelease.empty())
        logMessage(ERROR, "empty release in EVR string");
}

std::string Evr::toString() const
{
    if (m_sVersion.empty())
        return std::string();
    std::string sText = std::to_string(m_nEpoch);
    sText.reserve(sText.size() + m_sVersion.size() + m_sRelease.size() + 2);
    sText += ':';
    sText += m_sVersion.view();
    if (!m_sRelease.empty())
    {
        sText += '-';
        sText += m_sRelease.view();
    }
    return sText;
}

int Evr::compare(const Evr& other) const
{
    if (m_nEpoch != other.m_nEpoch)
        return m_nEpoch < other.m_nEpoch ? -1 : 1;
    // Equal texts share a handle, and rpmvercmp finds equal texts equal.
    if (m_sVersion != other.m_sVersion)
    {
        const int nVersion = compareVersionSegment(m_sVersion.c_str(), other.m_sVersion.c_str());
        if (nVersion != 0)
            return nVersion;
    }
    if (m_sRelease == other.m_sRelease)
        return 0;
    return compareVersionSegment(m_sRelease.c_str(), other.m_sRelease.c_str());
}

int compareVersionSegment(const char* pA, const char* pB)
{
    return rpmvercmp(pA, pB);
}
