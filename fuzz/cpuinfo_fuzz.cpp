// The processor information file (/proc/cpuinfo) that names the device.

#include "FuzzSupport.h"

#include "downloader/DeviceIdentity.h"
#include "downloader/NetworkPaths.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    networkPaths().m_sCpuInfo = fuzz::workDir() + "/cpuinfo";
    networkPaths().m_vEepromFiles = {fuzz::workDir() + "/missing-eeprom"};
    networkPaths().m_sCredentialsFile = fuzz::workDir() + "/missing-credentials";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    fuzz::writeInput(networkPaths().m_sCpuInfo, pData, uSize);
    clearDeviceIdentity();
    readDeviceIdentity();
    const DeviceIdentity& identity = deviceIdentity();
    if (identity.m_nModel < HW_MODEL_UNKNOWN || identity.m_nModel > HW_MODEL_KELMIR)
        std::abort();
    (void)defaultUserName("product");
    return 0;
}
