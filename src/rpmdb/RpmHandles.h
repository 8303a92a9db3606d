#pragma once

#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmio.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>

#include <memory>

// Owning wrappers for librpm handles; each frees its handle with the matching rpm call.

struct RpmTsFree
{
    void operator()(rpmts ts) const noexcept { rpmtsFree(ts); }
};
using TransactionSet = std::unique_ptr<rpmts_s, RpmTsFree>;

struct RpmIteratorFree
{
    void operator()(rpmdbMatchIterator it) const noexcept { rpmdbFreeIterator(it); }
};
// Headers returned by the iterator belong to it and stay valid until the next step.
using MatchIterator = std::unique_ptr<rpmdbMatchIterator_s, RpmIteratorFree>;

struct RpmHeaderFree
{
    void operator()(Header h) const noexcept { headerFree(h); }
};
using HeaderPtr = std::unique_ptr<headerToken_s, RpmHeaderFree>;

struct RpmFdClose
{
    void operator()(FD_t fd) const noexcept { Fclose(fd); }
};
using FilePtr = std::unique_ptr<_FD_s, RpmFdClose>;

// One tag's data read from a header; releases what headerGet allocated.
class TagData
{
public:
    TagData() : m_pTd(rpmtdNew()) {}
    ~TagData() { rpmtdFree(m_pTd); }
    TagData(const TagData&) = delete;
    TagData& operator=(const TagData&) = delete;

    // Reads a tag; the data may point into the header, which must outlive this object.
    bool get(Header h, rpmTagVal nTag)
    {
        rpmtdFreeData(m_pTd);
        return m_pTd != nullptr && headerGet(h, nTag, m_pTd, HEADERGET_MINMEM) != 0;
    }

    rpmtd td() const { return m_pTd; }
    rpmTagType type() const { return rpmtdType(m_pTd); }
    rpm_count_t count() const { return rpmtdCount(m_pTd); }

private:
    rpmtd m_pTd;
};
