// The package list as stored: plain XML or gzip-compressed bytes.

#include "PrimarySupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initializePrimary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    static const std::string sPath = fuzz::workDir() + "/primary.xml";
    fuzz::writeInput(sPath, pData, uSize);
    fuzz::parsePrimary(sPath);
    return 0;
}
