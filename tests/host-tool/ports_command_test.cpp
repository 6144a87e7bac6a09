// kestar-host ports, in-process: on Linux a scratch sysfs tree and $KESTAR_DEVICES
// links (a pseudo-terminal named by a port line, one held by another descriptor, a
// USB adapter's tty, a link to nothing); under Wine the prefix's COM21 and COM22.
// Each row a request and a line the listing must hold, or must not.
#include "host-tool/installation.h"

#include "ports_command.h"
#include "support/program_run.h"
#include "support/terminal_device.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/file.h>
#endif

namespace kestar::testing {
namespace {

struct Case {
    bool empty;  // Linux: a sysfs and a devices folder with nothing in them
    bool json;
    bool open;
    int exit;
    bool listed;  // false: no line may match
    const char* line;
};

const Case kCases[] = {
#if defined(_WIN32)
    {false, false, false, 0, true, "OK COM21: *; no port line names it"},
    {false, false, false, 0, true, "OK COM22: *; PORT3 names it: start-up opens DRO (droPort) at 9600 N 8 1"},
    {false, false, true, 0, true, "OK COM21: *; opened at 9600 N 8 1 and closed again, nothing sent"},
    {false, true, false, 0, true, "{\"check\":\"COM22\",\"level\":\"OK\",*\"com\":22,*\"key\":\"PORT3\",\"role\":\"DRO\"*"},
    {false, false, true, 0, true, "WARN COM22: *; COM22 is held by another program (open in *; Windows refuses the open, Wine itself would open it) \xE2\x80\x94 close the program that uses COM22 before the host starts"},
#else
    {false, false, false, 0, true, "OK COM1: */com1 \xE2\x86\x92 /dev/pts/*; the arm's port: start-up opens the arm library on COM1"},
    {false, false, false, 0, true, "OK COM201: /dev/ttyS200; no port line names it"},
    {false, false, false, 0, false, "*ttyS1:*"},  // no driver
    {false, false, false, 0, false, "*ttyS2:*"},  // a driver, but UART type 0
    {false, false, false, 0, true, "OK COM2: */com2 \xE2\x86\x92 /dev/pts/*; PORT3 names it: start-up opens DRO (droPort) at 9600 N 8 1"},
    {false, false, false, 0, true, "OK COM3: */com3 \xE2\x86\x92 /dev/ttyUSB200 USB 0403:6001 'Maker' 'Adapter' serial 'A12345'; no port line names it"},
    {false, false, false, 0, true, "WARN COM4: */com4 \xE2\x86\x92 /dev/kestar-none; no port line names it; the device is not there \xE2\x80\x94 plug in the adapter, or correct the link */com4"},
    {false, false, false, 0, true, "WARN ttyACM0: /dev/ttyACM0 USB 2341:0043: no COM number reaches it * \xE2\x80\x94 link it as $KESTAR_DEVICES/comN (ln -s /dev/ttyACM0 *"},
    {false, false, true, 0, true, "WARN COM2: *; PORT3 names it: *; COM2 is held by another program \xE2\x80\x94 close the program that uses COM2 before the host starts"},
    {false, false, true, 0, true, "OK COM5: */com5 \xE2\x86\x92 /dev/pts/*; no port line names it; opened at 9600 N 8 1 and closed again, nothing sent"},
    {false, false, true, 0, true, "WARN COM201: *; cannot be opened: -14 \"No 8250\" \xE2\x80\x94 *"},
    {false, true, false, 0, true, "{\"check\":\"COM3\",\"level\":\"OK\",*\"vendorId\":\"0403\",\"productId\":\"6001\",*\"serial\":\"A12345\"*\"arm\":false,\"key\":null}"},
    {true, false, false, 1, true, "WARN ports: no serial port found \xE2\x80\x94 plug in the adapter, or link its device as $KESTAR_DEVICES/comN"},
#endif
};

class PortsCommand : public HostInstallation {
protected:
    ScratchFolder sys;
    ScratchFolder empty;
#if !defined(_WIN32)
    TerminalDevice terminal;

    void Folders(const std::string& path) {
        for (std::size_t at = sys.path().size(); at != std::string::npos; at = path.find('/', at + 1)) {
            MakeFolder(path.substr(0, at));
        }
        MakeFolder(path);  // already there for the second tty of a folder
    }

    // class/tty/<name> leads to the tty's folder below its device devices/<parent>.
    void Tty(const std::string& name, const std::string& parent, bool driver, const char* type = "4") {
        const std::string device = sys.Join("devices/" + parent);
        const std::string tty = device + "/tty/" + name;
        Folders(tty);
        Folders(sys.Join("class/tty"));
        Folders(sys.Join("bus/serial/drivers/port"));
        ASSERT_TRUE(WriteFileBytes(tty + "/type", std::string(type) + "\n"));
        ASSERT_EQ(::symlink(device.c_str(), (tty + "/device").c_str()), 0);
        if (driver) ASSERT_EQ(::symlink(sys.Join("bus/serial/drivers/port").c_str(), (device + "/driver").c_str()), 0);
        ASSERT_EQ(::symlink(tty.c_str(), sys.Join("class/tty/" + name).c_str()), 0);
    }

    void Usb(const std::string& folder, const char* vendor, const char* product, const char* maker, const char* name,
             const char* serial) {
        const std::pair<const char*, const char*> attributes[] = {
            {"idVendor", vendor}, {"idProduct", product}, {"manufacturer", maker}, {"product", name}, {"serial", serial}};
        for (const auto& [attribute, value] : attributes) {
            if (*value != '\0') ASSERT_TRUE(WriteFileBytes(sys.Join(folder + "/" + attribute), std::string(value) + "\n"));
        }
    }
#endif
};

TEST_F(PortsCommand, ListsEachPortWithItsDeviceLineAndHolder) {
#if defined(_WIN32)
    WritePortLine(3, "DRO 22 9600 N 8 1");
    const HANDLE held = CreateFileA("\\\\.\\COM22", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
#else
    WritePortLine(3, "DRO 2 9600 N 8 1");
    Tty("ttyS200", "pnp0/00:01", true);  // no such device here: --open must touch none of this machine's
    Tty("ttyS1", "platform/none", false);
    Tty("ttyS2", "platform/serial8250", true, "0");
    Tty("ttyUSB200", "usb1/1-1/1-1:1.0", true);
    Tty("ttyACM0", "usb1/1-2/1-2:1.0", true);
    Usb("devices/usb1/1-1", "0403", "6001", "Maker", "Adapter", "A12345");
    Usb("devices/usb1/1-2", "2341", "0043", "", "", "");
    terminal.Open(2);
    ASSERT_GE(terminal.Add(5), 0);
    ASSERT_GE(terminal.Add(1), 0);
    terminal.Link(3, "/dev/ttyUSB200");
    terminal.Link(4, "/dev/kestar-none");
    const int held = ::open((terminal.devices + "/com2").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);  // as another program holds it
#endif
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.line);
        kestar::tools::PortsRequest request;
        request.json = c.json;
        request.open = c.open;
        request.sysRoot = c.empty ? empty.path() : sys.path();
#if !defined(_WIN32)
        SetEnvironment("KESTAR_DEVICES", (c.empty ? empty.path() : terminal.devices).c_str());
#endif
        std::string out;
        EXPECT_EQ(kestar::tools::ListPorts(request, out), c.exit);
        bool shown = false;
        for (const std::string& line : Lines(out)) shown = shown || Matches(line, c.line);
        EXPECT_EQ(shown, c.listed) << out;
    }
#if defined(_WIN32)
    CloseHandle(held);
#else
    ::close(held);
    terminal.Close();
#endif
}

}  // namespace
}  // namespace kestar::testing
