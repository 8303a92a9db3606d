#include "DriverTestSupport.h"

#include "updater/TransactionRecord.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;

namespace
{

TransactionRecord sampleRecord()
{
    TransactionRecord record;
    record.m_nPass = 2;
    record.m_nAvailable = 7;
    record.m_nHandled = 7;
    record.m_bEarlierInstall = true;
    record.m_stage = TransactionRecord::Stage::RPM_EXITED;
    record.m_nRpmCode = 1;
    TransactionRecord::NewPackage package;
    package.m_identity = {"a2", 3, "2.0", "1", "noarch", "aec01fa94c8210c60285bbee30d78007"};
    package.m_sChecksumType = "sha";
    package.m_sChecksum = "8c788b3b8dd958773cd2acd1667e01ed4d4724a5";
    package.m_sPath = "/var/cache/updater/base/packages/a2-2.0-1.noarch.rpm";
    record.m_vNew.push_back(package);
    record.m_vReplaced.push_back({"a2", -1, "1.0", "1", "noarch", ""});
    return record;
}

} // namespace

TEST(TransactionRecord, FormatAndParseRoundTrip)
{
    const TransactionRecord record = sampleRecord();
    TransactionRecord parsed;
    ASSERT_TRUE(parsed.parse(record.format()));
    EXPECT_EQ(parsed.format(), record.format());
    EXPECT_EQ(parsed.m_nPass, 2);
    EXPECT_EQ(parsed.m_stage, TransactionRecord::Stage::RPM_EXITED);
    EXPECT_EQ(parsed.m_nRpmCode, 1);
    ASSERT_EQ(parsed.m_vNew.size(), 1u);
    EXPECT_EQ(parsed.m_vNew[0].m_identity, record.m_vNew[0].m_identity);
    EXPECT_EQ(parsed.m_vNew[0].m_identity.label(), "a2-3:2.0-1.noarch");
    ASSERT_EQ(parsed.m_vReplaced.size(), 1u);
    EXPECT_EQ(parsed.m_vReplaced[0].evr(), "1.0-1");
    EXPECT_EQ(parsed.m_vReplaced[0].m_sSigMd5, "");
}

TEST(TransactionRecord, RebootOwedTable)
{
    struct Row
    {
        TransactionRecord::Stage stage;
        int nRpmCode;
        bool bEarlierInstall;
        bool bNoReboot;
        bool bOwed;
    };
    using Stage = TransactionRecord::Stage;
    const Row rows[] = {
        {Stage::INSTALLING, 0, false, false, false}, {Stage::RPM_EXITED, 0, false, false, true},
        {Stage::HOOK_DONE, 0, false, false, true},   {Stage::RPM_EXITED, 1, false, false, false},
        {Stage::RPM_KILLED, 9, false, false, false}, {Stage::RPM_EXITED, 1, true, false, true},
        {Stage::HOOK_DONE, 0, true, true, false},
    };
    for (const Row& row : rows)
    {
        TransactionRecord record;
        record.m_stage = row.stage;
        record.m_nRpmCode = row.nRpmCode;
        record.m_bEarlierInstall = row.bEarlierInstall;
        record.m_bNoReboot = row.bNoReboot;
        EXPECT_EQ(record.rebootOwed(), row.bOwed)
            << static_cast<int>(row.stage) << " " << row.nRpmCode;
    }
}

// A record that is not complete and exactly of this format is no record: the start then
// judges by the status alone.
TEST(TransactionRecord, DamagedTextIsRejected)
{
    const std::string sGood = sampleRecord().format();
    auto replaced = [&sGood](const std::string& sFrom, const std::string& sTo)
    {
        std::string sText = sGood;
        sText.replace(sText.find(sFrom), sFrom.size(), sTo);
        return sText;
    };
    const std::string rows[] = {
        "",
        sGood.substr(0, sGood.size() - 4), // cut before "end"
        sGood.substr(0, sGood.size() - 1), // no final newline
        sGood + "new\tx\n",                // after "end"
        replaced("record 1", "record 2"),  // another format
        replaced("stage\trpm-exited", "stage\tdone"),
        replaced("pass\t2", "pass\ttwo"),
        replaced("counts\t7\t7", "counts\t7"),
        replaced("flags\t0\t0\t0\t1", "flags\t0\t0\t0\t2"),
        replaced("\ta2\t3\t2.0", "\ta2\t-3\t2.0"),
        replaced("\ta2\t3\t2.0", "\t\t3\t2.0"), // no name
        replaced("/var/cache/updater/base/packages/a2-2.0-1.noarch.rpm", ""),
        replaced("replaced\ta2\t-\t1.0\t1\tnoarch\t-", "replaced\ta2"),
        replaced("mode\tupdate\n", "mode\tupdate\nunknown\t1\n"),
    };
    for (const std::string& sText : rows)
    {
        LogCapture log;
        TransactionRecord record;
        EXPECT_FALSE(record.parse(sText)) << sText;
    }
    // A record without new packages describes no installation.
    TransactionRecord empty;
    LogCapture log;
    EXPECT_FALSE(TransactionRecord().parse(empty.format()));
}

TEST(TransactionRecord, SaveLoadAndRemove)
{
    driver_test::PrivatePaths paths;
    const std::string& sFile = paths.paths().m_sTransactionFile;
    TransactionRecord record;
    bool bFound = true;
    ASSERT_TRUE(loadTransactionRecord(record, bFound));
    EXPECT_FALSE(bFound);

    ASSERT_TRUE(saveTransactionRecord(sampleRecord()));
    EXPECT_EQ(readFile(sFile), sampleRecord().format());
    ASSERT_TRUE(loadTransactionRecord(record, bFound));
    EXPECT_TRUE(bFound);
    EXPECT_EQ(record.format(), sampleRecord().format());

    // Replaced whole, and no temporary file stays next to it.
    TransactionRecord changed = sampleRecord();
    changed.m_stage = TransactionRecord::Stage::HOOK_DONE;
    ASSERT_TRUE(saveTransactionRecord(changed));
    ASSERT_TRUE(loadTransactionRecord(record, bFound));
    EXPECT_EQ(record.m_stage, TransactionRecord::Stage::HOOK_DONE);
    std::vector<std::string> vNames;
    for (const auto& entry : std::filesystem::directory_iterator(paths.dir()))
        vNames.push_back(entry.path().filename());
    EXPECT_EQ(vNames, std::vector<std::string>{"transaction"});

    ASSERT_TRUE(removeTransactionRecord());
    EXPECT_FALSE(fileExists(sFile));
    EXPECT_TRUE(removeTransactionRecord());

    // Unreadable content is a failure that says so, not a missing record.
    writeFile(sFile, "garbage\n");
    LogCapture log;
    EXPECT_FALSE(loadTransactionRecord(record, bFound));
    EXPECT_TRUE(bFound);
    EXPECT_TRUE(log.contains("ERROR: the transaction record is incomplete")) << log.text();
}

TEST(TransactionRecord, FailedSaveIsReported)
{
    driver_test::PrivatePaths paths;
    UpdaterPaths moved = paths.paths();
    moved.m_sTransactionFile = paths.file("missing-folder/transaction");
    paths.apply(moved);
    LogCapture log;
    EXPECT_FALSE(saveTransactionRecord(sampleRecord()));
    EXPECT_TRUE(log.contains("ERROR: failed creating")) << log.text();
}
