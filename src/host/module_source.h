// The text that names the version and the commit a module file was built from. It
// lies in the file itself, so that a file without a version resource (a shared
// object) still tells which source it came from: a tool finds it by its marker.
#pragma once

namespace kestar {

constexpr const char kModuleSourceMarker[] = "KESTAR-SOURCE ";

// kModuleSourceMarker + "1.0.0 (commit <commit>)", with a terminating zero.
extern const char moduleSource[];

}  // namespace kestar
