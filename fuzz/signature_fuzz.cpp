// The detached signature of the repository index (repodata/repomd.xml.asc).

#include "FuzzSupport.h"

#include "rpmdb/DetachedSignature.h"

#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    const std::string sText(reinterpret_cast<const char*>(pData), uSize);
    DetachedSignature signature;
    std::string sError;
    if (signature.parse(sText, sError))
        (void)signature.keyId();
    return 0;
}
