#include "interface_block.h"

namespace kestar {

std::atomic<InterfaceBlock*> storedInterfaceBlock{nullptr};

}  // namespace kestar
