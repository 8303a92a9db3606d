#pragma once

#include "downloader/URLFetcher.h"

#include <ctime>

// Progress of repository downloads: silent for transfers that finish within a minute,
// otherwise a line at most once a minute and a final line once everything has arrived.
class ItemNotify : public URLFetcher::Notifier
{
public:
    ItemNotify();
    ~ItemNotify() override;

    // The argument (neon's session status) is ignored.
    void notify(int nStatus) override;

    int m_nTotal = 0;         // set by the owner to the number of items
    int m_nCount = 0;         // incremented by the owner after each completed item
    bool m_bReported = false; // a progress line has been printed
    bool m_bFinished = false; // the final line has been handled
    time_t m_tLastReport;

    static constexpr int REPORT_INTERVAL = 60;
};
