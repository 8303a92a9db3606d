#pragma once

#include "rpmdb/RpmDB.h"

#include <string>
#include <vector>

// What an installing pass is about to do and how far it got, kept on disk next to the
// status file so that the next start can tell a finished installation from a cut-off
// one (and owe nobody a reboot). Written only when recovery is configured.
struct TransactionRecord
{
    enum class Stage
    {
        INSTALLING, // rpm was started; its end is not known
        RPM_EXITED, // rpm exited with m_nRpmCode
        RPM_KILLED, // rpm was killed by signal m_nRpmCode
        HOOK_DONE,  // rpm exited and the "postupdate" hook has run
    };

    struct NewPackage
    {
        PackageIdentity m_identity;
        std::string m_sChecksumType;
        std::string m_sChecksum;
        std::string m_sPath; // the package file in the cache
    };

    std::string m_sMode = "update";
    int m_nPass = 0;
    // For the update-state file of a run that is finished at the next start.
    unsigned m_nAvailable = 0;
    unsigned m_nHandled = 0;
    bool m_bUpdaterOnly = false;
    bool m_bNamesGiven = false;
    bool m_bNoReboot = false;
    // An earlier pass of the same run installed packages: a reboot is owed whatever this
    // pass does.
    bool m_bEarlierInstall = false;
    Stage m_stage = Stage::INSTALLING;
    int m_nRpmCode = 0;
    bool m_bRepairTried = false;
    // A start found the installation cut off and left the status CORRUPTED.
    bool m_bRefused = false;
    std::vector<NewPackage> m_vNew;
    std::vector<PackageIdentity> m_vReplaced;

    // Whether the installation this record describes has completed successfully as far
    // as the updater knows (rpm exited 0).
    bool installed() const
    {
        return (m_stage == Stage::RPM_EXITED || m_stage == Stage::HOOK_DONE) && m_nRpmCode == 0;
    }
    // Whether the run still owes the device a reboot.
    bool rebootOwed() const { return !m_bNoReboot && (m_bEarlierInstall || installed()); }

    std::string format() const;
    // False (logged) for anything but a complete record of this format.
    [[nodiscard]] bool parse(const std::string& sText);
};

// Reads the record; bFound is false when there is none (that is no failure).
[[nodiscard]] bool loadTransactionRecord(TransactionRecord& record, bool& bFound);
// Replaces the record atomically and forces it to the storage medium.
[[nodiscard]] bool saveTransactionRecord(const TransactionRecord& record);
// Removes the record (durably); true when there is none afterwards.
[[nodiscard]] bool removeTransactionRecord();
