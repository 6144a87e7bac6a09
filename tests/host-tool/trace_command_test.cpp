// kestar-host trace, in-process beside a session in another process (kestar-host
// --trace): every line the session saw of its own module arrives, in order, from
// that process; a burst of 10,000 lines arrives whole; and the refusals.
#include "host-tool/installation.h"

#include "platform/files.h"
#include "support/program_run.h"
#include "trace_command.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

class TraceCommand : public HostInstallation {
protected:
    ScratchFolder folder;
    std::string file = folder.Join("trace.txt");  // Linux: the trace file followed
    std::atomic<bool> ready{false};
    std::atomic<bool> stop{false};
    tools::TraceCounts counts;
    std::thread reader;
    std::atomic<int> exit{-1};

    void SetUp() override {
        HostInstallation::SetUp();
#if !defined(_WIN32)
        SetEnvironment("KESTAR_TRACE", file.c_str());  // made by the first line sent: read whole
#endif
    }
    void TearDown() override {
        Stop();
        SetEnvironment("KESTAR_TRACE", nullptr);
        HostInstallation::TearDown();
    }

    // Starts reading the trace; returns once it is being read (true) or has failed.
    bool Start(tools::TraceRequest request) {
        request.json = true;
        request.ready = &ready;
        reader = std::thread([this, request] {
            std::FILE* out = std::fopen(folder.Join("out.txt").c_str(), "wb");
            std::FILE* err = std::fopen(folder.Join("err.txt").c_str(), "wb");
            exit = tools::FollowTrace(request, stop, out, err, counts);
            std::fclose(out);
            std::fclose(err);
        });
        for (int i = 0; i < 500 && !ready && exit < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return ready;
    }
    // Waits for lines shown (at most 20 s), stops, and returns the lines' JSON objects.
    std::vector<std::string> Stop(unsigned long lines = 0) {
        for (int i = 0; i < 2000 && counts.shown < lines; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop = true;
        if (reader.joinable()) reader.join();
        return Lines(ReadFileBytes(folder.Join("out.txt")));
    }
    std::string Err() { return ReadFileBytes(folder.Join("err.txt")); }
};

TEST_F(TraceCommand, EveryLineOfASessionInAnotherProcessArrivesInOrderWithItsProcessId) {
    ASSERT_TRUE(Start({}));
    const ProgramRun session = RunProgram(Host(), {"--json", "--trace", "C_READ_COORDS", "watch", "--count", "2"});
    std::vector<std::string> sent;  // the session's own account of its trace
    std::string pid;
    for (const std::string& line : Lines(session.out)) {
        if (JsonMember(line, "trace") == "(absent)") continue;
        sent.push_back(JsonMember(line, "trace"));
        pid = JsonMember(line, "pid");
    }
    ASSERT_GE(sent.size(), 5u) << session.out;  // start-up, three readings, shut-down
    std::vector<std::string> received;
    for (const std::string& line : Stop(sent.size())) {
        if (JsonMember(line, "text") == "(absent)") continue;
#if defined(_WIN32)
        if (JsonMember(line, "pid") != pid) continue;
#else
        EXPECT_EQ(JsonMember(line, "pid"), "null");  // the file carries no process ids
#endif
        received.push_back(JsonMember(line, "text"));
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(exit, tools::kTraceEnded);
}

TEST_F(TraceCommand, ABurstOfTenThousandLinesArrivesWhole) {
    constexpr unsigned long kLines = 10000;
    tools::TraceRequest request;
    request.lines = kLines;
    request.all = true;
#if defined(_WIN32)
    request.pid = GetCurrentProcessId();
#endif
    ASSERT_TRUE(Start(request));
    const auto begin = std::chrono::steady_clock::now();
#if !defined(_WIN32)
    std::FILE* trace = std::fopen(file.c_str(), "ab");
#endif
    for (unsigned long n = 0; n < kLines; ++n) {
        const std::string line = "burst " + std::to_string(n) + "\n";
#if defined(_WIN32)
        OutputDebugStringA(line.c_str());
#else
        std::fputs(line.c_str(), trace);
        std::fflush(trace);
#endif
    }
#if !defined(_WIN32)
    std::fclose(trace);
#endif
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const std::vector<std::string> lines = Stop(kLines);
    std::printf("burst: %lu lines offered in %.2f s, %lu shown, %lu texts received\n", kLines, seconds, counts.shown,
                counts.pieces);
    ASSERT_EQ(lines.size(), kLines + 1);  // and the counts
    for (unsigned long n = 0; n < kLines; n += 997) EXPECT_EQ(JsonMember(lines[n], "text"), "burst " + std::to_string(n));
    EXPECT_EQ(JsonMember(lines.back(), "shown"), std::to_string(kLines));
}

TEST_F(TraceCommand, ThisProcesssOwnTraceComesInWholeLines) {
    SetEnvironment("KESTAR_TRACE", nullptr);  // Linux: the session makes a file of its own
    std::vector<std::string> texts;
    {
        tools::SessionTrace session;
        ASSERT_TRUE(session.on()) << session.error().found;
#if defined(_WIN32)
        OutputDebugStringA("first\nsecond, ");
        OutputDebugStringA("cut");
#else
        const std::string own = std::getenv("KESTAR_TRACE");
        ASSERT_TRUE(WriteFileBytes(own, "first\nsecond, cut"));
#endif
        for (bool end : {false, true}) {
            for (const tools::TraceLine& line : session.Take(end)) texts.push_back(line.text);
        }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"first", "second, cut"}));
    EXPECT_EQ(std::getenv("KESTAR_TRACE"), nullptr) << "the environment is given back";
}

TEST(TraceArguments, EachIsTakenOrRefusedWithWhatIsWrong) {
    const struct {
        std::vector<std::string> args;
        const char* problem;  // empty: taken
    } kRows[] = {
        {{"--json", "--all", "--save", "f.txt", "--lines", "3", "--seconds", "2", "--module", "m"}, ""},
        {{"--lines", "x"}, "--lines needs a number of 0 or more"},
        {{"--seconds"}, "--seconds needs a value"},
        {{"--bogus"}, "trace takes --json, --all, --pid N, --save FILE, --file PATH, --lines N and --seconds N, not --bogus"},
#if defined(_WIN32)
        {{"--pid", "0"}, "--pid needs a process id (Task Manager's PID column)"},
        {{"--file", "t.txt"}, "--file is for Linux; on Windows trace reads the system's debug output"},
#else
        {{"--pid", "5"}, "the trace file carries no process ids: --pid is for Windows"},
        {{"--file", "t.txt"}, ""},
#endif
    };
    for (const auto& row : kRows) {
        tools::TraceRequest request;
        std::string problem;
        EXPECT_EQ(tools::ParseTraceArguments(row.args, request, problem), *row.problem == '\0') << problem;
        EXPECT_EQ(problem, row.problem);
    }
    tools::TraceRequest request;
    std::string problem;
    ASSERT_TRUE(tools::ParseTraceArguments(kRows[0].args, request, problem));
    EXPECT_TRUE(request.json && request.all && request.savePath == "f.txt" && request.lines == 3 && request.seconds == 2);
}

TEST_F(TraceCommand, WhatCannotBeReadIsNamedWithWhatToDo) {
#if defined(_WIN32)
    Start({});  // the first viewer holds the buffer
    std::atomic<bool> now{true};
    tools::TraceCounts second;
    EXPECT_EQ(tools::FollowTrace({}, now, stdout, stdout, second), tools::kTraceUnreadable);
    tools::TraceRequest save;
    save.savePath = folder.Join("no-such-folder\\saved.txt");
    Stop();
    EXPECT_EQ(tools::FollowTrace(save, now, stdout, stdout, second), tools::kTraceUnreadable);
#else
    const std::string link = folder.Join("link.txt");
    ASSERT_TRUE(WriteFileBytes(file, ""));
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    const struct { const char* trace; const char* save; const char* error; } kCases[] = {
        {nullptr, "", "kestar-host: KESTAR_TRACE is not set here*"},
        {"stderr", "", "kestar-host: KESTAR_TRACE is \"stderr\"*"},
        {link.c_str(), "", "kestar-host: '*link.txt' is not a regular file*"},
        {file.c_str(), link.c_str(), "kestar-host: cannot write '*link.txt': *"},
    };
    for (const auto& row : kCases) {
        SetEnvironment("KESTAR_TRACE", row.trace);
        tools::TraceRequest request;
        request.savePath = row.save;
        stop = true;
        Start(request);
        reader.join();
        EXPECT_EQ(exit, tools::kTraceUnreadable) << row.error;
        EXPECT_TRUE(Matches(Lines(Err()).at(0), row.error)) << Err();
    }
    // The module does not write its trace through a link either; the session says so.
    SetEnvironment("KESTAR_TRACE", link.c_str());
    const ProgramOutput session = RunProgramFor(Host(), {"--trace", "C_READ_COORDS"}, 20000);
    EXPECT_NE(session.out.find("kestar-host: --trace: '"), std::string::npos) << session.out;
    std::string bytes;
    EXPECT_TRUE(platform::ReadRegularFile(file.c_str(), 1 << 20, bytes) == platform::ReadFileResult::kRead);
    EXPECT_EQ(bytes, "");
#endif
}

}  // namespace
}  // namespace kestar::testing
