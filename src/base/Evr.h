#pragma once

#include <string>
#include <string_view>

// Epoch, version and release of a package or a versioned dependency. An empty version
// stands for no version at all.
struct Evr
{
    int m_nEpoch = 0;
    std::string m_sVersion;
    std::string m_sRelease;

    Evr() = default;
    Evr(int nEpoch, std::string sVersion, std::string sRelease)
        : m_nEpoch(nEpoch), m_sVersion(std::move(sVersion)), m_sRelease(std::move(sRelease))
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

// rpm's version segment comparison.
int compareVersionSegment(const std::string& a, const std::string& b);
