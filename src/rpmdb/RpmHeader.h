#pragma once

#include "base/Dependency.h"
#include "base/Evr.h"
#include "base/InternedString.h"

#include <rpm/header.h>
#include <rpm/rpmtag.h>

#include <cstdint>
#include <string>

// What identifies one package header exactly: its name, epoch, version, release and
// architecture, and the MD5 digest over header and payload that rpm stores with it.
struct PackageIdentity
{
    std::string m_sName;
    int m_nEpoch = -1; // -1: the header has no epoch
    std::string m_sVersion;
    std::string m_sRelease;
    std::string m_sArch;
    std::string m_sSigMd5; // lower-case hex; empty when the header carries none

    // "version-release" with "epoch:" in front when there is one.
    std::string evr() const;
    // "name-[epoch:]version-release.arch"
    std::string label() const;
    bool sameNevra(const PackageIdentity& other) const;
    bool operator==(const PackageIdentity& other) const = default;
};

// Readers of single header tags under the strict type rules of the installed-package list.
// Each logs its own failure.
namespace rpmheader
{

// Dependency flag bits whose entries are not kept: capabilities of rpm itself, and the
// pre-requisites of install and erase scriptlets (librpm 4.3 marked all of those with the
// pre-requisite bit; later versions use one bit per scriptlet).
constexpr uint32_t DROPPED_DEPENDENCY_BITS = RPMSENSE_RPMLIB | RPMSENSE_PREREQ |
                                             RPMSENSE_SCRIPT_PRE | RPMSENSE_SCRIPT_POST |
                                             RPMSENSE_SCRIPT_PREUN | RPMSENSE_SCRIPT_POSTUN;

// A string tag: exactly one RPM_STRING_TYPE value.
[[nodiscard]] bool readString(Header h, rpmTagVal nTag, std::string& sValue);
[[nodiscard]] bool readString(Header h, rpmTagVal nTag, InternedString& sValue);
// An integer tag: exactly one 8-, 16- or 32-bit value, widened to int (8-bit as unsigned,
// 16-bit as signed).
[[nodiscard]] bool readInt(Header h, rpmTagVal nTag, int& nValue);
// The requires (RPMTAG_REQUIRENAME) or provides (RPMTAG_PROVIDENAME) of a header, without the
// dropped entries; the three arrays must agree in type and length.
[[nodiscard]] bool readDependencies(Header h, rpmTagVal nNameTag, DependencySet& setDependencies);

// Reads name, epoch, version, release and arch from the header of the package file at
// sPath, without checking digests or signatures (that is a later step). Logs at DEBUG why
// the file could not be read.
[[nodiscard]] bool readPackageIdentity(const std::string& sPath, PackageIdentity& identity);

} // namespace rpmheader
