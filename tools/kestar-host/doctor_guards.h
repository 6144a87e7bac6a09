// The seam set to observe: while the doctor runs start-up's own sequence, nothing
// reaches the disk, the registry or (without --open) a device, and what start-up
// asks for is recorded.
#pragma once

#include "platform/debug_trace.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/serial.h"

#include <memory>
#include <string>
#include <vector>

namespace kestar::tools {

// Registry writes and key creation refused; the log's file is a sink that takes
// every line and keeps none; the debug trace is dropped.
class WriteGuards {
public:
    WriteGuards();
    ~WriteGuards();
    WriteGuards(const WriteGuards&) = delete;
    WriteGuards& operator=(const WriteGuards&) = delete;

private:
    platform::ScopedRegistryOps registry_;
    platform::ScopedFileOps files_;
    platform::TraceWriter previousTrace_;
};

// The settings keys start-up asks for, in its order.
class SettingsKeyRecorder {
public:
    explicit SettingsKeyRecorder(std::vector<std::string>& keys);
    ~SettingsKeyRecorder();
    SettingsKeyRecorder(const SettingsKeyRecorder&) = delete;
    SettingsKeyRecorder& operator=(const SettingsKeyRecorder&) = delete;

private:
    std::unique_ptr<platform::ScopedProfileOps> profile_;
};

// Serial devices as start-up would find them, without opening them: a device that
// surely does not exist fails as it would, one start-up already holds answers
// "in use", and the line settings meet this platform's driver's rules. COM
// numbers in tried are opened for real (and closed again at once): the arm's port
// under --arm, where the arm library may hold it.
class ObservedSerial {
public:
    explicit ObservedSerial(std::vector<int> tried);
    ~ObservedSerial();
    ObservedSerial(const ObservedSerial&) = delete;
    ObservedSerial& operator=(const ObservedSerial&) = delete;

private:
    std::unique_ptr<platform::ScopedSerialOps> serial_;
};

// Windows' rule for COM devices where the system is kinder (Wine): a device already
// open in this process (by the module or the arm library), or one another process
// has open, is refused with error 5 (access denied), which start-up reports as
// "Port in Use", as Windows would. Opens and closes go to the system.
class ExclusiveComOpens {
public:
    ExclusiveComOpens();
    ~ExclusiveComOpens();
    // The processes whose hold on COM com refused its open; empty when none did.
    static std::string HeldElsewhere(int com);
    ExclusiveComOpens(const ExclusiveComOpens&) = delete;
    ExclusiveComOpens& operator=(const ExclusiveComOpens&) = delete;

private:
    std::unique_ptr<platform::ScopedSerialOps> serial_;
};

}  // namespace kestar::tools
