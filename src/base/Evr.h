#pragma once

#include "base/InternedString.h"

#include <string>
#include <string_view>

// Epoch, version and release of a package or a versioned dependency. An empty version
// stands for no version at all.
struct Evr
{
    int m_nEpoch = 0;
    InternedString m_sVersion;
    InternedString m_sRelease;

    Evr() = default;
    Evr(int nEpoch, InternedString sVersion, InternedString sRelease)
        : m_nEpoch(nEpoch), m_sVersion(sVersion), m_sRelease(sRelease)
    {
    }
    // Parses "[epoch:]version[-release]"; never fails, problems are logged.
    explicit Evr(std::string_view sText);

    bool empty() const { return m_sVersion.empty(); }
    std::string toString() const;
    // Ordering: epoch, then version, then release (always compared).
    int compare(const Evr& other) const;

    bool operator==(const Evr& other) const = default;
};

static_assert(sizeof(Evr) == 12, "an Evr is an epoch and two string handles");

// rpm's version segment comparison.
int compareVersionSegment(const char* pA, const char* pB);
