#pragma once

#include "base/UniqueFile.h"

#include <cstdio>
#include <rpm/rpmlog.h>

// Logger level for an rpm log priority (only its low three bits count).
int rpmPriorityLevel(int nPriority);

// Routes the rpm library's messages into the logger ("rpmlib: %s") and points rpm's own
// output at /dev/null while it lives, so that rpm prints nothing itself. Reset (or
// destruction) detaches rpm's log file and closes /dev/null; destruction also gives rpm
// its previous callback back.
class RpmLogRoute
{
public:
    RpmLogRoute();
    ~RpmLogRoute();
    RpmLogRoute(const RpmLogRoute&) = delete;
    RpmLogRoute& operator=(const RpmLogRoute&) = delete;

    void reset();

private:
    bool m_bActive = false;
    UniqueFile m_pDevNull;
    rpmlogCallback m_pPreviousCallback = nullptr;
};
