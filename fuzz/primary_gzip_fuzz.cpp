// The package list compressed with gzip, as repositories serve it: the input is the
// uncompressed document, so mutations reach the parser through the decompression.

#include "PrimarySupport.h"

#include <zlib.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initializePrimary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    static const std::string sPath = fuzz::workDir() + "/primary.xml.gz";
    gzFile pFile = gzopen(sPath.c_str(), "wb1");
    if (pFile == nullptr)
        std::abort();
    if (uSize > 0 && gzwrite(pFile, pData, static_cast<unsigned>(uSize)) != static_cast<int>(uSize))
        std::abort();
    if (gzclose(pFile) != Z_OK)
        std::abort();
    fuzz::parsePrimary(sPath);
    return 0;
}
