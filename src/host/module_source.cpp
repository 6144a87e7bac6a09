#include "host/module_source.h"

#include "kestar_source.h"
#include "platform/compiler.h"

namespace kestar {

// Nothing reads it at run time; it must stay in the file all the same.
KESTAR_KEEP const char moduleSource[] = "KESTAR-SOURCE " KESTAR_BUILD_TEXT;

}  // namespace kestar
