// The few things the doctor asks of the system itself rather than of the module's
// own code: the module file's version, whether the log file could be had, who
// holds a file, texts in UTF-8 and a console that shows them.
#pragma once

#include <string>

namespace kestar::tools {

// A value of the file's version resource ("FileVersion", "SourceCommit"); empty when
// it has none. POSIX: the same two values from the module's source text, which a
// shared object carries in place of a version resource.
std::string ModuleFileVersion(const std::string& path, const char* value = "FileVersion");

enum class FileAccess {
    kWritable,  // it could be opened for writing, exclusively
    kHeld,      // another process holds it
    kDenied,    // this user may not write it
    kFolder,    // a folder stands where the file should be
    kOther,     // some other failure; detail says which
};

// Opens an existing file for writing, without truncating, moving or writing it,
// with the exclusivity the interface log asks for, and closes it again.
FileAccess ProbeExistingFile(const std::string& path, std::string& detail);

// Creates a scratch file in folder and removes it again: whether a new log file
// could be created there. detail names the failure.
bool ProbeCreateIn(const std::string& folder, std::string& detail);

// The processes that have path open ("1234 (cat)"), where the system can say;
// empty otherwise.
std::string FileHolders(const std::string& path);

// Windows under Wine: the processes with another handle to the device the open
// handle `opened` is, this one too ("42 (Tolvo6.exe)"); empty when there is none,
// and on Windows itself and POSIX, where the open of a held device is refused.
std::string ProcessesHolding(void* opened);

// "COM5 is held by another program", with the processes that have device open
// where the system can say; wineHolders: those whose hold made the doctor refuse
// the open under Wine by Windows' rule.
std::string HeldByAnotherProgram(const std::string& com, const std::string& device,
                                 const std::string& wineHolders = std::string());

// While it lives, a console shows the doctor's UTF-8 output (Windows: the
// console's output code page is UTF-8, and the one before is restored after).
class Utf8Console {
public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    [[maybe_unused]] unsigned previous_ = 0;  // 0: nothing to restore (used on Windows only)
};

// A text from the system in UTF-8: Windows hands the A calls' texts over in the
// ANSI code page; POSIX texts are taken as they are.
std::string SystemText(const std::string& text);

// Whether the arm library file carries the bench arm simulator's mark: Windows: the
// value "BenchArmSimulator" of its version resource; POSIX: the mark's text.
bool IsBenchArmSimulator(const std::string& path);

// Whether both files hold the same bytes (both readable, at most 64 MB).
bool SameFileBytes(const std::string& a, const std::string& b);

// Whether this Windows program runs under Wine (which opens COM devices that
// Windows would refuse); false elsewhere.
bool UnderWine();

// Whether the file can be opened for reading; detail names the failure.
bool CanRead(const std::string& path, std::string& detail);

// A device name that resolves to nothing cannot open (POSIX); anything else, and
// every name on Windows, only an open can tell.
bool DeviceSurelyMissing(const std::string& device);

// POSIX: whether the registry store has the folder of HKEY_LOCAL_MACHINE; a store
// without it has no App Paths entry, and is left as it is. Windows: always true.
bool MachineRootPresent();

// Where the module's registry reads land when that is not where they seem to:
// on 64-bit Windows the 32-bit view; empty elsewhere.
std::string RegistryView();

// " (effective user N)" on POSIX; empty on Windows.
std::string EffectiveUser();

// The path separator of this platform.
char Separator();

// path as a path from the root: one relative to the current folder gets that folder
// in front (Windows: the system's full path name).
std::string WholePath(const std::string& path);

}  // namespace kestar::tools
