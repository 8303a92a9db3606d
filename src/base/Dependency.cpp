#include "base/Dependency.h"

const char* dependencyOperator(int nFlags)
{
    switch (nFlags)
    {
    case 0:
        return "";
    case RPMSENSE_LESS:
        return "<";
    case RPMSENSE_GREATER:
        return ">";
    case RPMSENSE_EQUAL:
        return "=";
    case RPMSENSE_LESS | RPMSENSE_EQUAL:
        return "<=";
    case RPMSENSE_GREATER | RPMSENSE_EQUAL:
        return ">=";
    default:
        return "?";
    }
}

std::string Dependency::toString() const
{
    if (m_Evr.m_sVersion.empty())
        return m_sName.str();
    std::string sText(m_sName.view());
    sText += ' ';
    sText += dependencyOperator(m_nFlags);
    sText += ' ';
    sText += m_Evr.toString();
    return sText;
}

bool Dependency::operator<(const Dependency& other) const
{
    const int nName = m_sName.compare(other.m_sName);
    if (nName != 0)
        return nName < 0;
    const int nEvr = m_Evr.compare(other.m_Evr);
    if (nEvr != 0)
        return nEvr < 0;
    return m_nFlags < other.m_nFlags;
}

bool Dependency::overlaps(const Dependency& other) const
{
    if (m_sName != other.m_sName)
        return false;
    if (m_nFlags == 0 || other.m_nFlags == 0)
        return true;
    if (m_Evr.m_sVersion.empty() || other.m_Evr.m_sVersion.empty())
        return true;

    int nSense;
    if (m_Evr.m_nEpoch != other.m_Evr.m_nEpoch)
        nSense = m_Evr.m_nEpoch < other.m_Evr.m_nEpoch ? -1 : 1;
    else
    {
        nSense =
            m_Evr.m_sVersion == other.m_Evr.m_sVersion
                ? 0
                : compareVersionSegment(m_Evr.m_sVersion.c_str(), other.m_Evr.m_sVersion.c_str());
        // A release missing on either side matches any release.
        if (nSense == 0 && !m_Evr.m_sRelease.empty() && !other.m_Evr.m_sRelease.empty() &&
            m_Evr.m_sRelease != other.m_Evr.m_sRelease)
            nSense =
                compareVersionSegment(m_Evr.m_sRelease.c_str(), other.m_Evr.m_sRelease.c_str());
    }

    if (nSense < 0)
        return (m_nFlags & RPMSENSE_GREATER) || (other.m_nFlags & RPMSENSE_LESS);
    if (nSense > 0)
        return (m_nFlags & RPMSENSE_LESS) || (other.m_nFlags & RPMSENSE_GREATER);
    return ((m_nFlags & RPMSENSE_LESS) && (other.m_nFlags & RPMSENSE_LESS)) ||
           ((m_nFlags & RPMSENSE_EQUAL) && (other.m_nFlags & RPMSENSE_EQUAL)) ||
           ((m_nFlags & RPMSENSE_GREATER) && (other.m_nFlags & RPMSENSE_GREATER));
}
