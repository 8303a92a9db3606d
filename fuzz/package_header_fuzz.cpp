// The header of a downloaded package file, read to compare it with its list entry.

#include "FuzzSupport.h"

#include "rpmdb/RpmHeader.h"

#include <rpm/rpmlib.h>
#include <rpm/rpmlog.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    rpmSetVerbosity(RPMLOG_EMERG);
    if (rpmReadConfigFiles(nullptr, nullptr) != 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    const std::string sPath = fuzz::workDir() + "/package.rpm";
    fuzz::writeInput(sPath, pData, uSize);
    PackageIdentity identity;
    if (rpmheader::readPackageIdentity(sPath, identity))
        (void)identity.label();
    return 0;
}
