// The COM driver over a pseudo-terminal beside raw read/write loops of the same
// shape on another pseudo-terminal: 1,024-byte blocks, and single characters.
// The peer (the terminal's other side) feeds or drains each round.
#include "serial/com_driver.h"
#include "serial/port.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

using kestar::serial::Port;

constexpr std::size_t kBlock = 1024;

struct Terminal {
    int master = -1;
    int slave = -1;  // raw loops only; the port opens the terminal by name
    std::string name;

    explicit Terminal(bool keepSlave) {
        char path[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master, &slave, path, &raw, nullptr) != 0) std::abort();
        name = path;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        if (keepSlave) {
            fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
        } else {
            close(slave);
            slave = -1;
        }
    }
    ~Terminal() {
        if (slave >= 0) close(slave);
        close(master);
    }
    void Feed(const unsigned char* bytes, std::size_t length) const {
        if (write(master, bytes, length) != static_cast<ssize_t>(length)) std::abort();
    }
    void Drain(std::size_t length) const {
        unsigned char buffer[kBlock];
        std::size_t got = 0;
        while (got < length) {
            pollfd ready{master, POLLIN, 0};
            poll(&ready, 1, 1000);
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
    }
};

// A COM port (COM9) opened on a fresh pseudo-terminal through $KESTAR_DEVICES.
struct PortOnTerminal {
    Terminal terminal{false};
    std::string folder;
    Port* port = nullptr;

    PortOnTerminal() {
        char pattern[] = "/tmp/kestar-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        folder = pattern;
        if (symlink(terminal.name.c_str(), (folder + "/com9").c_str()) != 0) std::abort();
        setenv("KESTAR_DEVICES", folder.c_str(), 1);
        port = kestar::serial::CreateComPort(8, 57600, 'N', 8, 1);
        if (port->status != 0) std::abort();
    }
    ~PortOnTerminal() {
        port->ops.Close(port);
        unlink((folder + "/com9").c_str());
        rmdir(folder.c_str());
    }
};

unsigned char payload[kBlock];

void PortWriteBlocks(benchmark::State& state) {
    PortOnTerminal t;
    for (auto _ : state) {
        if (t.port->ops.Write(t.port, payload, kBlock) != 0) state.SkipWithError("short write");
        t.terminal.Drain(kBlock);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}

void RawWriteBlocks(benchmark::State& state) {
    Terminal t(true);
    for (auto _ : state) {
        if (write(t.slave, payload, kBlock) != static_cast<ssize_t>(kBlock)) state.SkipWithError("short write");
        t.Drain(kBlock);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}

void PortReadBlocks(benchmark::State& state) {
    PortOnTerminal t;
    unsigned char buffer[kBlock];
    for (auto _ : state) {
        t.terminal.Feed(payload, kBlock);
        std::size_t got = 0;
        while (got < kBlock) {
            if (t.port->ops.Read(t.port, buffer, static_cast<std::uint32_t>(kBlock - got)) == 0) {
                got += t.port->transferCount;
            }
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}

void RawReadBlocks(benchmark::State& state) {
    Terminal t(true);
    unsigned char buffer[kBlock];
    for (auto _ : state) {
        t.Feed(payload, kBlock);
        std::size_t got = 0;
        while (got < kBlock) {
            const ssize_t n = read(t.slave, buffer, kBlock - got);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}

void PortPutChars(benchmark::State& state) {
    PortOnTerminal t;
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBlock; ++i) {
            if (t.port->ops.PutChar(t.port, payload[i]) != 0) state.SkipWithError("character refused");
        }
        t.terminal.Drain(kBlock);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}

void RawPutChars(benchmark::State& state) {
    Terminal t(true);
    for (auto _ : state) {
        for (std::size_t i = 0; i < kBlock; ++i) {
            if (write(t.slave, &payload[i], 1) != 1) state.SkipWithError("character refused");
        }
        t.Drain(kBlock);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}

void PortGetChars(benchmark::State& state) {
    PortOnTerminal t;
    for (auto _ : state) {
        t.terminal.Feed(payload, kBlock);
        std::size_t got = 0;
        while (got < kBlock) {
            if (t.port->ops.GetChar(t.port) >= 0) ++got;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}

void RawGetChars(benchmark::State& state) {
    Terminal t(true);
    for (auto _ : state) {
        t.Feed(payload, kBlock);
        std::size_t got = 0;
        unsigned char byte;
        while (got < kBlock) {
            if (read(t.slave, &byte, 1) == 1) ++got;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}

BENCHMARK(PortWriteBlocks);
BENCHMARK(RawWriteBlocks);
BENCHMARK(PortReadBlocks);
BENCHMARK(RawReadBlocks);
BENCHMARK(PortPutChars);
BENCHMARK(RawPutChars);
BENCHMARK(PortGetChars);
BENCHMARK(RawGetChars);

}  // namespace

BENCHMARK_MAIN();
