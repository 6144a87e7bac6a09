#include "serial_ports.h"

#include "doctor_loopback.h"
#include "doctor_system.h"

#include "platform/serial.h"

#include <algorithm>
#include <map>

#if defined(_WIN32)
// clang-format off: initguid.h before devguid.h defines the class GUID here
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on
#include <cstdlib>
#include <cstring>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

namespace kestar::tools {
namespace {

#if defined(_WIN32)

// The COM port database of Windows holds COM1 to COM256.
constexpr int kHighestWindowsCom = 256;
constexpr DWORD kMostMapValues = 1024;

void AddFromSerialComm(std::map<int, SerialPortRecord>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD i = 0; i < kMostMapValues; ++i) {
        char name[256] = {};
        char data[64] = {};
        DWORD nameSize = sizeof name;
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG result =
            RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        const int com = result == ERROR_SUCCESS && type == REG_SZ ? ParseComName(data) : 0;
        if (com <= 0) continue;
        SerialPortRecord& port = ports[com];
        port.com = com;
        port.name = name;
        port.source = "SERIALCOMM";
    }
    RegCloseKey(key);
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    char text[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &info, property, nullptr, reinterpret_cast<BYTE*>(text),
                                           sizeof text - 2, nullptr)) {
        return std::string();
    }
    return std::string(text, strnlen(text, sizeof text));  // a list's first string
}

std::string PortName(HDEVINFO set, SP_DEVINFO_DATA& info) {
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return std::string();
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const LONG result = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_SZ ? std::string(name, strnlen(name, sizeof name)) : std::string();
}

// "USB\VID_0403&PID_6001&REV_0600" (or an adapter driver's own bus with the same ids).
std::string IdAfter(const std::string& hardwareId, const char* tag) {
    const std::size_t at = hardwareId.find(tag);
    return at == std::string::npos ? std::string() : hardwareId.substr(at + std::strlen(tag), 4);
}

// "USB\VID_0403&PID_6001\A50285BI": a USB device's own serial number is its instance's
// last part; one the system made up holds an '&'.
std::string UsbSerial(HDEVINFO set, SP_DEVINFO_DATA& info) {
    char id[512] = {};
    if (!SetupDiGetDeviceInstanceIdA(set, &info, id, sizeof id, nullptr) || _strnicmp(id, "USB\\", 4) != 0) {
        return std::string();
    }
    const std::string text = id;
    const std::string last = text.substr(text.find_last_of('\\') + 1);
    return last.find('&') == std::string::npos && text.find('\\') != text.find_last_of('\\') ? last : std::string();
}

void AddFromPortsClass(std::map<int, SerialPortRecord>& ports) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        const int com = ParseComName(PortName(set, info));
        if (com <= 0) continue;  // a printer port
        SerialPortRecord& port = ports[com];
        port.com = com;
        if (port.source.empty()) port.source = "Ports class";
        port.friendlyName = Property(set, info, SPDRP_FRIENDLYNAME);
        const std::string hardwareId = Property(set, info, SPDRP_HARDWAREID);
        port.vendorId = IdAfter(hardwareId, "VID_");
        port.productId = IdAfter(hardwareId, "PID_");
        port.serial = UsbSerial(set, info);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// Wine 8 answers QueryDosDeviceA only for the ports it made itself; a link made by
// hand in the prefix's dosdevices folder is seen through the Z: drive, by its
// attributes alone (the device is not opened).
std::string WineDosDevices() {
    const char* prefix = std::getenv("WINEPREFIX");
    const char* home = std::getenv("HOME");
    std::string folder = prefix != nullptr && *prefix != '\0' ? std::string(prefix)
                         : home != nullptr && *home != '\0'    ? std::string(home) + "/.wine"
                                                                : std::string();
    if (!UnderWine() || folder.empty()) return std::string();
    folder = "Z:" + folder + "/dosdevices/";
    for (char& c : folder) c = c == '/' ? '\\' : c;
    return folder;
}

// The prefix's comN links, listed (a reserved name such as COM2 is never looked up).
void AddWineLinks(std::map<int, SerialPortRecord>& ports) {
    const std::string folder = WineDosDevices();
    WIN32_FIND_DATAA entry{};
    HANDLE find = folder.empty() ? INVALID_HANDLE_VALUE : FindFirstFileA((folder + "com*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const int com = ParseComName(entry.cFileName);
        if (com <= 0 || !ports[com].device.empty()) continue;
        SerialPortRecord& port = ports[com];
        port.com = com;
        port.device = folder + entry.cFileName;
        if (port.source.empty()) port.source = "dosdevices";
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

// Every DOS device name COMn: the names the module opens, whether or not the map has them.
void AddDosDevices(std::map<int, SerialPortRecord>& ports) {
    for (int com = 1; com <= kHighestWindowsCom; ++com) {
        const std::string target = platform::ComDeviceTarget(com);
        if (target.empty()) continue;
        SerialPortRecord& port = ports[com];
        port.com = com;
        port.device = target;
        if (port.source.empty()) port.source = "DOS device";
    }
}

#else

constexpr std::size_t kAttributeBytes = 256;

// A sysfs attribute: a plain file, read up to a bound, its line end taken off.
std::string Attribute(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::string();
    struct stat info {};
    char text[kAttributeBytes] = {};
    ssize_t got = 0;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    std::string value(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

// sysfs is a tree of links; following them is how a tty's device is found.
std::string Resolved(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string LastName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The USB device a tty's device hangs from: the first folder up that has idVendor.
void AddUsbAttributes(const std::string& root, std::string folder, SerialPortRecord& port) {
    for (; folder.size() > root.size() && folder.compare(0, root.size(), root) == 0;
         folder.erase(folder.find_last_of('/'))) {
        port.vendorId = Attribute(folder + "/idVendor");
        if (port.vendorId.empty()) continue;
        port.productId = Attribute(folder + "/idProduct");
        port.manufacturer = Attribute(folder + "/manufacturer");
        port.product = Attribute(folder + "/product");
        port.serial = Attribute(folder + "/serial");
        return;
    }
}

// The ttys with a driver behind them; a UART type of 0 is a name with no UART.
std::vector<SerialPortRecord> SystemTtys(const std::string& sysRoot) {
    std::vector<SerialPortRecord> ttys;
    const std::string classFolder = sysRoot + "/class/tty";
    DIR* folder = ::opendir(classFolder.c_str());
    if (folder == nullptr) return ttys;
    const std::string root = Resolved(sysRoot);
    while (const dirent* entry = ::readdir(folder)) {
        const std::string tty = classFolder + "/" + entry->d_name;
        const std::string driver = Resolved(tty + "/device/driver");
        if (entry->d_name[0] == '.' || driver.empty() || Attribute(tty + "/type") == "0") continue;
        SerialPortRecord port;
        port.name = entry->d_name;
        port.device = "/dev/" + port.name;
        port.source = "sysfs";
        port.driver = LastName(driver);
        AddUsbAttributes(root, Resolved(tty + "/device"), port);
        ttys.push_back(port);
    }
    ::closedir(folder);
    std::sort(ttys.begin(), ttys.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return ttys;
}

// What the module opens as COMn: a $KESTAR_DEVICES link (to whatever it leads to,
// shown with the system's record of that device), or the fallback device when the
// system has one.
bool ComPort(int com, std::vector<SerialPortRecord>& ttys, std::vector<bool>& reached, SerialPortRecord& port) {
    const std::string target = platform::ComDeviceTarget(com);
    struct stat link {};
    const bool linked = ::lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    std::string device = Resolved(target);
    const bool leadsNowhere = device.empty();
    if (linked && leadsNowhere) {
        char text[PATH_MAX] = {};
        const ssize_t n = ::readlink(target.c_str(), text, sizeof text - 1);
        device.assign(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    for (std::size_t i = 0; i < ttys.size(); ++i) {
        if (ttys[i].device != (linked ? device : target)) continue;
        port = ttys[i];
        reached[i] = true;
    }
    if (!linked && port.name.empty()) return false;
    port.com = com;
    if (linked) {
        port.link = target;
        port.device = device;
        port.source = "link";
        port.missing = port.name.empty() && leadsNowhere;
    }
    return true;
}

#endif

}  // namespace

#if defined(_WIN32)

std::vector<SerialPortRecord> FindSerialPorts(const std::string&) {
    std::map<int, SerialPortRecord> ports;
    AddFromSerialComm(ports);
    AddFromPortsClass(ports);
    AddDosDevices(ports);
    AddWineLinks(ports);
    std::vector<SerialPortRecord> list;
    for (const auto& [com, port] : ports) list.push_back(port);
    return list;
}

#else

std::vector<SerialPortRecord> FindSerialPorts(const std::string& sysRoot) {
    std::vector<SerialPortRecord> ttys = SystemTtys(sysRoot);
    std::vector<bool> reached(ttys.size(), false);
    std::vector<SerialPortRecord> list;
    for (int com = 1; com <= platform::kHighestComNumber; ++com) {
        SerialPortRecord port;
        if (ComPort(com, ttys, reached, port)) list.push_back(port);
    }
    for (std::size_t i = 0; i < ttys.size(); ++i) {
        if (!reached[i]) list.push_back(ttys[i]);
    }
    return list;
}

#endif

}  // namespace kestar::tools
