// The transaction record a start reads after an interrupted installation.

#include "FuzzSupport.h"

#include "updater/TransactionRecord.h"
#include "updater/UpdaterPaths.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    UpdaterPaths paths;
    paths.m_sTransactionFile = fuzz::workDir() + "/transaction";
    setUpdaterPaths(paths);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    fuzz::writeInput(updaterPaths().m_sTransactionFile, pData, uSize);
    TransactionRecord record;
    bool bFound = false;
    if (loadTransactionRecord(record, bFound))
    {
        // What was read is written back the same way.
        TransactionRecord again;
        if (!bFound || !again.parse(record.format()) || again.format() != record.format())
            std::abort();
    }
    return 0;
}
