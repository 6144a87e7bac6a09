#include "platform/module_unload.h"

#include <cstdlib>

namespace kestar::platform {
namespace {

bool RuntimeAtExit(UnloadRoutine routine) { return std::atexit(routine) == 0; }

UnloadRegistrar& Registrar() {
    static UnloadRegistrar registrar = RuntimeAtExit;
    return registrar;
}

}  // namespace

bool RunAtUnload(UnloadRoutine routine) { return Registrar()(routine); }

UnloadRegistrar InstallUnloadRegistrar(UnloadRegistrar registrar) {
    UnloadRegistrar previous = Registrar();
    Registrar() = registrar ? registrar : RuntimeAtExit;
    return previous;
}

}  // namespace kestar::platform
