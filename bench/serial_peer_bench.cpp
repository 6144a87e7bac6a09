// The COM driver's transfers beside libserialport's non-blocking calls and raw
// read/write, all on one pseudo-terminal pair in one run: PutChar, GetChar with a
// byte queued, an empty poll, and Write and Read of 1 KiB with the bytes queued.
//
// Each contender opens the terminal's far side through the same link
// ($KESTAR_DEVICES/com9) in turn; the near side feeds and drains it between the
// timed batches. A batch is timed in the thread's CPU time (CLOCK_THREAD_CPUTIME_ID),
// which holds the system calls' kernel time too, and the process is pinned to one
// CPU. After the timed runs each benchmark counts the system calls of one more
// batch: the driver's through the stand-ins' call table, the others' from the
// kernel's per-thread counts of read and write calls (/proc/thread-self/io) and
// the ioctl calls seen below. The summary at the end gives nanoseconds per
// operation, the ratios and the calls per operation.
#include "platform/posix/posix_calls.h"
#include "serial/com_driver.h"
#include "serial/port.h"

#include <benchmark/benchmark.h>
#include <libserialport.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace {

long peerIoctlCalls = 0;

}  // namespace

// libserialport's open asks for the modem lines (TIOCMGET, TIOCMBIC), which a
// pseudo-terminal does not have: those requests are answered here as by a UART
// with every line low, every other request goes to the kernel. The library calls
// the plain "ioctl" entry point, which this function takes over (the program's
// own calls, built with 64-bit time, go to the C library's other one). It also
// counts the library's calls.
extern "C" int PeerIoctl(int fd, unsigned long request, ...) noexcept __asm__("ioctl");
extern "C" int PeerIoctl(int fd, unsigned long request, ...) noexcept {
    va_list list;
    va_start(list, request);
    void* argument = va_arg(list, void*);
    va_end(list);
    ++peerIoctlCalls;
    const long result = syscall(SYS_ioctl, fd, request, argument);
    const bool modemRequest = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (result < 0 && modemRequest && (errno == ENOTTY || errno == EINVAL)) {
        if (request == TIOCMGET) *static_cast<int*>(argument) = 0;
        return 0;
    }
    return static_cast<int>(result);
}

namespace {

using kestar::serial::Port;

constexpr std::size_t kBlock = 1024;
constexpr int kComIndex = 8;  // COM9

unsigned char payload[4 * kBlock];

// --- the pseudo-terminal pair and its link -------------------------------------

struct Terminal {
    int near = -1;  // the side the benchmark feeds and drains
    std::string farName;
    std::string folder;
    std::string link;  // $KESTAR_DEVICES/com9 -> the far side

    Terminal() {
        char path[256] = {};
        int far = -1;
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&near, &far, path, &raw, nullptr) != 0) std::abort();
        close(far);  // each contender opens it by name
        fcntl(near, F_SETFL, fcntl(near, F_GETFL) | O_NONBLOCK);
        farName = path;
        char pattern[] = "/tmp/kestar-peer-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        folder = pattern;
        link = folder + "/com9";
        if (symlink(farName.c_str(), link.c_str()) != 0) std::abort();
        setenv("KESTAR_DEVICES", folder.c_str(), 1);
    }
    ~Terminal() {
        unlink(link.c_str());
        rmdir(folder.c_str());
        close(near);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    void Feed(std::size_t length) const {
        if (write(near, payload, length) != static_cast<ssize_t>(length)) std::abort();
    }
    bool Drain(std::size_t length) const {
        unsigned char buffer[4 * kBlock];
        std::size_t got = 0;
        while (got < length) {
            pollfd ready{near, POLLIN, 0};
            if (poll(&ready, 1, 1000) <= 0) return false;
            const ssize_t n = read(near, buffer, sizeof buffer);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
        return true;
    }
};

Terminal* terminal = nullptr;

// --- the contenders ------------------------------------------------------------

struct ModuleContender {
    static constexpr const char* kName = "module";
    Port* port = kestar::serial::CreateComPort(kComIndex, 57600, 'N', 8, 1);
    bool Ready() const { return port->status == 0; }
    ~ModuleContender() { port->ops.Close(port); }
    bool PutChar(unsigned char byte) { return port->ops.PutChar(port, byte) == 0; }
    int GetChar() { return port->ops.GetChar(port); }  // -8 when nothing is queued
    bool Write(const void* bytes, std::uint32_t length) {
        return port->ops.Write(port, bytes, length) == 0 && port->transferCount == length;
    }
    bool Read(void* bytes, std::uint32_t length) {
        return port->ops.Read(port, bytes, length) == 0 && port->transferCount == length;
    }
    std::uint32_t Queued() { return static_cast<std::uint32_t>(port->ops.RxCount(port)); }
};

// libserialport names a port by a path below /dev whose last part the system's
// tty class also names; the link in a folder of /tmp reached upwards from both
// /dev and /sys/class/tty is one such path.
struct LibserialportContender {
    static constexpr const char* kName = "libserialport";
    sp_port* port = nullptr;
    bool open = false;
    LibserialportContender() {
        const std::string name = "/dev/../../.." + terminal->link;
        if (sp_get_port_by_name(name.c_str(), &port) != SP_OK) return;
        open = sp_open(port, SP_MODE_READ_WRITE) == SP_OK;
    }
    bool Ready() const { return open; }
    ~LibserialportContender() {
        if (open) sp_close(port);
        if (port != nullptr) sp_free_port(port);
    }
    bool PutChar(unsigned char byte) { return sp_nonblocking_write(port, &byte, 1) == 1; }
    int GetChar() {
        unsigned char byte = 0;
        return sp_nonblocking_read(port, &byte, 1) == 1 ? byte : -8;
    }
    bool Write(const void* bytes, std::uint32_t length) {
        return sp_nonblocking_write(port, bytes, length) == static_cast<int>(length);
    }
    bool Read(void* bytes, std::uint32_t length) {
        return sp_nonblocking_read(port, bytes, length) == static_cast<int>(length);
    }
    std::uint32_t Queued() { return static_cast<std::uint32_t>(sp_input_waiting(port)); }
};

struct RawContender {
    static constexpr const char* kName = "raw";
    int fd = open(terminal->link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    RawContender() {
        termios raw{};
        if (fd < 0 || tcgetattr(fd, &raw) != 0) return;
        cfmakeraw(&raw);
        tcsetattr(fd, TCSANOW, &raw);
    }
    bool Ready() const { return fd >= 0; }
    ~RawContender() {
        if (fd >= 0) close(fd);
    }
    bool PutChar(unsigned char byte) { return write(fd, &byte, 1) == 1; }
    int GetChar() {
        unsigned char byte = 0;
        return read(fd, &byte, 1) == 1 ? byte : -8;
    }
    bool Write(const void* bytes, std::uint32_t length) {
        return write(fd, bytes, length) == static_cast<ssize_t>(length);
    }
    bool Read(void* bytes, std::uint32_t length) { return read(fd, bytes, length) == static_cast<ssize_t>(length); }
    std::uint32_t Queued() {
        int queued = 0;
        return ioctl(fd, FIONREAD, &queued) == 0 ? static_cast<std::uint32_t>(queued) : 0;
    }
};

// --- the operations --------------------------------------------------------------

enum class Operation { kPutChar, kGetChar, kEmptyPoll, kWrite1K, kRead1K };

struct OperationInfo {
    Operation operation;
    const char* name;
    const char* title;
    std::uint32_t batch;  // operations timed together; the terminal takes a batch whole
};

constexpr OperationInfo kOperations[] = {
    {Operation::kPutChar, "PutChar", "1-byte write", 256},
    {Operation::kGetChar, "GetChar", "1-byte read, byte queued", 256},
    {Operation::kEmptyPoll, "EmptyPoll", "empty poll", 256},
    {Operation::kWrite1K, "Write1K", "1 KiB write", 4},
    {Operation::kRead1K, "Read1K", "1 KiB read, queued", 2},
};

std::uint64_t ThreadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// Bytes fed to the near side reach the far side's queue a little later.
template <typename C>
bool WaitQueued(C& contender, std::uint32_t bytes) {
    for (int i = 0; i < 20000; ++i) {
        if (contender.Queued() >= bytes) return true;
        usleep(50);
    }
    return false;
}

// Before the batch: what it needs queued. False when the terminal did not bring it.
template <typename C>
bool Prepare(C& contender, const OperationInfo& info) {
    switch (info.operation) {
        case Operation::kGetChar:
            terminal->Feed(info.batch);
            return WaitQueued(contender, info.batch);
        case Operation::kRead1K:
            terminal->Feed(info.batch * kBlock);
            return WaitQueued(contender, info.batch * kBlock);
        case Operation::kEmptyPoll:
            return contender.Queued() == 0;
        default:
            return true;
    }
}

template <typename C>
bool RunBatch(C& contender, const OperationInfo& info) {
    unsigned char buffer[kBlock];
    bool ok = true;
    for (std::uint32_t i = 0; i < info.batch; ++i) {
        switch (info.operation) {
            case Operation::kPutChar: ok &= contender.PutChar(payload[i]); break;
            case Operation::kGetChar: ok &= contender.GetChar() >= 0; break;
            case Operation::kEmptyPoll: ok &= contender.GetChar() == -8; break;
            case Operation::kWrite1K: ok &= contender.Write(payload + i * kBlock, kBlock); break;
            case Operation::kRead1K: ok &= contender.Read(buffer, kBlock); break;
        }
    }
    benchmark::DoNotOptimize(buffer);
    return ok;
}

// After the batch: the near side takes what was written.
bool Finish(const OperationInfo& info) {
    if (info.operation == Operation::kPutChar) return terminal->Drain(info.batch);
    if (info.operation == Operation::kWrite1K) return terminal->Drain(info.batch * kBlock);
    return true;
}

// --- counting system calls ---------------------------------------------------------

// The driver's calls, through the stand-ins' call table.
struct TableCounts {
    long ioctl = 0, read = 0, write = 0, poll = 0;
    long Sum() const { return ioctl + read + write + poll; }
};
TableCounts tableCounts;
kestar::platform::PosixCalls tableOriginal;

int CountedIoctl(int fd, unsigned long request, void* argument) {
    ++tableCounts.ioctl;
    return tableOriginal.ioctl(fd, request, argument);
}
ssize_t CountedRead(int fd, void* buffer, std::size_t size) {
    ++tableCounts.read;
    return tableOriginal.read(fd, buffer, size);
}
ssize_t CountedWrite(int fd, const void* data, std::size_t size) {
    ++tableCounts.write;
    return tableOriginal.write(fd, data, size);
}
int CountedPoll(pollfd* fds, nfds_t count, int timeout) {
    ++tableCounts.poll;
    return tableOriginal.poll(fds, count, timeout);
}

kestar::platform::PosixCalls CountingTable() {
    tableOriginal = kestar::platform::Posix();
    kestar::platform::PosixCalls calls = tableOriginal;
    calls.ioctl = CountedIoctl;
    calls.read = CountedRead;
    calls.write = CountedWrite;
    calls.poll = CountedPoll;
    return calls;
}

// The kernel's count of this thread's read and write calls, reading included.
long KernelReadWriteCalls() {
    char text[512] = {};
    const int fd = open("/proc/thread-self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return -1;
    long reads = -1, writes = -1;
    const char* at = std::strstr(text, "syscr:");
    if (at != nullptr) reads = std::strtol(at + 6, nullptr, 10);
    at = std::strstr(text, "syscw:");
    if (at != nullptr) writes = std::strtol(at + 6, nullptr, 10);
    return reads < 0 || writes < 0 ? -1 : reads + writes;
}

// Calls per operation of one batch; negative when they could not be counted.
template <typename C>
double CountCalls(C& contender, const OperationInfo& info) {
    if (!Prepare(contender, info)) return -1;
    long calls = 0;
    if constexpr (std::is_same_v<C, ModuleContender>) {
        tableCounts = TableCounts{};
        kestar::platform::ScopedPosixCalls counting(CountingTable());
        if (!RunBatch(contender, info)) return -1;
        calls = tableCounts.Sum();
    } else {
        const long first = KernelReadWriteCalls();
        const long empty = KernelReadWriteCalls() - first;  // the counting's own reads
        const long ioctlsBefore = peerIoctlCalls;
        const long before = KernelReadWriteCalls();
        if (!RunBatch(contender, info)) return -1;
        const long after = KernelReadWriteCalls();
        if (before < 0 || after < 0) return -1;
        calls = after - before - empty + (peerIoctlCalls - ioctlsBefore);
    }
    if (!Finish(info)) return -1;
    return static_cast<double>(calls) / info.batch;
}

template <typename C>
void Measure(benchmark::State& state, OperationInfo info) {
    C contender;
    if (!contender.Ready()) {
        state.SkipWithError("the contender could not open the terminal");
        return;
    }
    std::uint64_t totalNs = 0;
    for (auto _ : state) {
        if (!Prepare(contender, info)) {
            state.SkipWithError("the terminal did not bring the bytes");
            return;
        }
        const std::uint64_t start = ThreadCpuNs();
        const bool ok = RunBatch(contender, info);
        const std::uint64_t took = ThreadCpuNs() - start;
        if (!ok || !Finish(info)) {
            state.SkipWithError("an operation moved fewer bytes than asked");
            return;
        }
        totalNs += took;
        state.SetIterationTime(static_cast<double>(took) * 1e-9);
    }
    const double operations = static_cast<double>(state.iterations()) * info.batch;
    state.counters["ns/op"] = benchmark::Counter(static_cast<double>(totalNs) / operations);
    state.counters["calls/op"] = benchmark::Counter(CountCalls(contender, info));
}

// --- the summary ---------------------------------------------------------------------

struct Figures {
    double ns = 0, calls = -1;
    bool seen = false;
};

// Keeps each benchmark's figures (a median when runs repeat) for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, Figures> figures;

    // Colours only on a terminal, so that a saved run reads as plain text.
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") continue;
            const std::string name = run.run_name.function_name;
            Figures& f = figures[name];
            if (f.seen && !aggregate) continue;  // the median, once there, stands
            const auto ns = run.counters.find("ns/op");
            const auto calls = run.counters.find("calls/op");
            if (ns == run.counters.end()) continue;
            f.ns = ns->second.value;
            f.calls = calls != run.counters.end() ? calls->second.value : -1;
            f.seen = true;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string Key(const OperationInfo& info, const char* contender) { return std::string(info.name) + "/" + contender; }

void PrintSummary(const SummaryReporter& reporter, int cpu) {
    std::printf("\nThread CPU time per operation on one pseudo-terminal pair, pinned to CPU %d\n", cpu);
    std::printf("%-26s %10s %14s %10s %8s %8s %s\n", "operation", "module", "libserialport", "raw",
                "ratio", "ratio", "system calls per operation");
    std::printf("%-26s %10s %14s %10s %8s %8s %s\n", "", "ns", "ns", "ns", "to lsp", "to raw",
                "(module / libserialport / raw)");
    for (const OperationInfo& info : kOperations) {
        const auto find = [&](const char* contender) {
            const auto it = reporter.figures.find(Key(info, contender));
            return it != reporter.figures.end() ? it->second : Figures{};
        };
        const Figures module = find(ModuleContender::kName);
        const Figures peer = find(LibserialportContender::kName);
        const Figures raw = find(RawContender::kName);
        if (!module.seen || !peer.seen || !raw.seen) {
            std::printf("%-26s (not measured)\n", info.title);
            continue;
        }
        std::printf("%-26s %10.0f %14.0f %10.0f %7.2fx %7.2fx %.2f / %.2f / %.2f\n", info.title, module.ns, peer.ns,
                    raw.ns, module.ns / peer.ns, module.ns / raw.ns, module.calls, peer.calls, raw.calls);
    }
}

// Pins the process to one CPU (the last it may use), so that the contenders run
// on the same one; returns that CPU, or -1.
int PinToOneCpu() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
    int cpu = -1;
    for (int i = 0; i < CPU_SETSIZE; ++i) {
        if (CPU_ISSET(i, &allowed)) cpu = i;
    }
    if (cpu < 0) return -1;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0 ? cpu : -1;
}

template <typename C>
void Register(const OperationInfo& info) {
    benchmark::RegisterBenchmark(Key(info, C::kName).c_str(), Measure<C>, info)->UseManualTime();
}

}  // namespace

int main(int argc, char** argv) {
    const int cpu = PinToOneCpu();
    for (std::size_t i = 0; i < sizeof payload; ++i) payload[i] = static_cast<unsigned char>('A' + i % 26);
    Terminal pair;
    terminal = &pair;
    for (const OperationInfo& info : kOperations) {
        Register<ModuleContender>(info);
        Register<LibserialportContender>(info);
        Register<RawContender>(info);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintSummary(reporter, cpu);
    terminal = nullptr;
    return 0;
}
