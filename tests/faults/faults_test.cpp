// Faults injected through the platform seams into whole runs of the module
// (InitializeCommunications, the port manager's reads and writes, GetCommData,
// TerminateCommunications): each ends in a defined result, nothing hangs, nothing
// is left open, and no log line is lost.
#include "fakes/fake_arm.h"
#include "fakes/fake_uart.h"
#include "log/interface_log.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "serial/com_driver.h"
#include "serial/port_manager.h"
#include "settings/install_directory.h"
#include "settings/regkey.h"
#include "support/install_fixture.h"
#include "support/terminal_device.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

constexpr int kControllerCom = 2;

// The simulated UART's ClearCommError, counting down to the call at which the
// device vanishes: the driver asks for the queues once per character moved.
platform::SerialOps uartOps;
FakeComDevice* vanishing = nullptr;
int queriesBeforeVanishing = 0;
int queriesAfterVanishing = 0;

platform::Bool VanishingClearCommError(platform::Handle handle, std::uint32_t* errors, platform::ComStat* stat) {
    if (vanishing != nullptr && handle == vanishing) {
        if (vanishing->vanished) ++queriesAfterVanishing;
        else if (queriesBeforeVanishing-- == 0) vanishing->vanished = true;
    }
    return uartOps.ClearCommError(handle, errors, stat);
}

// A whole run over the simulated UART: the App Paths entry, a settings file with
// the controller on COM2 and five passed-over lines, and the fake arm.
class FaultRun : public InstallFixture {
protected:
    FakeUart uart;
    ScopedFakeArm arm;
    HostRecords records;

    void SetUp() override {
        InstallFixture::SetUp();
        records.Polls(50);  // time-outs stay short
        uart.Device(kControllerCom);
        WriteSettingsText(SettingsText("0", {"Controller 2 9600 N 8 1"}));
        vanishing = nullptr;
        queriesAfterVanishing = 0;
    }
    void TearDown() override {
        TerminateCommunications();
        serial::CloseAllPorts();
        InstallFixture::TearDown();
    }
    int Start() { return InitializeCommunications(&records.block(), 0, nullptr); }
    InterfaceBlock& block() { return records.block(); }
    FakeComDevice& controller() { return uart.Device(kControllerCom); }
    void Receive(const std::string& bytes) {
        for (unsigned char c : bytes) controller().received.push_back(c);
    }
};

// --- The serial device vanishing in the middle of a call ---------------------

class DeviceVanishing : public FaultRun {
protected:
    std::unique_ptr<platform::ScopedSerialOps> counting;
    void VanishAfter(int queries) {
        uartOps = platform::Serial();
        platform::SerialOps ops = uartOps;
        ops.ClearCommError = VanishingClearCommError;
        counting = std::make_unique<platform::ScopedSerialOps>(ops);
        vanishing = &controller();
        queriesBeforeVanishing = queries;
    }
    void TearDown() override {
        FaultRun::TearDown();
        EXPECT_EQ(uart.openHandles, 0) << "shut-down closes the device even after it vanished";
        counting.reset();
        vanishing = nullptr;
    }
};

TEST_F(DeviceVanishing, InTheMiddleOfAReadTheReadTimesOutKeepingWhatArrived) {
    ASSERT_EQ(Start(), 1) << block().errorText;
    Receive("AB rest of the line\n");
    VanishAfter(2);
    char buffer[kPortLineSize];
    EXPECT_EQ(ReadSlotLine(0, buffer), kReadTimedOut);
    EXPECT_EQ(block().errorCode, kReadTimedOut);
    EXPECT_STREQ(buffer, "AB");
    EXPECT_EQ(pendingLine.length, 2);
    // The query at which it vanished was the first empty poll; the time-out comes
    // after readRetryLimit + 1 of them.
    EXPECT_EQ(queriesAfterVanishing + 1, PortManagerStateInUse().readRetryLimit + 1) << "the time-out ends the polling of a vanished device";
}

TEST_F(DeviceVanishing, InTheMiddleOfAWriteTheWriteEndsWithBufferFullAndTheStatusStays) {
    ASSERT_EQ(Start(), 1) << block().errorText;
    VanishAfter(3);
    EXPECT_EQ(WriteSlotString(0, "HELLO\n"), serial::kBufferFull);
    EXPECT_EQ(block().errorCode, serial::kBufferFull);
    EXPECT_STREQ(block().errorText, "Buffer Full");
    EXPECT_EQ(std::string(controller().written.begin(), controller().written.end()), "HEL");
    char buffer[kPortLineSize];
    EXPECT_EQ(ReadSlotLine(0, buffer), serial::kBufferFull) << "the status left in the port ends the next read";
}

// --- Ports that cannot be had ----------------------------------------------------

TEST_F(FaultRun, APortHeldElsewhereEndsTheStartWithPortInUse) {
    controller().inUse = true;
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(block().errorCode, serial::kPortInUse);
    EXPECT_STREQ(block().errorText, "Port in Use");
    EXPECT_EQ(uart.openHandles, 0);
    EXPECT_EQ(TerminateCommunications(), 1);
}

TEST_F(FaultRun, ARefusedControlBlockEndsTheStartAndShutDownClosesTheDevice) {
    controller().refuseCommState = true;
    EXPECT_EQ(Start(), 0);
    EXPECT_LT(block().errorCode, 0);
    EXPECT_STREQ(block().errorText, serial::StatusMessage(block().errorCode));
    EXPECT_TRUE(controller().open) << "the device opened; only its settings were refused";
    EXPECT_EQ(TerminateCommunications(), 1);
    EXPECT_EQ(uart.openHandles, 0);
}

// Allocations of one size fail: the port object's or its driver data's.
std::size_t failingSize = 0;
int failedAllocations = 0;
void* FailingCalloc(std::size_t count, std::size_t size) {
    if (count * size == failingSize) {
        ++failedAllocations;
        return nullptr;
    }
    return std::calloc(count, size);
}

class NoMemory : public FaultRun, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(NoMemory, EndsTheStartWithOutOfMemoryAndTheFallbackPort) {
    failingSize = GetParam();
    failedAllocations = 0;
    platform::MemoryOps ops = platform::Memory();
    ops.calloc = FailingCalloc;
    {
        platform::ScopedMemoryOps scoped(ops);
        EXPECT_EQ(Start(), 0);
    }
    EXPECT_EQ(failedAllocations, 1);
    EXPECT_EQ(block().errorCode, serial::kOutOfMemory);
    EXPECT_STREQ(block().errorText, serial::StatusMessage(serial::kOutOfMemory));
    EXPECT_EQ(uart.openHandles, 0);
    EXPECT_EQ(TerminateCommunications(), 1);
    // The fallback port is shared and static: starting again works.
    EXPECT_EQ(Start(), 1) << block().errorText;
}

INSTANTIATE_TEST_SUITE_P(PortObjectAndDriverData, NoMemory,
                         ::testing::Values(sizeof(serial::Port), sizeof(serial::ComDriverData)));

// --- The interface log without its folder or with its file held --------------

TEST_F(FaultRun, AMissingLogFolderKeepsTheLinesUntilItAppears) {
    RemoveTree(install.Join("tolvo"));
    EXPECT_EQ(Start(), 0) << "no settings file, no PORT1";
    ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
    EXPECT_EQ(TerminateCommunications(), 1);
    const std::string log = LogFile();
    EXPECT_NE(log.find("Starting Interface DLL\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Cannot find 'PORT1'"), std::string::npos) << log;
    EXPECT_NE(log.find("Ending Interface DLL\r\n"), std::string::npos) << log;
}

TEST_F(FaultRun, ALogFileHeldElsewhereLosesNoLineOfARun) {
    const std::string path = install.Join("tolvo/TolvoInterface.log");
    ASSERT_TRUE(WriteFileBytes(path, "theirs\r\n"));
    platform::FileHandle held = platform::Files().OpenExclusive(path.c_str(), false);
    ASSERT_NE(held, platform::kInvalidFile);
    EXPECT_EQ(Start(), 1) << block().errorText;
    EXPECT_EQ(TerminateCommunications(), 1);
    platform::Files().Close(held);  // Windows lets no one read the file while it is held
    EXPECT_EQ(LogFile(), "theirs\r\n") << "a held file is neither emptied nor written";
    // The next run empties the file and writes the lines the first could not.
    EXPECT_EQ(Start(), 1) << block().errorText;
    EXPECT_EQ(TerminateCommunications(), 1);
    const std::string log = LogFile();
    std::size_t starts = 0, ends = 0;
    for (std::size_t at = 0; (at = log.find("Starting Interface DLL", at)) != std::string::npos; ++at) ++starts;
    for (std::size_t at = 0; (at = log.find("Ending Interface DLL", at)) != std::string::npos; ++at) ++ends;
    EXPECT_EQ(starts, 2u) << log;
    EXPECT_EQ(ends, 2u) << log;
    EXPECT_EQ(log.find("theirs"), std::string::npos) << log;
}

// --- The App Paths entry with a value of the wrong type --------------------------

class WrongPathType : public FaultRun, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(WrongPathType, GivesNoInstallDirectoryAndAStartThatFailsCleanly) {
    const std::string value = install.path();
    RegKey key(platform::kHkeyLocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tolvo6.exe", 1);
    ASSERT_EQ(key.Open(), 1);
    ASSERT_EQ(platform::Registry().SetValueEx(key.handle(), "Path", GetParam(),
                                              reinterpret_cast<const unsigned char*>(value.c_str()),
                                              static_cast<std::uint32_t>(value.size() + 1)),
              platform::kRegSuccess);
    key.Close();
    installDirectory = "left over";
    SetLogFolder(installDirectory);
    EXPECT_EQ(Start(), 0) << "without the install directory there is no settings file";
    EXPECT_EQ(installDirectory, "");
    EXPECT_EQ(TerminateCommunications(), 1);
    EXPECT_EQ(uart.openHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(BinaryDwordOrNone, WrongPathType,
                         ::testing::Values(platform::kRegBinary, platform::kRegDword, platform::kRegNone));

// --- The arm library missing, incomplete or failing ------------------------------

TEST_F(FaultRun, AMissingArmCallIsLoggedOnceAndReadingsEndInTheGuard) {
    platform::ArmLibrary partial = ScopedFakeArm::Calls();
    partial.LeggeQuota = nullptr;
    ScopedFakeArm incomplete{partial};
    ASSERT_EQ(Start(), 1) << block().errorText;
    block().command = C_READ_COORDS;
    EXPECT_EQ(GetCommData(&block()), 0);
    EXPECT_EQ(block().errorCode, 1001);
    EXPECT_STREQ(block().errorText, "Interface Error");
    block().command = C_HOME_CMM;
    EXPECT_EQ(GetCommData(&block()), 1) << "the calls that are there still work";
    EXPECT_EQ(TerminateCommunications(), 1);
    EXPECT_NE(LogFile().find("LeggeQuota"), std::string::npos) << LogFile();
}

int KESTAR_CALL ThrowingAprePorta(const char*) { throw std::runtime_error("no arm on COM1"); }
int KESTAR_CALL ThrowingLeggeParametri(char*) { throw 7; }

TEST_F(FaultRun, AnArmLibraryThatThrowsAtStartIsLoggedAndTheRunGoesOn) {
    platform::ArmLibrary throwing = ScopedFakeArm::Calls();
    throwing.AprePorta = ThrowingAprePorta;
    throwing.LeggeParametri = ThrowingLeggeParametri;
    ScopedFakeArm failing{throwing};
    ASSERT_EQ(Start(), 1) << block().errorText;
    block().command = C_READ_COORDS;
    EXPECT_EQ(GetCommData(&block()), 1);
    EXPECT_EQ(TerminateCommunications(), 1);
    const std::string log = LogFile();
    EXPECT_NE(log.find("arm library call AprePorta failed: no arm on COM1\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("arm library call LeggeParametri failed\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Ending Interface DLL"), std::string::npos) << log;
}

#if defined(_WIN32)
// A processor fault inside the arm library reaches the log with the exception's own
// code: a write through a null pointer is an access violation and an integer
// division by zero is one, not an illegal instruction or a floating-point fault.
int KESTAR_CALL AprePortaWritingThroughNull(const char*) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 1;
}
volatile int zero = 0;
int KESTAR_CALL AprePortaDividingByZero(const char*) { return 100 / zero; }

TEST_F(FaultRun, ProcessorFaultsInTheArmLibraryAtStartAreLoggedWithTheirExceptionCodes) {
    const struct {
        int(KESTAR_CALL* aprePorta)(const char*);
        const char* line;
    } faults[] = {
        {AprePortaWritingThroughNull, "arm library call AprePorta failed: system exception 0xC0000005 inside AprePorta\r\n"},
        {AprePortaDividingByZero, "arm library call AprePorta failed: system exception 0xC0000094 inside AprePorta\r\n"},
    };
    for (const auto& fault : faults) {
        platform::ArmLibrary faulting = ScopedFakeArm::Calls();
        faulting.AprePorta = fault.aprePorta;
        ScopedFakeArm failing{faulting};
        ASSERT_EQ(Start(), 1) << block().errorText;
        EXPECT_EQ(TerminateCommunications(), 1);
        const std::string log = LogFile();  // each start begins the log afresh
        EXPECT_NE(log.find(fault.line), std::string::npos) << log;
    }
}
#endif

#if !defined(_WIN32)
// --- A real device held by another process (Linux: the POSIX serial stand-in) ---

TEST(PortHeldByAnotherProcess, EndsTheOpenWithPortInUseAndTheHolderKeepsIt) {
    TerminalDevice device;
    device.Open(9);
    const std::string name = device.devices + "/com9";

    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int fd = open(name.c_str(), O_RDWR | O_NOCTTY);
        const char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        char ignored;
        (void)!read(release[0], &ignored, 1);
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 'y');

    HostRecords records;
    ScopedStoredBlock stored(&records.block());
    EXPECT_EQ(OpenPortSlot(0, "Controller 9 9600 N 8 1"), 0);
    EXPECT_EQ(records.block().errorCode, serial::kPortInUse);
    EXPECT_STREQ(records.block().errorText, "Port in Use");
    ClosePortSlots();

    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_EQ(OpenPortSlot(0, "Controller 9 9600 N 8 1"), 1) << "free again once the holder is gone";
    ClosePortSlots();
    device.Close();
    for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

// --- Registry store entries something else left (Linux: the POSIX store) -------

class ForeignStoreEntry : public ::testing::Test {
protected:
    ScratchRegistry registry;
    std::string folder;  // the key's folder in the store

    void SetUp() override {
        RegKey key(registry.root(), registry.base(), 1);
        ASSERT_EQ(key.Create(), 1);
        folder = platform::RegistryStoreFolder() + "/hkey_current_user";
        std::string path = registry.base();
        for (char& c : path) c = c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        folder += "/" + path;
        ASSERT_TRUE(FileExists(folder)) << folder;
    }
    // Every reader ends, and a value that is not a regular file is no value.
    void ExpectNoValue(const char* name) {
        RegKey key(registry.root(), registry.base(), 0);
        std::string text;
        EXPECT_EQ(key.ReadString(text, "default", name), 1);
        EXPECT_EQ(text, "default");
        std::int32_t number = 0;
        EXPECT_EQ(key.ReadInt(number, 9, name), 1);
        EXPECT_EQ(number, 9);
    }
};

TEST_F(ForeignStoreEntry, AFifoUnderAValueNameIsNoValueAndDoesNotBlock) {
    ASSERT_EQ(mkfifo((folder + "/=fifo").c_str(), 0644), 0);
    ExpectNoValue("fifo");
}

TEST_F(ForeignStoreEntry, ALinkToAnEndlessDeviceIsNoValueAndIsNotReadIntoMemory) {
    ASSERT_EQ(symlink("/dev/zero", (folder + "/=zero").c_str()), 0);
    ExpectNoValue("zero");
}

TEST_F(ForeignStoreEntry, AFolderUnderAValueNameIsNoValue) {
    ASSERT_TRUE(MakeFolder(folder + "/=dir"));
    ExpectNoValue("dir");
}

TEST_F(ForeignStoreEntry, AValueFileBeyondTheBoundIsRefusedNotRead) {
    const std::string path = folder + "/=huge";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(64u << 20)), 0);  // sparse: no disk taken
    close(fd);
    std::uint32_t type = 0, size = 0;
    RegKey key(registry.root(), registry.base(), 0);
    ASSERT_EQ(key.Open(), 1);
    EXPECT_EQ(platform::Registry().QueryValueEx(key.handle(), "huge", &type, nullptr, &size),
              platform::kRegOutOfMemory);
}

TEST_F(ForeignStoreEntry, AValueWithoutItsTypeWordIsNoValueAndAShortIntegerIsRefused) {
    ASSERT_TRUE(WriteFileBytes(folder + "/=half", std::string("\x01\x00", 2)));
    ExpectNoValue("half");
    ASSERT_TRUE(WriteFileBytes(folder + "/=short", std::string("\x03\x00\x00\x00\x2a\x00", 6)));
    RegKey key(registry.root(), registry.base(), 0);
    std::int32_t number = 0;
    EXPECT_EQ(key.ReadInt(number, 9, "short"), 0);
    EXPECT_EQ(number, 9);
}
#endif

}  // namespace
}  // namespace kestar::testing
