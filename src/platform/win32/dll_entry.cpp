// The DLL entry routine. The runtime around it constructs the module-wide objects
// at process attach and destroys them at detach; the routine itself does nothing,
// and in particular never waits for a thread (the loader lock is held here).
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
