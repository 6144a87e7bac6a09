#include "support/program_run.h"

#include "support/scratch_folder.h"
#include "support/test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kestar::testing {

#if defined(_WIN32)
ProgramRun RunProgramIn(const std::string& folder, const std::string& program, const std::vector<std::string>& args) {
    ProgramRun run;
    std::string commandLine = "\"" + program + "\"";
    for (const std::string& arg : args) commandLine += " \"" + arg + "\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = nullptr;
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION process{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return run;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) run.out.append(buffer, got);
    CloseHandle(readEnd);
    // The pipe has ended, so the program has or is about to; bounded all the same.
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    run.exitCode = static_cast<int>(code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return run;
}

std::string BuiltToolPath(const std::string& name) { return ExecutableDirectory() + "\\" + name + ".exe"; }
#else
namespace {

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

ProgramRun RunProgramIn(const std::string& folder, const std::string& program, const std::vector<std::string>& args) {
    ProgramRun run;
    std::string command = Quote(program);
    for (const std::string& arg : args) command += " " + Quote(arg);
    if (!folder.empty()) command = "cd " + Quote(folder) + " && " + command;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string BuiltToolPath(const std::string& name) { return ExecutableDirectory() + "/" + name; }
#endif

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
    return RunProgramIn(std::string(), program, args);
}

std::string JsonMember(const std::string& object, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    std::size_t at = object.find(key);
    if (at == std::string::npos) return "(absent)";
    at += key.size();
    if (object[at] != '"') {
        const std::size_t end = object.find_first_of(",}", at);
        return object.substr(at, end - at);
    }
    std::string text;
    for (++at; at < object.size() && object[at] != '"'; ++at) {
        if (object[at] == '\\' && at + 1 < object.size()) {
            ++at;
            if (object[at] == 'u') {
                text += static_cast<char>(std::strtol(object.substr(at + 1, 4).c_str(), nullptr, 16));
                at += 4;
                continue;
            }
        }
        text += object[at];
    }
    return text;
}

std::string JsonCheck(const std::string& out, const std::string& name) {
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string object = out.substr(start, end - start);
        if (JsonMember(object, "check") == name) return object;
        start = end + 1;
    }
    return std::string();
}

namespace {

#if !defined(_WIN32)
std::vector<char*> ArgumentVector(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Waits for child until deadline, then ends it; its exit status, -1 when it was ended.
int AwaitChild(pid_t child, std::chrono::steady_clock::time_point deadline, bool& timedOut) {
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    timedOut = true;
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
}
#endif

}  // namespace

std::vector<std::string> Lines(const std::string& out) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

#if defined(_WIN32)
ProgramOutput RunProgramFor(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
                            const std::string& folder) {
    ProgramOutput run;
    ScratchFolder scratch;
    const std::string outPath = scratch.Join("out.txt");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return run;
    std::string commandLine = "\"" + program + "\"";
    for (const std::string& arg : args) commandLine += " \"" + arg + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    CloseHandle(file);
    if (!started) return run;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        run.timedOut = true;
        TerminateProcess(process.hProcess, 255);
        WaitForSingleObject(process.hProcess, 10000);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    run.exitCode = run.timedOut ? -1 : static_cast<int>(code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    run.out = ReadFileBytes(outPath);
    return run;
}

ProgramOutput RunProgramInTerminal(const std::string&, const std::vector<std::string>&, int, int) {
    return ProgramOutput{};
}
#else
ProgramOutput RunProgramFor(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
                            const std::string& folder) {
    ProgramOutput run;
    ScratchFolder scratch;
    const std::string outPath = scratch.Join("out.txt");
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return run;
    std::vector<char*> argv = ArgumentVector(program, args);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out, 1);
        dup2(out, 2);
        if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out);
    if (child < 0) return run;
    run.exitCode = AwaitChild(child, deadline, run.timedOut);
    run.out = ReadFileBytes(outPath);
    return run;
}

ProgramOutput RunProgramInTerminal(const std::string& program, const std::vector<std::string>& args, int columns,
                                   int timeoutMs) {
    ProgramOutput run;
    std::vector<char*> argv = ArgumentVector(program, args);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    int master = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const pid_t child = forkpty(&master, nullptr, nullptr, &size);
    if (child == 0) {
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (child < 0) return run;
    // Read until the terminal's other side is closed (EIO on Linux) or time is up.
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        run.out.append(buffer, static_cast<std::size_t>(got));
    }
    run.exitCode = AwaitChild(child, deadline, run.timedOut);
    close(master);
    return run;
}
#endif

}  // namespace kestar::testing
