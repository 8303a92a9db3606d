#include "rpmdb/RpmHeader.h"

#include "base/Logger.h"
#include "base/RichDependency.h"
#include "rpmdb/RpmHandles.h"

#include <rpm/rpmlib.h>

#include <string_view>

std::string PackageIdentity::evr() const
{
    std::string sEvr;
    if (m_nEpoch >= 0)
        sEvr = std::to_string(m_nEpoch) + ":";
    return sEvr + m_sVersion + "-" + m_sRelease;
}

std::string PackageIdentity::label() const
{
    return m_sName + "-" + evr() + "." + m_sArch;
}

bool PackageIdentity::sameNevra(const PackageIdentity& other) const
{
    return m_sName == other.m_sName && m_nEpoch == other.m_nEpoch &&
           m_sVersion == other.m_sVersion && m_sRelease == other.m_sRelease &&
           m_sArch == other.m_sArch;
}

namespace rpmheader
{

namespace
{

template <typename String> bool readStringInto(Header h, rpmTagVal nTag, String& sValue)
{
    TagData data;
    if (!data.get(h, nTag) || data.type() != RPM_STRING_TYPE || data.count() != 1 ||
        rpmtdGetString(data.td()) == nullptr)
    {
        logMessage(ERROR, "failed retrieving rpm tag %i as string", static_cast<int>(nTag));
        return false;
    }
    sValue = rpmtdGetString(data.td());
    return true;
}

} // namespace

bool readString(Header h, rpmTagVal nTag, std::string& sValue)
{
    return readStringInto(h, nTag, sValue);
}

bool readString(Header h, rpmTagVal nTag, InternedString& sValue)
{
    return readStringInto(h, nTag, sValue);
}

bool readInt(Header h, rpmTagVal nTag, int& nValue)
{
    TagData data;
    if (data.get(h, nTag) && data.count() == 1 && data.td()->data != nullptr)
    {
        switch (data.type())
        {
        case RPM_INT8_TYPE:
            nValue = *static_cast<const uint8_t*>(data.td()->data);
            return true;
        case RPM_INT16_TYPE:
            nValue = static_cast<int16_t>(*static_cast<const uint16_t*>(data.td()->data));
            return true;
        case RPM_INT32_TYPE:
            nValue = static_cast<int32_t>(*static_cast<const uint32_t*>(data.td()->data));
            return true;
        default:
            break;
        }
    }
    logMessage(ERROR, "failed retrieving rpm tag %i as int", static_cast<int>(nTag));
    return false;
}

bool readDependencies(Header h, rpmTagVal nNameTag, DependencySet& setDependencies)
{
    rpmTagVal nFlagsTag;
    rpmTagVal nVersionTag;
    switch (nNameTag)
    {
    case RPMTAG_REQUIRENAME:
        nFlagsTag = RPMTAG_REQUIREFLAGS;
        nVersionTag = RPMTAG_REQUIREVERSION;
        break;
    case RPMTAG_PROVIDENAME:
        nFlagsTag = RPMTAG_PROVIDEFLAGS;
        nVersionTag = RPMTAG_PROVIDEVERSION;
        break;
    default:
        logMessage(ERROR, "unrecognized dependency tag %i", static_cast<int>(nNameTag));
        return false;
    }

    TagData names;
    TagData flags;
    TagData versions;
    const bool bNames = names.get(h, nNameTag);
    const bool bFlags = flags.get(h, nFlagsTag);
    const bool bVersions = versions.get(h, nVersionTag);
    if (!bNames && !bFlags && !bVersions)
        return true;
    if (!bNames || !bFlags || !bVersions || names.type() != RPM_STRING_ARRAY_TYPE ||
        versions.type() != RPM_STRING_ARRAY_TYPE || flags.type() != RPM_INT32_TYPE ||
        names.count() != flags.count() || names.count() != versions.count())
    {
        logMessage(ERROR, "failed retrieving rpm dependencies");
        return false;
    }

    const auto* pNames = static_cast<const char* const*>(names.td()->data);
    const auto* pFlags = static_cast<const uint32_t*>(flags.td()->data);
    const auto* pVersions = static_cast<const char* const*>(versions.td()->data);
    const bool bTrace = logEnabled(TRACE);
    for (rpm_count_t i = 0; i < names.count(); ++i)
    {
        const uint32_t uFlags = pFlags[i];
        const char* pName = pNames[i] ? pNames[i] : "";
        const char* pVersion = pVersions[i] ? pVersions[i] : "";
        // rpm's own capabilities are never provided by a package; a name check backs up the
        // flag for headers written without it.
        if ((uFlags & DROPPED_DEPENDENCY_BITS) != 0 ||
            std::string_view(pName).starts_with("rpmlib("))
            continue;
        Dependency dependency(pName);
        // A rich entry is a requirement without a version of its own, and librpm must
        // parse it; anywhere else it is not valid.
        if (dependency.isRich() &&
            (nNameTag != RPMTAG_REQUIRENAME || *pVersion != '\0' || !RichDependency().parse(pName)))
        {
            logMessage(DEBUG, "refusing rich dependency '%s' with version '%s' (tag %i)", pName,
                       pVersion, static_cast<int>(nNameTag));
            logMessage(ERROR, "failed retrieving rpm dependencies");
            return false;
        }
        if (*pVersion != '\0')
            dependency.m_Evr = Evr(std::string_view(pVersion));
        dependency.m_nFlags = static_cast<int>(uFlags & RPMSENSE_SENSEMASK);
        if (bTrace)
            logMessage(TRACE, "%s %s 0x%x => %s", pName, pVersion, uFlags,
                       dependency.toString().c_str());
        setDependencies.insert(std::move(dependency));
    }
    // The installed list keeps its sets for the whole run: no room held in reserve.
    setDependencies.shrink_to_fit();
    return true;
}

bool readPackageIdentity(const std::string& sPath, PackageIdentity& identity)
{
    FilePtr pFile(Fopen(sPath.c_str(), "r.ufdio"));
    if (!pFile || Ferror(pFile.get()))
    {
        logMessage(DEBUG, "cannot open '%s' to read its header: %s", sPath.c_str(),
                   Fstrerror(pFile.get()));
        return false;
    }
    TransactionSet pTs(rpmtsCreate());
    // Only the header is wanted here; digests and signatures are checked later.
    rpmtsSetVSFlags(pTs.get(), RPMVSF_MASK_NODIGESTS | RPMVSF_MASK_NOSIGNATURES);
    Header pRawHeader = nullptr;
    const rpmRC nRc = rpmReadPackageFile(pTs.get(), pFile.get(), sPath.c_str(), &pRawHeader);
    HeaderPtr pHeader(pRawHeader);
    if ((nRc != RPMRC_OK && nRc != RPMRC_NOTTRUSTED && nRc != RPMRC_NOKEY) || !pHeader)
    {
        logMessage(DEBUG, "no readable package header in '%s'", sPath.c_str());
        return false;
    }
    Header h = pHeader.get();
    identity = PackageIdentity();
    return readString(h, RPMTAG_NAME, identity.m_sName) &&
           readString(h, RPMTAG_VERSION, identity.m_sVersion) &&
           readString(h, RPMTAG_RELEASE, identity.m_sRelease) &&
           readString(h, RPMTAG_ARCH, identity.m_sArch) &&
           (!headerIsEntry(h, RPMTAG_EPOCH) || readInt(h, RPMTAG_EPOCH, identity.m_nEpoch));
}

} // namespace rpmheader
