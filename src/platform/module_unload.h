// Routines that run when the module is unloaded.
//
// Both builds use the C runtime's atexit. In KESTAR.dll the MinGW runtime keeps
// the module's own atexit list and runs it when the DLL is detached (FreeLibrary
// or process end); in libkestar.so and in test programs it runs at exit. Routines
// run in reverse order of registration, before the destructors of the module-wide
// objects that were constructed at load.
#pragma once

namespace kestar::platform {

using UnloadRoutine = void (*)();

// Registers routine with the installed registrar (atexit unless a test replaced it).
// Returns true when it was accepted.
bool RunAtUnload(UnloadRoutine routine);

using UnloadRegistrar = bool (*)(UnloadRoutine routine);

// Replaces the registrar (nullptr: back to atexit); returns the previous one.
UnloadRegistrar InstallUnloadRegistrar(UnloadRegistrar registrar);

}  // namespace kestar::platform
