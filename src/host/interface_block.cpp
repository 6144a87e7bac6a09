#include "interface_block.h"

namespace kestar {

InterfaceBlock* storedInterfaceBlock = nullptr;

}  // namespace kestar
