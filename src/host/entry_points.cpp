// The three exported entry points of the module.
#include "kestar.h"

#include "command_execution.h"
#include "interface_block.h"
#include "start_up.h"

extern "C" int KESTAR_CALL GetCommData(InterfaceBlock* block) { return kestar::RunCommandGuarded(block); }

extern "C" int KESTAR_CALL InitializeCommunications(InterfaceBlock* block, int /*ignored*/,
                                                    KestarHostCallback callback) {
    // Stored first, so that the block stays stored even when the start fails.
    kestar::storedInterfaceBlock = block;
    try {
        return kestar::StartUp(block, callback) != 0 ? 1 : 0;
    } catch (...) {  // nothing may leave the module through the host's call
        return 0;
    }
}

extern "C" int KESTAR_CALL TerminateCommunications() {
    try {
        kestar::ShutDown();
    } catch (...) {
    }
    return 1;
}
