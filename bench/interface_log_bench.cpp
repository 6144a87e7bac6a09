// WriteLog with the trace off, beside spdlog's basic file sink given the same
// prefix pattern, the same line end and the same texts. Both end on disk in the
// same kind of folder; lines per second are the items per second.
#include "log/interface_log.h"
#include "platform/debug_trace.h"
#include "settings/install_directory.h"
#include "support/scratch_folder.h"

#include <benchmark/benchmark.h>

#if defined(KESTAR_BENCH_SPDLOG)
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

#include <string>

namespace {

const std::string kTexts[] = {
    "Starting Interface DLL",
    "CreateLogFile = 1",
    "PORT1 = Controller,2,9600,N,8,1",
    "Cannot find 'PORT3' in 'D:\\Apps\\Host\\tolvo\\vodrane.ini'",
    "C_READ_COORDS 22",
    "Ending Interface DLL",
};
constexpr std::size_t kTextCount = sizeof kTexts / sizeof kTexts[0];

void BM_WriteLog(benchmark::State& state) {
    kestar::testing::ScratchFolder scratch;
    kestar::testing::MakeFolder(scratch.Join("tolvo"));
    kestar::installDirectory = scratch.path();
    kestar::SetLogFolder(kestar::installDirectory);
    kestar::platform::InstallTraceWriter(nullptr);
    if (kestar::platform::TraceEnabled()) {
        state.SkipWithError("unset KESTAR_TRACE: the trace must be off");
        return;
    }
    kestar::StartLog(kestar::installDirectory);
    std::size_t i = 0;
    for (auto _ : state) {
        kestar::WriteLog(kTexts[i]);
        if (++i == kTextCount) i = 0;
    }
    kestar::CloseLog();
    kestar::installDirectory.clear();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteLog);

#if defined(KESTAR_BENCH_SPDLOG)
void BM_SpdlogBasicFileSink(benchmark::State& state) {
    kestar::testing::ScratchFolder scratch;
    kestar::testing::MakeFolder(scratch.Join("tolvo"));
    auto logger = spdlog::basic_logger_st("bench", scratch.Join("tolvo/spdlog.log"), true);
    // spdlog has no flag that drops the leading zero of hour and minute; %H and %M
    // are the nearest, one character longer at most.
    logger->set_formatter(
        std::make_unique<spdlog::pattern_formatter>("<%H:%M:%S>   %v", spdlog::pattern_time_type::local, "\r\n"));
    std::size_t i = 0;
    for (auto _ : state) {
        logger->info(kTexts[i]);
        if (++i == kTextCount) i = 0;
    }
    logger->flush();
    spdlog::drop("bench");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogBasicFileSink);
#endif

}  // namespace

BENCHMARK_MAIN();
