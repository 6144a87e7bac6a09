// The loopback self-test runs on the module's own port layer (CreateComPort, the
// COM driver's Write, Read, RxCount and LineStatus), so what it sees is what the
// module sees of the port; only the pacing and the clock are the tool's own.
#include "doctor_loopback.h"

#include "host_commands.h"

#include "platform/profile.h"
#include "platform/serial.h"
#include "serial/com_driver.h"
#include "serial/port.h"
#include "serial/port_manager.h"
#include "settings/install_directory.h"
#include "settings/settings_file.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestar::tools {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDash = " \xE2\x80\x94 ";  // " — "
constexpr int kPortKeys = 6;
// The pattern lasts about half a second on the line, within these sizes.
constexpr std::uint32_t kPatternMin = 64;
constexpr std::uint32_t kPatternMax = 4096;
// Silence after which a device counts as answering nothing more: this much, plus
// twenty characters' time on the line.
constexpr long kQuietMs = 1000;
constexpr long kPollMs = 1;
constexpr std::uint32_t kStaleLimit = 16 * kPatternMax;

enum class Level { kOk, kWarn, kFail };

const char* LevelName(Level level) { return level == Level::kOk ? "OK" : level == Level::kWarn ? "WARN" : "FAIL"; }

struct Finding {
    Level level;
    std::string name;
    std::string found;
    std::string todo;
    std::vector<std::pair<std::string, std::string>> fields;  // JSON members, values already JSON
};

const struct {
    std::uint32_t bit;
    const char* name;
} kLineErrors[] = {
    {platform::kCeFrame, "framing"},   {platform::kCeRxParity, "parity"},
    {platform::kCeOverrun, "overrun"}, {platform::kCeRxOver, "receive queue overflow"},
    {platform::kCeBreak, "break"},     {platform::kCeTxFull, "transmit queue full"},
    {platform::kCeMode, "mode"},
};

std::string Hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

long Ms(Clock::duration d) { return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); }

class Loopback {
public:
    explicit Loopback(const LoopbackOptions& options) : options_(options) { findings_.reserve(16); }

    int Run() {
        const LineChoice choice = ChooseLine(options_.comNumber);
        const ComRequest& r = choice.request;
        com_ = "COM" + std::to_string(options_.comNumber);
        const std::string settings = std::to_string(r.baudRate) + " " + std::string(1, r.parity) + " " +
                                     std::to_string(r.dataBits) + " " + std::to_string(r.stopBits);
        Finding& line = Add(Level::kOk, "line settings",
                            com_ + " at " + settings +
                                (choice.key.empty() ? " (no port line names " + com_ + ": the port lines' defaults)"
                                                    : " from " + choice.key + " ('" + choice.line + "')"));
        line.fields = {{"com", std::to_string(options_.comNumber)}, {"baud", std::to_string(r.baudRate)},
                       {"parity", JsonString(std::string(1, r.parity))}, {"dataBits", std::to_string(r.dataBits)},
                       {"stopBits", std::to_string(r.stopBits)},
                       {"key", choice.key.empty() ? "null" : JsonString(choice.key)}};

        serial::Port* port = OpenLinePort(r);
        if (port->status != serial::kStatusOk) {
            const std::int32_t status = port->status;
            port->ops.Close(port);
            const std::string found = com_ + " cannot be opened with these settings: " + std::to_string(status) +
                                      " \"" + serial::StatusMessage(status) + "\"";
            const std::string todo = "check that " + com_ + " exists and no other program holds it, and the line settings";
            Add(Level::kFail, "port", found, todo).fields = {{"status", std::to_string(status)}};
            return Verdict(Level::kFail, com_ + " was not tested: " + found, todo);
        }
        Add(Level::kOk, "port", com_ + " opened through the module's port layer");
        const int result = Exchange(port, r);
        port->ops.Close(port);
        return result;
    }

private:
    Finding& Add(Level level, const std::string& name, const std::string& found, const std::string& todo = "") {
        findings_.push_back(Finding{level, name, found, todo, {}});
        return findings_.back();
    }

    static serial::ComDriverData* Data(serial::Port* port) {
        return static_cast<serial::ComDriverData*>(port->driverData);
    }

    // The line's pace: bits a character, the rate, and the pattern's size and byte mask.
    struct LinePace {
        int bitsPerChar;
        long rate;
        std::uint32_t size;
        unsigned mask;
    };
    static LinePace Pace(const ComRequest& r) {
        const int parityBits = (r.parity == 'N' || r.parity == 'n') ? 0 : 1;
        const int bitsPerChar = 1 + r.dataBits + parityBits + (r.stopBits == 2 ? 2 : 1);
        const long rate = r.baudRate > 0 ? r.baudRate : 1;
        const std::uint32_t size = std::clamp<std::uint32_t>(static_cast<std::uint32_t>(rate / bitsPerChar / 2),
                                                             kPatternMin, kPatternMax);
        const unsigned mask = r.dataBits >= 8 ? 0xFFu : (1u << r.dataBits) - 1u;
        return LinePace{bitsPerChar, rate, size, mask};
    }

    // What one exchange moved, and when.
    struct Transfer {
        std::vector<unsigned char> received;
        std::uint32_t sent = 0;
        int writes = 0;
        int pended = 0;
        long longestPendMs = 0;
        bool pending = false;
        Clock::time_point start;
        Clock::time_point lastByte;
    };

    int Exchange(serial::Port* port, const ComRequest& r) {
        std::vector<unsigned char> scratch(std::size_t{kPatternMax} * 2);
        const std::uint32_t stale = SetStaleBytesAside(port, scratch);
        const LinePace pace = Pace(r);
        // The port keeps the handshake its device was left with, as at start-up.
        const platform::Dcb& dcb = Data(port)->dcb;
        const bool xonXoff = ReportHandshake(dcb);
        const std::vector<unsigned char> pattern = Pattern(pace, dcb, xonXoff);

        const long charMicros = 1000000L * pace.bitsPerChar / pace.rate;
        const long quietMs = kQuietMs + 20 * charMicros / 1000;
        const long boundMs =
            2 * static_cast<long>((static_cast<long long>(pace.size) * charMicros) / 1000) + 2 * quietMs;
        Transfer t = Transmit(port, pattern, scratch, quietMs, boundMs);
        const long elapsedMs = Ms(Clock::now() - t.start);
        serial::ComDriverData* data = Data(port);
        port->ops.LineStatus(port);  // gathers the last error word
        const std::uint32_t lineErrors = data->lineErrors;

        Report(pace.size, t.sent, t.received, pattern, stale, elapsedMs, quietMs);
        ReportLineErrors(lineErrors);
        ReportRate(t.received.size(), pace.bitsPerChar, pace.rate,
                   std::chrono::duration_cast<std::chrono::microseconds>(t.lastByte - t.start).count());
        ReportWrites(t.writes, t.pended, t.longestPendMs, t.pending);
        return Conclude(pace.size, t.received, pattern, lineErrors);
    }

    // Whatever waited in the receive queue before the test is not part of it; a
    // device that never stops sending is not waited out. The bytes set aside.
    static std::uint32_t SetStaleBytesAside(serial::Port* port, std::vector<unsigned char>& scratch) {
        std::uint32_t stale = 0;
        while (stale < kStaleLimit && port->ops.RxCount(port) > 0 &&
               port->ops.Read(port, scratch.data(), kPatternMax) == serial::kStatusOk && port->transferCount > 0)
            stale += port->transferCount;
        port->ops.ClearLineErrors(port);
        return stale;
    }

    // The handshake finding; true with XON/XOFF on, whose two control characters
    // are not data and stay out of the pattern.
    bool ReportHandshake(const platform::Dcb& dcb) {
        const bool xonXoff = dcb.fOutX || dcb.fInX;
        std::string handshake = xonXoff ? "XON/XOFF" : "";
        if (dcb.fOutxCtsFlow) handshake += std::string(handshake.empty() ? "" : ", ") + "RTS/CTS";
        if (dcb.fOutxDsrFlow) handshake += std::string(handshake.empty() ? "" : ", ") + "DTR/DSR";
        Add(Level::kOk, "handshake",
            handshake.empty() ? "none (as the device was left)"
                              : handshake + " (as the device was left)" +
                                    (xonXoff ? "; the pattern leaves out " + Hex(static_cast<unsigned char>(dcb.XonChar)) +
                                                   " and " + Hex(static_cast<unsigned char>(dcb.XoffChar))
                                             : std::string()))
            .fields = {{"xonXoff", xonXoff ? "true" : "false"}};
        return xonXoff;
    }

    // Every byte value in turn, shifted by one at each round, so that a byte lost
    // or doubled shows at once.
    static std::vector<unsigned char> Pattern(const LinePace& pace, const platform::Dcb& dcb, bool xonXoff) {
        std::vector<unsigned char> pattern;
        pattern.reserve(pace.size);
        for (std::uint32_t i = 0; pattern.size() < pace.size; ++i) {
            const unsigned char byte = static_cast<unsigned char>((i + i / 256) & pace.mask);
            if (xonXoff && (byte == static_cast<unsigned char>(dcb.XonChar) ||
                            byte == static_cast<unsigned char>(dcb.XoffChar)))
                continue;
            pattern.push_back(byte);
        }
        return pattern;
    }

    // Writes the pattern and reads what comes back, until all is back, the line
    // is quiet for quietMs, or boundMs have passed.
    static Transfer Transmit(serial::Port* port, const std::vector<unsigned char>& pattern,
                             std::vector<unsigned char>& scratch, long quietMs, long boundMs) {
        const auto size = static_cast<std::uint32_t>(pattern.size());
        Transfer t;
        t.received.reserve(std::size_t{size} * 2);
        Clock::time_point pendStart;
        t.start = Clock::now();
        Clock::time_point lastProgress = t.start;
        t.lastByte = t.start;
        serial::ComDriverData* data = Data(port);
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (t.sent < size) {
                const std::uint32_t heldBefore = data->heldWriteCount;
                const std::int32_t status = port->ops.Write(port, pattern.data() + t.sent, size - t.sent);
                if (port->transferCount > 0) {
                    ++t.writes;
                    t.sent += port->transferCount;
                    lastProgress = now;
                    if (data->heldWriteCount > heldBefore) ++t.pended;
                } else if (status != serial::kStatusOk && status != serial::kBufferFull) {
                    break;
                }
            }
            const std::int32_t waiting = port->ops.RxCount(port);
            if (waiting > 0 && port->ops.Read(port, scratch.data(), static_cast<std::uint32_t>(waiting)) ==
                                   serial::kStatusOk && port->transferCount > 0) {
                t.received.insert(t.received.end(), scratch.begin(), scratch.begin() + port->transferCount);
                lastProgress = t.lastByte = Clock::now();
            }
            if (data->heldWriteCount > 0 && !t.pending) {
                t.pending = true;
                pendStart = now;
            } else if (data->heldWriteCount == 0 && t.pending) {
                t.pending = false;
                t.longestPendMs = std::max(t.longestPendMs, Ms(now - pendStart));
            }
            if (t.sent >= size && t.received.size() >= size && !t.pending) break;
            if (Ms(now - lastProgress) > quietMs || Ms(now - t.start) > boundMs) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
        if (t.pending) t.longestPendMs = std::max(t.longestPendMs, Ms(Clock::now() - pendStart));
        return t;
    }

    // The verdict: the pattern came back whole and unchanged without line errors,
    // else the first FAIL found.
    int Conclude(std::uint32_t size, const std::vector<unsigned char>& received,
                 const std::vector<unsigned char>& pattern, std::uint32_t lineErrors) {
        const bool intact = received.size() == size && std::equal(pattern.begin(), pattern.end(), received.begin());
        const bool clean = (lineErrors & (platform::kCeFrame | platform::kCeRxParity | platform::kCeOverrun |
                                          platform::kCeRxOver | platform::kCeBreak)) == 0;
        if (intact && clean) {
            return Verdict(Level::kOk, com_ + " loops back: " + std::to_string(size) + " bytes came back unchanged", "");
        }
        const Finding* first = nullptr;
        for (const Finding& finding : findings_) {
            if (finding.level == Level::kFail) {
                first = &finding;
                break;
            }
        }
        return Verdict(Level::kFail, com_ + " does not loop back" + (first ? ": " + first->found : std::string()),
                       first ? first->todo : std::string());
    }

    void Report(std::uint32_t size, std::uint32_t sent, const std::vector<unsigned char>& received,
                const std::vector<unsigned char>& pattern, std::uint32_t stale, long elapsedMs, long quietMs) {
        Finding& s = Add(sent == size ? Level::kOk : Level::kFail, "sent",
                         std::to_string(sent) + " of " + std::to_string(size) + " bytes written" +
                             (stale > 0 ? " (" + std::to_string(stale) + " bytes already waiting were set aside)" : ""),
                         sent == size ? "" : "the port took no more bytes: check the handshake lines and the device");
        s.fields = {{"bytes", std::to_string(sent)}, {"pattern", std::to_string(size)}, {"stale", std::to_string(stale)}};

        const std::string tx = "check the loopback plug (TX joined to RX) or that the program on the far port echoes, "
                               "and that both ends use the same line settings";
        std::size_t mismatch = 0;
        while (mismatch < received.size() && mismatch < pattern.size() && received[mismatch] == pattern[mismatch])
            ++mismatch;
        Finding* r = nullptr;
        if (received.empty()) {
            r = &Add(Level::kFail, "received",
                     "nothing came back within " + std::to_string(elapsedMs) + " ms (" + std::to_string(quietMs) +
                         " ms of silence end the test)",
                     tx);
        } else if (received.size() < size) {
            r = &Add(Level::kFail, "received",
                     std::to_string(received.size()) + " of " + std::to_string(size) + " bytes came back within " +
                         std::to_string(elapsedMs) + " ms",
                     tx);
        } else {
            r = &Add(received.size() == size ? Level::kOk : Level::kFail, "received",
                     std::to_string(received.size()) + " bytes came back for " + std::to_string(size) + " sent",
                     received.size() == size ? "" : "something on the line adds bytes: " + tx);
        }
        r->fields = {{"bytes", std::to_string(received.size())}, {"ms", std::to_string(elapsedMs)}};

        const bool differs = mismatch < received.size() && mismatch < pattern.size();
        Finding& m = Add(differs ? Level::kFail : Level::kOk, "first mismatch",
                         differs ? "byte " + std::to_string(mismatch) + ": sent " + Hex(pattern[mismatch]) +
                                       ", received " + Hex(received[mismatch])
                                 : "none in the " + std::to_string(std::min<std::size_t>(received.size(), size)) +
                                       " bytes that came back",
                         differs ? "the bytes are changed on the way: check the line settings of both ends and "
                                   "the cable"
                                 : "");
        m.fields = {{"offset", differs ? std::to_string(mismatch) : "null"}};
    }

    void ReportLineErrors(std::uint32_t errors) {
        std::string names;
        for (const auto& e : kLineErrors) {
            if ((errors & e.bit) != 0) names += (names.empty() ? "" : ", ") + std::string(e.name);
        }
        Finding& f = Add(names.empty() ? Level::kOk : Level::kFail, "line errors",
                         names.empty() ? "none" : names + " (error word " + Hex(errors) + ")",
                         names.empty() ? "" : "framing and parity errors mean different line settings at the two "
                                              "ends; overrun means the system did not keep up");
        f.fields = {{"errorWord", std::to_string(errors)}};
    }

    void ReportRate(std::size_t bytes, int bitsPerChar, long rate, long long micros) {
        Finding& f = Add(Level::kOk, "rate", "");
        if (bytes == 0 || micros <= 0) {
            f.found = "not measured (" + std::string(bytes == 0 ? "nothing came back" : "too fast for the clock") +
                      "); line rate " + std::to_string(rate) + " baud";
            f.fields = {{"bitsPerSecond", "null"}, {"lineRate", std::to_string(rate)}};
            return;
        }
        const long long achieved = static_cast<long long>(bytes) * bitsPerChar * 1000000 / micros;
        const long long percent = achieved * 100 / rate;
        f.found = std::to_string(achieved) + " bit/s against a line rate of " + std::to_string(rate) + " baud (" +
                  std::to_string(percent) + "%, " + std::to_string(bitsPerChar) + " bits a character)";
        if (percent > 150) {
            f.found += ": faster than the line, so nothing paces it (a pseudo-terminal or a virtual port)";
        } else if (percent < 50) {
            f.level = Level::kWarn;
            f.todo = "less than half the line rate: check handshake settings and what else loads the system";
        }
        f.fields = {{"bitsPerSecond", std::to_string(achieved)}, {"lineRate", std::to_string(rate)},
                    {"percent", std::to_string(percent)}};
    }

    void ReportWrites(int writes, int pended, long longestMs, bool stillPending) {
        std::string found = std::to_string(writes) + (writes == 1 ? " write" : " writes");
        if (pended == 0) {
            found += ", none pended";
        } else {
            found += ", " + std::to_string(pended) + " pended (the system sent them in the background), for up to " +
                     std::to_string(longestMs) + " ms";
        }
        if (stillPending) found += "; one still pended when the test ended";
        Finding& f = Add(stillPending ? Level::kWarn : Level::kOk, "writes", found,
                         stillPending ? "the device does not take the bytes: check the handshake lines" : "");
        f.fields = {{"writes", std::to_string(writes)}, {"pended", std::to_string(pended)},
                    {"longestPendMs", std::to_string(longestMs)}};
    }

    int Verdict(Level level, const std::string& found, const std::string& todo) {
        Add(level, "verdict", found, todo);
        Print();
        return level == Level::kOk ? 0 : 1;
    }

    void Print() const {
        for (const Finding& f : findings_) {
            std::string line;
            if (options_.json) {
                line = "{\"check\":" + JsonString(f.name) + ",\"level\":" + JsonString(LevelName(f.level)) +
                       ",\"found\":" + JsonString(f.found);
                if (!f.todo.empty()) line += ",\"todo\":" + JsonString(f.todo);
                for (const auto& [name, value] : f.fields) line += "," + JsonString(name) + ":" + value;
                line += "}";
            } else {
                line = std::string(LevelName(f.level)) + " " + f.name + ": " + f.found;
                if (!f.todo.empty()) line += kDash + f.todo;
            }
            line += "\n";
            std::fputs(line.c_str(), stdout);
        }
        std::fflush(stdout);
    }

    const LoopbackOptions& options_;
    std::string com_;
    std::vector<Finding> findings_;
};

}  // namespace

LineChoice ChooseLine(int comNumber) {
    LineChoice choice;
    const PortLine defaults = ScanPortLine("");
    choice.request = ComRequest{comNumber, static_cast<std::int32_t>(defaults.baudRate), defaults.parity,
                                static_cast<std::uint8_t>(defaults.dataBits), static_cast<std::int32_t>(defaults.stopBits)};
    // The settings reader's path, read without its log lines: the test writes nothing.
    FindInstallDirectory(installDirectory);
    const std::string path = SettingsFilePath();
    for (int n = 1; n <= kPortKeys; ++n) {
        const std::string key = "PORT" + std::to_string(n);
        char area[kSettingAreaSize] = {};
        const std::uint32_t copied = platform::Profile().GetPrivateProfileString(kSettingsSection, key.c_str(), "",
                                                                                 area, kSettingAreaSize, path.c_str());
        if (copied == 0) continue;
        const PortLinePlan plan = PlanPortLine(area);
        if (plan.action != PortLineAction::kOpen || plan.request.comNumber != comNumber) continue;
        choice.request = plan.request;
        choice.key = key;
        choice.line = area;
        break;
    }
    return choice;
}

serial::Port* OpenLinePort(const ComRequest& request) {
    return serial::CreateComPort(request.comNumber - 1, request.baudRate, request.parity, request.dataBits,
                                 request.stopBits);
}

int ParseComName(const std::string& text) {
    std::size_t at = 0;
    if (text.size() > 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(text[2])) == 'M')
        at = 3;
    if (at >= text.size() || text.size() - at > 3) return 0;
    int number = 0;
    for (; at < text.size(); ++at) {
        if (!std::isdigit(static_cast<unsigned char>(text[at]))) return 0;
        number = number * 10 + (text[at] - '0');
    }
    return number;
}

int RunLoopback(const LoopbackOptions& options) { return Loopback(options).Run(); }

}  // namespace kestar::tools
