// The interface log: time-stamped lines gathered in memory and written to
// <install directory>\tolvo\TolvoInterface.log when the log starts (emptied), when
// the buffer would pass kLogBufferLimit bytes, and when it closes. Every line is
// also sent to the debug trace at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestar {

constexpr const char* kLogFilePath = "\\tolvo\\TolvoInterface.log";
constexpr std::size_t kLogBufferLimit = 262144;                // 0x40000 bytes of lines
constexpr std::size_t kLogGrowthStep = kLogBufferLimit + 1024;  // reserved at the first write
constexpr std::size_t kLogCopyChunk = 1024;
// Lines the file could not take are kept up to this many bytes for a later flush;
// past it further lines reach the debug trace only, and the file later gets one
// line saying how many were lost.
constexpr std::size_t kLogUnwrittenLimit = 4 * kLogBufferLimit;

// Creates the buffer and empties the file in installFolder; does nothing while a
// buffer exists. A line written before any start goes to the folder last handed in.
void StartLog(const std::string& installFolder);
// The install folder whose log file later lines go to, without starting the log.
void SetLogFolder(const std::string& installFolder);

// Buffers "<H:M:SS>   " + text + CR LF (hour and minute without leading zero) and
// sends the line, whole, from the buffer to the debug trace. Allocates nothing once
// the buffer exists. A line that cannot be buffered (the file has refused lines past
// kLogUnwrittenLimit) reaches the trace through a fixed area of
// platform::kTraceLineSize bytes, cut there if longer, still ending in CR LF.
void WriteLog(std::string_view text);

// Appends the buffer to the file and discards it; nothing without a buffer.
void CloseLog();

// Forgets the log as it stands, its unwritten lines included, and writes nothing:
// for a tool that ran start-up's sequence with every write refused (the doctor), so
// that the lines it could not write do not open a later log of the same process.
void DiscardLog();

// True from StartLog (or a first WriteLog) until CloseLog: a run's log is open.
bool LogStarted();

// Copies the buffer to the end of the file (createAnew: the file is emptied first).
void FlushLog(int createAnew);

// The path FlushLog writes to, in the folder the log was last started with.
std::string LogFilePath();
// The path the log writes to when started with installFolder.
std::string LogFilePathIn(const std::string& installFolder);

}  // namespace kestar
