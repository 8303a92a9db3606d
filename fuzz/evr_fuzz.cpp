// Version texts: "[epoch:]version[-release]" and rpm's segment comparison. The input is
// split at the first newline into two texts that are parsed and compared both ways.

#include "FuzzSupport.h"

#include "base/Evr.h"

#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    return 0;
}

namespace
{

void checkVersions(const uint8_t* pData, size_t uSize)
{
    std::string_view sInput(reinterpret_cast<const char*>(pData), uSize);
    std::size_t uSplit = sInput.find('\n');
    std::string_view sFirst = sInput.substr(0, uSplit);
    std::string_view sSecond =
        uSplit == std::string_view::npos ? std::string_view() : sInput.substr(uSplit + 1);

    Evr first(sFirst);
    Evr second(sSecond);
    int nForward = first.compare(second);
    int nBackward = second.compare(first);
    // The order is antisymmetric and reflexive.
    if ((nForward > 0) != (nBackward < 0) || (nForward == 0) != (nBackward == 0) ||
        first.compare(first) != 0)
        std::abort();
    // A printed version reads back as the same version.
    if (!first.empty() && first.m_nEpoch >= 0 &&
        first.m_sVersion.view().find_first_of(":-") == std::string_view::npos &&
        first.m_sRelease.view().find(':') == std::string_view::npos &&
        Evr(first.toString()).compare(first) != 0)
        std::abort();

    std::string sA(sFirst);
    std::string sB(sSecond);
    int nSegment = compareVersionSegment(sA.c_str(), sB.c_str());
    int nReverse = compareVersionSegment(sB.c_str(), sA.c_str());
    if ((nSegment > 0) != (nReverse < 0) || (nSegment == 0) != (nReverse == 0))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    checkVersions(pData, uSize);
    // The versions of this input are gone: without this the pool would grow with every input.
    InternedString::resetPoolForFuzzing();
    return 0;
}
