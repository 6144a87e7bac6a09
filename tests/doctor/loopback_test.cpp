// kestar-host doctor --loopback COMn, run as an integrator runs it, against a peer
// this test plays: one that echoes, one that changes a byte on the way back, and
// one that answers nothing.
//
// Linux: COMn links to a pseudo-terminal whose other side the test holds. Windows
// (under Wine): COMn is the module's side of ctest's pseudo-terminal pair and the
// test echoes on the pair's other port, as a null-modem cable to a second port would.
#include "serial/port_manager.h"
#include "support/program_run.h"
#include "support/install_fixture.h"
#include "support/terminal_device.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

constexpr long kChangedOffset = 100;  // the byte the changing peer alters

enum class Peer { kEcho, kChangeOneByte, kSilent };

// The far end: echoes what arrives (or keeps silent) until stopped.
class PeerEnd {
public:
    ~PeerEnd() { Stop(); }
#if defined(_WIN32)
    bool Start(Peer peer, int com) {
        if (peer == Peer::kSilent) return true;
        const std::string name = "\\\\.\\COM" + std::to_string(com);
        handle_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) return false;
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 20, 0, 0};  // a read returns what came within 20 ms
        SetCommTimeouts(handle_, &timeouts);
        PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);  // bytes earlier tests left on the pair
        thread_ = std::thread([this, peer] {
            unsigned char buffer[512];
            long offset = 0;
            while (!stop_) {
                DWORD got = 0;
                if (!ReadFile(handle_, buffer, sizeof buffer, &got, nullptr) || got == 0) continue;
                Change(peer, buffer, got, offset);
                DWORD put = 0;
                WriteFile(handle_, buffer, got, &put, nullptr);
            }
        });
        return true;
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
#else
    // fd is the pseudo-terminal's other side, which the test holds.
    bool Start(Peer peer, int fd) {
        if (peer == Peer::kSilent) return true;
        thread_ = std::thread([this, peer, fd] {
            unsigned char buffer[512];
            long offset = 0;
            while (!stop_) {
                pollfd ready{fd, POLLIN, 0};
                if (poll(&ready, 1, 20) <= 0) continue;
                const ssize_t got = read(fd, buffer, sizeof buffer);
                if (got <= 0) continue;
                Change(peer, buffer, static_cast<std::size_t>(got), offset);
                for (ssize_t put = 0; put < got && !stop_;) {
                    const ssize_t n = write(fd, buffer + put, static_cast<std::size_t>(got - put));
                    if (n > 0) put += n;
                }
            }
        });
        return true;
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
#endif

private:
    static void Change(Peer peer, unsigned char* bytes, std::size_t count, long& offset) {
        if (peer == Peer::kChangeOneByte && offset <= kChangedOffset && kChangedOffset < offset + static_cast<long>(count))
            bytes[kChangedOffset - offset] ^= 0x5A;
        offset += static_cast<long>(count);
    }
    std::thread thread_;
    std::atomic<bool> stop_{false};
#if defined(_WIN32)
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#endif
};

struct Case {
    const char* name;
    Peer peer;
    bool portLine;  // a port line names the COM port (19200 baud), else the defaults
    int exitCode;
    const char* received;  // levels of the findings
    const char* mismatch;
};

const Case kCases[] = {
    {"echo, with the port line's settings", Peer::kEcho, true, 0, "OK", "OK"},
    {"echo, no port line: the port lines' defaults", Peer::kEcho, false, 0, "OK", "OK"},
    {"a byte changed on the way back", Peer::kChangeOneByte, true, 1, "OK", "FAIL"},
    {"a device that answers nothing", Peer::kSilent, true, 1, "FAIL", "OK"},
};

class Loopback : public InstallFixture {
protected:
    int com = 0;
    int peerCom = 0;
#if !defined(_WIN32)
    TerminalDevice device;  // COM7
#endif

    void SetUp() override {
        InstallFixture::SetUp();
#if defined(_WIN32)
        ASSERT_TRUE(SerialPair(com, peerCom)) << kNoSerialPair;
#else
        com = 7;
        device.Open(com);
        SetEnvironment("KESTAR_INSTALL_DIR", nullptr);
#endif
    }
    void TearDown() override {
        InstallFixture::TearDown();
#if !defined(_WIN32)
        device.Close();
#endif
    }
    bool StartPeer(PeerEnd& peer, Peer kind) {
#if defined(_WIN32)
        return peer.Start(kind, peerCom);
#else
        return peer.Start(kind, device.master);
#endif
    }
};

TEST_F(Loopback, ReportsWhatCameBackFromEachKindOfPeer) {
    const PortLine defaults = ScanPortLine("");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string settings = "[Parameters]\r\nCreateLogFile=0\r\n";
        if (c.portLine) settings += "PORT1=Probe " + std::to_string(com) + " 19200 N 8 1\r\n";
        ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/vodrane.ini"), settings));
        const std::string log = install.Join("tolvo/TolvoInterface.log");
        PeerEnd peer;
        ASSERT_TRUE(StartPeer(peer, c.peer));
        const ProgramRun run =
            RunProgram(BuiltToolPath("kestar-host"), {"doctor", "--json", "--loopback", "COM" + std::to_string(com)});
        peer.Stop();

        EXPECT_EQ(run.exitCode, c.exitCode) << run.out;
        const std::string line = JsonCheck(run.out, "line settings");
        EXPECT_EQ(JsonMember(line, "baud"), c.portLine ? "19200" : std::to_string(defaults.baudRate)) << run.out;
        EXPECT_EQ(JsonMember(line, "key"), c.portLine ? "PORT1" : "null");
        const std::string sent = JsonCheck(run.out, "sent");
        const std::string received = JsonCheck(run.out, "received");
        EXPECT_EQ(JsonMember(sent, "bytes"), JsonMember(sent, "pattern")) << run.out;
        EXPECT_EQ(JsonMember(received, "level"), c.received) << run.out;
        EXPECT_EQ(JsonMember(received, "bytes"), c.peer == Peer::kSilent ? "0" : JsonMember(sent, "pattern"));
        const std::string mismatch = JsonCheck(run.out, "first mismatch");
        EXPECT_EQ(JsonMember(mismatch, "level"), c.mismatch) << run.out;
        EXPECT_EQ(JsonMember(mismatch, "offset"),
                  c.peer == Peer::kChangeOneByte ? std::to_string(kChangedOffset) : std::string("null"));
        EXPECT_EQ(JsonMember(JsonCheck(run.out, "line errors"), "level"), "OK");
        EXPECT_EQ(JsonMember(JsonCheck(run.out, "verdict"), "level"), c.exitCode == 0 ? "OK" : "FAIL");
        EXPECT_FALSE(FileExists(log)) << "the loopback writes no log";
    }
}

TEST_F(Loopback, APortThatCannotBeOpenedIsReportedWithTheModulesStatus) {
    const ProgramRun run = RunProgram(BuiltToolPath("kestar-host"), {"doctor", "--json", "--loopback", "COM39"});
    EXPECT_EQ(run.exitCode, 1);
    const std::string port = JsonCheck(run.out, "port");
    EXPECT_EQ(JsonMember(port, "level"), "FAIL") << run.out;
    EXPECT_EQ(JsonMember(port, "status"), std::to_string(serial::kNo8250));
    EXPECT_EQ(JsonCheck(run.out, "sent"), "") << "nothing is sent to a port that did not open";
}

}  // namespace
}  // namespace kestar::testing
