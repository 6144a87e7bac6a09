// WriteSlotString of 64-character lines to a pseudo-terminal whose peer reads as
// fast as it can (a thread of its own), beside a raw write loop of the same lines
// on another pseudo-terminal, and beside a raw loop that writes the lines a
// character at a time. The port sends character by character, and a
// character the terminal cannot take at once is held as a pending write, so the
// counter buffer_full (results of -9) must stay 0: the peer keeps the queue from
// ever filling.
#include "serial/com_driver.h"
#include "serial/port.h"
#include "serial/port_manager.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using kestar::serial::Port;

constexpr std::size_t kLineLength = 64;

std::string Line(std::size_t number) {
    std::string line;
    for (std::size_t i = 0; i < kLineLength; ++i) line += static_cast<char>('A' + (number + i) % 26);
    return line;
}

// A pseudo-terminal whose master side a thread drains as fast as it can.
struct DrainedTerminal {
    int master = -1;
    int slave = -1;
    std::string name;
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> received{0};
    std::thread reader;

    explicit DrainedTerminal(bool keepSlave) {
        char path[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master, &slave, path, &raw, nullptr) != 0) std::abort();
        name = path;
        if (!keepSlave) {
            close(slave);
            slave = -1;
        }
        reader = std::thread([this] {
            char buffer[4096];
            while (!stop.load(std::memory_order_relaxed)) {
                pollfd ready{master, POLLIN, 0};
                if (poll(&ready, 1, 10) <= 0) continue;
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0) received.fetch_add(static_cast<std::size_t>(n), std::memory_order_relaxed);
            }
        });
    }
    ~DrainedTerminal() {
        stop = true;
        reader.join();
        if (slave >= 0) close(slave);
        close(master);
    }
};

void SlotWriteLines(benchmark::State& state) {
    DrainedTerminal terminal(false);
    char pattern[] = "/tmp/kestar-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    const std::string folder = pattern;
    if (symlink(terminal.name.c_str(), (folder + "/com9").c_str()) != 0) std::abort();
    setenv("KESTAR_DEVICES", folder.c_str(), 1);
    Port* port = kestar::serial::CreateComPort(8, 57600, 'N', 8, 1);
    if (port->status != 0) std::abort();
    kestar::portTable[0] = kestar::PortSlot{9, port};

    std::size_t number = 0, bufferFull = 0, sent = 0;
    for (auto _ : state) {
        const std::string line = Line(number++);
        const std::int32_t result = kestar::WriteSlotString(0, line.c_str());
        if (result == kestar::serial::kBufferFull) {
            ++bufferFull;
            port->ops.ClearStatus(port);
        } else if (result != 0) {
            state.SkipWithError("WriteSlotString failed");
            break;
        }
        sent += kLineLength;
    }
    // Untimed: what is still held reaches the peer (the port's calls move it on).
    for (int i = 0; i < 20000 && terminal.received.load() < sent; ++i) {
        port->ops.TxCount(port);
        usleep(100);
    }
    if (terminal.received.load() < sent && bufferFull == 0) state.SkipWithError("bytes lost");
    state.counters["buffer_full"] = static_cast<double>(bufferFull);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLineLength));
    kestar::ClosePortSlots();
    unlink((folder + "/com9").c_str());
    rmdir(folder.c_str());
}

void RawWriteLines(benchmark::State& state) {
    DrainedTerminal terminal(true);
    std::size_t number = 0, sent = 0;
    for (auto _ : state) {
        const std::string line = Line(number++);
        if (write(terminal.slave, line.data(), kLineLength) != static_cast<ssize_t>(kLineLength)) {
            state.SkipWithError("short write");
            break;
        }
        sent += kLineLength;
    }
    for (int i = 0; i < 20000 && terminal.received.load() < sent; ++i) usleep(100);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLineLength));
}

// The same lines written a character at a time, as WriteSlotString hands them over.
void RawWriteLineCharacters(benchmark::State& state) {
    DrainedTerminal terminal(true);
    std::size_t number = 0, sent = 0;
    for (auto _ : state) {
        const std::string line = Line(number++);
        for (char c : line) {
            if (write(terminal.slave, &c, 1) != 1) {
                state.SkipWithError("character refused");
                break;
            }
        }
        sent += kLineLength;
    }
    for (int i = 0; i < 20000 && terminal.received.load() < sent; ++i) usleep(100);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLineLength));
}

BENCHMARK(SlotWriteLines);
BENCHMARK(RawWriteLines);
BENCHMARK(RawWriteLineCharacters);

}  // namespace

BENCHMARK_MAIN();
