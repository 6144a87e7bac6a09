// Where kestar-host reads the module's debug trace from.
//
// Windows: the system's debug-output buffer (the named mapping "DBWIN_BUFFER" and the
// events "DBWIN_BUFFER_READY" and "DBWIN_DATA_READY" that debug-output viewers use),
// so every process's OutputDebugStringA text arrives with its process id; or, for the
// tool's own session, the debug-print exception each OutputDebugStringA of this
// process raises, seen by a vectored handler and passed on (a viewer still gets it).
// POSIX: the file $KESTAR_TRACE names, followed as it grows.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kestar::tools {

// One text as one call of the trace sent it: a line, part of one or several.
struct TracePiece {
    unsigned long pid = 0;  // the sending process; 0 where the source does not say
    bool module = true;     // sent by a process that has the module loaded
    std::string text;
};

class TraceSource {
public:
    virtual ~TraceSource() = default;
    // Waits up to waitMs for text and appends what came (nothing on a timeout).
    virtual void Take(int waitMs, std::vector<TracePiece>& pieces) = 0;
};

struct TraceSourceError {
    std::string found;
    std::string todo;
};

// The trace of every process: Windows the system's buffer (judge: look up whether
// each sender has the module loaded); POSIX the file at path (empty: $KESTAR_TRACE).
// Null with error set when it cannot be read.
std::unique_ptr<TraceSource> OpenSystemTrace(const std::string& path, bool judge, TraceSourceError& error);

// The trace of the module this process loads from now on. POSIX: made before the
// module is loaded, since it points $KESTAR_TRACE at a file of its own unless that
// names a file already, which is then followed from its end.
std::unique_ptr<TraceSource> OpenSessionTrace(TraceSourceError& error);

}  // namespace kestar::tools
