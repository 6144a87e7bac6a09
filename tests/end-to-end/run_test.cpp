// Whole runs of the module with the real platform services: the App Paths entry in
// the registry (Wine's registry, or the POSIX store in a scratch folder), a real
// settings file and log file, and a COM port on a pseudo-terminal with a peer.
//
// Linux: the test makes the pseudo-terminal itself and links $KESTAR_DEVICES/comN
// to it. Windows: ctest's fixture links COM21 and COM22 to two joined
// pseudo-terminals ($KESTAR_SERIAL_PAIR); the module opens the first, the test's
// peer the second.
#include "fakes/fake_arm.h"
#include "host/callback_pump.h"
#include "log/interface_log.h"
#include "platform/system.h"
#include "serial/com_driver.h"
#include "serial/port_manager.h"
#include "settings/install_directory.h"
#include "settings/settings_file.h"
#include "support/install_fixture.h"
#include "support/terminal_device.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

// The far end of the module's COM port.
class SerialPeer {
public:
    // Prepares a COM port for the module; comNumber receives its number.
    bool Prepare(int& comNumber, std::string& problem) {
#if defined(_WIN32)
        int peerNumber = 0;
        if (!SerialPair(comNumber, peerNumber)) {
            problem = kNoSerialPair;
            return false;
        }
        peer_ = serial::CreateComPort(peerNumber - 1, 9600, 'N', 8, 1);
        if (peer_->status != 0) {
            problem = std::string("peer port: ") + serial::StatusMessage(peer_->status);
            return false;
        }
        char drain[256];
        while (peer_->ops.Read(peer_, drain, sizeof drain) == 0) {
        }
        return true;
#else
        comNumber = 7;
        device_.Open(comNumber);
        master_ = device_.master;
        if (master_ < 0) problem = "no pseudo-terminal";
        return master_ >= 0;
#endif
    }
    ~SerialPeer() {
#if defined(_WIN32)
        if (peer_ != nullptr) peer_->ops.Close(peer_);
#else
        device_.Close();
#endif
    }
    void Send(const std::string& bytes) {
#if defined(_WIN32)
        peer_->ops.Write(peer_, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
#else
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
#endif
        platform::System().Sleep(50);  // let the bytes cross the pseudo-terminal
    }
    std::string Receive(std::size_t wanted) {
        std::string text;
        char buffer[128];
        for (int i = 0; i < 200 && text.size() < wanted; ++i) {
#if defined(_WIN32)
            if (peer_->ops.Read(peer_, buffer, sizeof buffer) == 0) {
                text.append(buffer, peer_->transferCount);
                continue;
            }
#else
            const ssize_t got = read(master_, buffer, sizeof buffer);
            if (got > 0) {
                text.append(buffer, static_cast<std::size_t>(got));
                continue;
            }
#endif
            platform::System().Sleep(10);
        }
        return text;
    }

private:
#if defined(_WIN32)
    serial::Port* peer_ = nullptr;
#else
    int master_ = -1;
    TerminalDevice device_;
#endif
};

class WholeRun : public InstallFixture {
protected:
    SerialPeer peer;
    ScopedFakeArm arm;
    HostRecords records;
    int com = 0;

    void SetUp() override {
        std::string problem;
        ASSERT_TRUE(peer.Prepare(com, problem)) << problem;
        InstallFixture::SetUp();
        records.Polls(0);
    }
    void TearDown() override {
        TerminateCommunications();
        InstallFixture::TearDown();
    }
    std::string Port(const char* role, const char* settings = "9600 N 8 1") {
        return std::string(role) + " " + std::to_string(com) + " " + settings;
    }
    void WriteSettings(const std::string& echo, const std::vector<std::string>& ports) {
        std::string text = "[Parameters]\r\nCreateLogFile=" + echo + "\r\n";
        for (std::size_t i = 0; i < ports.size(); ++i) text += "PORT" + std::to_string(i + 1) + "=" + ports[i] + "\r\n";
        ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/vodrane.ini"), text));
    }
    std::vector<std::string> PassedOver(int from) {
        std::vector<std::string> lines;
        for (int n = from; n <= 6; ++n) lines.push_back("Spare -1");
        return lines;
    }
    std::vector<std::string> WithController(const std::string& controller) {
        std::vector<std::string> lines = {controller};
        for (const std::string& line : PassedOver(2)) lines.push_back(line);
        return lines;
    }
    std::string LogFile() { return ReadFileBytes(install.Join("tolvo/TolvoInterface.log")); }
    int Start() { return InitializeCommunications(&records.block(), 12345, nullptr); }
};

TEST_F(WholeRun, PlainRunLeavesATwoLineLog) {
    WriteSettings("0", WithController(Port("Controller")));
    ASSERT_EQ(Start(), 1) << records.block().errorText;
    EXPECT_EQ(installDirectory, install.path());
    EXPECT_EQ(LogFile(), "") << "the log stays empty on disk during the run";
    EXPECT_EQ(records.block().controllerPort, 0);
    EXPECT_EQ(records.machine().pollLimit, 20000);
    EXPECT_EQ(PortManagerStateInUse().readRetryLimit, 20000);
    EXPECT_STREQ(records.machine().machineName, "VASK Manual Arm");
    EXPECT_EQ(arm.state().lastPortName, "COM1");
    EXPECT_EQ(arm.state().lastTablePath, "C:\\ZUROZ\\M022_5C_2.TAB");
    ASSERT_EQ(TerminateCommunications(), 1);
    const std::regex twoLines("<\\d{1,2}:\\d{1,2}:\\d\\d>   Starting Interface DLL\r\n"
                              "<\\d{1,2}:\\d{1,2}:\\d\\d>   Ending Interface DLL\r\n");
    EXPECT_TRUE(std::regex_match(LogFile(), twoLines)) << LogFile();
    EXPECT_EQ(arm.state().chiudePortaCalls, 1);
}

TEST_F(WholeRun, MissingPort6FailsTheStartWithEarlierPortsOpen) {
    std::vector<std::string> lines = WithController(Port("Controller"));
    lines.pop_back();
    WriteSettings("0", lines);
    records.block().errorCode = 0;
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(records.block().errorCode, 0) << "a missing key is no port error";
    EXPECT_EQ(WriteSlotString(0, "still open\n"), 0);
    EXPECT_EQ(peer.Receive(10), "still open");
    EXPECT_EQ(arm.state().aprePortaCalls, 1);
    ASSERT_EQ(TerminateCommunications(), 1);
    const std::string log = LogFile();
    EXPECT_NE(log.find("Starting Interface DLL\r\n"), std::string::npos);
    EXPECT_NE(log.find("Cannot find 'PORT6' in '" + SettingsFilePath() + "'\r\n"), std::string::npos);
    EXPECT_NE(log.find("Ending Interface DLL\r\n"), std::string::npos);
}

TEST_F(WholeRun, RefusedParityEndsTheStartBeforeTheNextKey) {
    WriteSettings("1", WithController(Port("Controller", "9600 X 8 1")));
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(records.block().errorCode, -26);
    EXPECT_STREQ(records.block().errorText, "Illegal Parity");
    TerminateCommunications();
    const std::string log = LogFile();
    EXPECT_NE(log.find("PORT1 = " + Port("Controller", "9600 X 8 1")), std::string::npos);
    EXPECT_EQ(log.find("PORT2"), std::string::npos) << "no later key is read";
}

TEST_F(WholeRun, LinesGoBothWaysAndATimedOutReadKeepsItsPart) {
    WriteSettings("0", WithController(Port("Controller")));
    records.machine().pollLimit = 3000;
    ASSERT_EQ(Start(), 1) << records.block().errorText;
    EXPECT_EQ(PortManagerStateInUse().readRetryLimit, 3000);
    char line[kPortLineSize];
    peer.Send("HELLO\n");
    ASSERT_EQ(ReadSlotLine(0, line), 0);
    EXPECT_STREQ(line, "HELLO\n");
    EXPECT_EQ(records.block().lineDone, 1);
    EXPECT_EQ(WriteSlotString(0, "PING\nignored"), 0);
    EXPECT_EQ(peer.Receive(4), "PING");
    peer.Send("AB");
    EXPECT_EQ(ReadSlotLine(0, line), -99);
    EXPECT_EQ(records.block().errorCode, -99);
    peer.Send("C\n");
    ASSERT_EQ(ReadSlotLine(0, line), 0);
    EXPECT_STREQ(line, "ABC\n");
}

TEST_F(WholeRun, RestartAfterAFailedStartFindsThePortFree) {
    WriteSettings("0", WithController(Port("Controller", "9600 N 8 3")));
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(records.block().errorCode, -28);
    ASSERT_EQ(TerminateCommunications(), 1);
    WriteSettings("0", WithController(Port("Controller")));
    ASSERT_EQ(Start(), 1) << records.block().errorText;
    peer.Send("again\n");
    char line[kPortLineSize];
    ASSERT_EQ(ReadSlotLine(0, line), 0);
    EXPECT_STREQ(line, "again\n");
}

int LivePortCount() {
    int live = 0;
    for (serial::Port* port = serial::LivePorts(); port != nullptr; port = port->next) ++live;
    return live;
}

TEST_F(WholeRun, StartingTwiceHoldsNoPortTwice) {
    WriteSettings("0", WithController(Port("Controller")));
    const int before = LivePortCount();  // the peer's own port, where the peer is a COM port
    ASSERT_EQ(Start(), 1);
    ASSERT_EQ(Start(), 1) << records.block().errorText;
    EXPECT_EQ(LivePortCount(), before + 1);
}

TEST_F(WholeRun, MissingArmLibraryIsOneLogLineAndReadingsEndInTheGuard) {
    ScopedFakeArm noArm{platform::ArmLibrary{}};
    WriteSettings("0", WithController(Port("Controller")));
    ASSERT_EQ(Start(), 1) << "the arm does not decide the start";
    records.block().command = C_READ_COORDS;
    EXPECT_EQ(GetCommData(&records.block()), 0);
    EXPECT_EQ(records.block().errorCode, 1001);
    EXPECT_STREQ(records.block().errorText, "Interface Error");
    records.block().command = C_INITIALIZE_INTERFACE;
    EXPECT_EQ(GetCommData(&records.block()), 1);
    ASSERT_EQ(TerminateCommunications(), 1);
    const std::string log = LogFile();
    std::size_t lines = 0, armLines = 0;
    for (std::size_t at = 0; (at = log.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    for (std::size_t at = 0; (at = log.find("arm library", at)) != std::string::npos; ++at) ++armLines;
    EXPECT_EQ(armLines, 1u) << log;
    EXPECT_EQ(lines, 3u) << log;
}

std::atomic<int> hostCallbacks{0};
int KESTAR_CALL CountingHostCallback(InterfaceBlock*, PointList*) {
    ++hostCallbacks;
    return 1;
}

TEST_F(WholeRun, NoCallbackRunsOnceShutDownHasReturned) {
    WriteSettings("0", WithController(Port("Controller")));
    ASSERT_EQ(InitializeCommunications(&records.block(), 0, CountingHostCallback), 1);
    hostCallbacks = 0;
    ASSERT_NE(StartCallbackPump(), nullptr);
    while (hostCallbacks < 2) platform::System().Sleep(10);
    ASSERT_EQ(TerminateCommunications(), 1);
    EXPECT_FALSE(callbacksRunning);
    const int atReturn = hostCallbacks;
    platform::System().Sleep(350);
    EXPECT_EQ(hostCallbacks, atReturn);
}

TEST(ShutDownWithoutStart, ReturnsOneAfterItsWait) {
    const std::uint32_t before = platform::System().GetTickCount();
    EXPECT_EQ(TerminateCommunications(), 1);
    EXPECT_GE(platform::System().GetTickCount() - before, 90u);
}

}  // namespace
}  // namespace kestar::testing
