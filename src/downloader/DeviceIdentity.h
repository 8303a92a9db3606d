#pragma once

#include <cstddef>
#include <string>

#include "downloader/NetworkCredentials.h"

// Hardware models named by the "Hardware" line of the processor information file.
enum HardwareModel : int
{
    HW_MODEL_UNKNOWN = 0,
    HW_MODEL_VANTOR = 1,
    HW_MODEL_KELMIR = 2,
};

// The device identity, read once at start-up; empty until readDeviceIdentity ran.
struct DeviceIdentity
{
    std::string m_sSerial;
    std::string m_sRevision;
    int m_nModel = HW_MODEL_UNKNOWN;
};

// Fills the process-wide identity from the processor information file.
void readDeviceIdentity();
const DeviceIdentity& deviceIdentity();
// Forgets the identity (tests).
void clearDeviceIdentity();

// "<sProduct>-<hardware revision>" (sProduct: the user-agent product), empty without a
// revision.
std::string defaultUserName(const std::string& sProduct);
// The 12-character default password derived from the EEPROM records, empty when it
// cannot be built.
std::string defaultPassword();
// Rebuilds the default credential list (user name as defaultUserName(sProduct)); false when user
// name or password is missing.
[[nodiscard]] bool loadDefaultCredentials(const std::string& sProduct);
// The process-wide default credential list (one entry at most, for any server).
NetworkCredentials& defaultCredentials();

// Size of one EEPROM record and the password alphabet.
inline constexpr std::size_t EEPROM_RECORD_SIZE = 21;
inline constexpr std::size_t DEFAULT_PASSWORD_LENGTH = 12;
