// The built module unloaded (FreeLibrary / dlclose) while its ports are still open
// and TerminateCommunications was never called: the port layer closes them on its
// way out, so their devices are free again and the unload returns.
//
// Linux: the module's port is the test's own pseudo-terminal; once the module is
// gone the terminal's other side sees the hang-up and the device opens again,
// exclusively. Windows (under Wine, which never refuses a second open): the port is
// COM23, whose other side notes when its last user has closed it (pty_pair.sh,
// $KESTAR_SERIAL_WATCH).
#include "loaded_module.h"
#include "platform/system.h"
#include "serial/com_driver.h"
#include "serial/port.h"
#include "support/install_fixture.h"
#include "support/terminal_device.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

using tools::LoadedModule;

class Unload : public InstallFixture {
protected:
    void SetUp() override {
        InstallFixture::SetUp();
#if !defined(_WIN32)
        SetEnvironment("KESTAR_ARM_LIBRARY", BuiltArmSimulatorPath().c_str());
#endif
    }
    void WriteSettings(int com) { WriteSettingsText(SettingsText("0", {"Controller " + std::to_string(com) + " 9600 N 8 1"})); }
    // Loads the module and starts it up with its port open.
    void StartModule() {
        module = std::make_unique<LoadedModule>(BuiltModulePath());
        ASSERT_TRUE(module->loaded()) << module->error();
        ASSERT_EQ(module->initializeCommunications(&records.block(), 0, nullptr), 1) << records.block().errorText;
    }

    HostRecords records;
    std::unique_ptr<LoadedModule> module;
};

#if !defined(_WIN32)

bool PeerSeesHangUp(int master) {
    pollfd ready{master, POLLIN, 0};
    return poll(&ready, 1, 0) == 1 && (ready.revents & POLLHUP) != 0;
}

TEST_F(Unload, UnloadingWithPortsOpenReleasesTheirDevices) {
    TerminalDevice device;
    device.Open(7);
    const int master = device.master;
    WriteSettings(7);
    StartModule();

    serial::Port* meanwhile = serial::CreateComPort(6, 9600, 'N', 8, 1);
    EXPECT_EQ(meanwhile->status, serial::kPortInUse) << "the module holds the device";
    meanwhile->ops.Close(meanwhile);
    EXPECT_FALSE(PeerSeesHangUp(master));

    module.reset();  // dlclose, no TerminateCommunications

    EXPECT_TRUE(PeerSeesHangUp(master)) << "the module's port was closed at unload";
    serial::Port* again = serial::CreateComPort(6, 9600, 'N', 8, 1);
    EXPECT_EQ(again->status, 0) << serial::StatusMessage(again->status);
    serial::Port* second = serial::CreateComPort(6, 9600, 'N', 8, 1);
    EXPECT_EQ(second->status, serial::kPortInUse) << "and it is held exclusively again";
    serial::CloseAllPorts();
    device.Close();
}

#else  // Windows, under Wine

// A file of the Linux side, through Wine's drive Z:.
bool LinuxFileExists(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows) {
        if (c == '/') c = '\\';
    }
    return FileExists(windows);
}

bool WaitForLinuxFile(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        if (LinuxFileExists(path)) return true;
        platform::System().Sleep(10);
    }
    return false;
}

TEST_F(Unload, UnloadingWithPortsOpenReleasesTheirDevices) {
    const char* watch = std::getenv("KESTAR_SERIAL_WATCH");
    if (watch == nullptr) GTEST_SKIP() << "KESTAR_SERIAL_WATCH not set (ctest's pseudo-terminal fixture sets it)";
    int com = 0;
    char folder[1024] = {};
    ASSERT_EQ(std::sscanf(watch, "%d:%1023s", &com, folder), 2);
    const std::string opened = std::string(folder) + "/ptyC.opened";
    const std::string closed = std::string(folder) + "/ptyC.closed";
    ASSERT_FALSE(LinuxFileExists(closed)) << "COM23 serves one test run only";
    WriteSettings(com);
    StartModule();
    ASSERT_TRUE(WaitForLinuxFile(opened)) << "the module opened COM" << com;
    EXPECT_FALSE(LinuxFileExists(closed));

    module.reset();  // FreeLibrary, no TerminateCommunications

    EXPECT_TRUE(WaitForLinuxFile(closed)) << "the device was closed when the module was unloaded";
}

#endif

}  // namespace
}  // namespace kestar::testing
