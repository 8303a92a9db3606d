#pragma once

#include <string>
#include <vector>

// The fixed device files the network layer reads. Production code never changes them;
// tests point them at files of their own (see ScopedNetworkPaths in the tests).
struct NetworkPaths
{
    std::string m_sCpuInfo = "/proc/cpuinfo";
    std::vector<std::string> m_vEepromFiles = {
        "/sys/bus/i2c/drivers/Vantor-EEPROM/0-0050/data",
        "/sys/bus/i2c/drivers/Vantor-EEPROM/0-0052/data",
        "/sys/bus/i2c/drivers/Vantor-EEPROM/0-0053/data",
    };
    std::string m_sCredentialsFile = "/etc/morvane/vqzpasswd.xml";
    // An additional certificate authority (PEM) trusted by https sessions besides the
    // system's default ones; empty on a device.
    std::string m_sExtraCaFile;
};

// The process-wide paths in use.
NetworkPaths& networkPaths();
