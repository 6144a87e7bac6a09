// The three exported entry points of the module.
#include "kestar.h"

#include "command_execution.h"
#include "interface_block.h"
#include "platform/arm_library.h"

extern "C" int KESTAR_CALL GetCommData(InterfaceBlock* block) { return kestar::RunCommandGuarded(block); }

// Interim start-up until the settings, log and port layers are in: it stores the
// block and loads the arm library, so that GetCommData can be driven end to end.
extern "C" int KESTAR_CALL InitializeCommunications(InterfaceBlock* block, int /*ignored*/,
                                                    KestarHostCallback /*callback*/) {
    kestar::storedInterfaceBlock = block;
    kestar::platform::LoadArmLibrary();
    return 1;
}

extern "C" int KESTAR_CALL TerminateCommunications() { return 1; }
