#include "support/program_run.h"

#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
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

}  // namespace kestar::testing
