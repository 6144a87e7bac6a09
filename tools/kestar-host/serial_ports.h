// The serial ports this machine has, as records: where each one comes from, the
// COM number the module opens it as, and what the system says of the device.
//
// POSIX: the $KESTAR_DEVICES links com<n> the module opens first, and the system's
// serial devices, the entries of <sysfs>/class/tty that have a driver. ttyS<k> is
// COM k+1 (the module's fallback); any other device is reachable only through a
// $KESTAR_DEVICES link. USB adapters carry the attributes of their USB device.
// Windows: the system's serial-port map (HARDWARE\DEVICEMAP\SERIALCOMM), the Ports
// class of the device information, and the DOS device names COM1 to COM256 (Wine
// makes those from its prefix's dosdevices links, not all of them in the map).
#pragma once

#include <string>
#include <vector>

namespace kestar::tools {

struct SerialPortRecord {
    int com = 0;               // the COM number the module opens it as; 0: none reaches it
    std::string device;        // POSIX: the device file; Windows: the DOS device name's target
    std::string link;          // POSIX: the $KESTAR_DEVICES link the module opens
    std::string name;          // POSIX: the tty's name; Windows: the map's value name
    std::string source;        // what named it: "link", "sysfs", "SERIALCOMM", "Ports class", "DOS device"
    std::string driver;        // POSIX: the tty's driver
    std::string friendlyName;  // Windows: the device information's friendly name
    std::string vendorId;      // USB adapters: "0403"
    std::string productId;
    std::string manufacturer;
    std::string product;
    std::string serial;
    bool missing = false;      // POSIX: the link leads to nothing the system has
};

// Every serial port, by COM number (the ones none reaches last). sysRoot is where
// sysfs is (POSIX; Windows does not use it).
std::vector<SerialPortRecord> FindSerialPorts(const std::string& sysRoot = "/sys");

}  // namespace kestar::tools
