// A stage that reaches for the controller, a layer above it.  Must not build
// with the include folders of the transforms layer.
#include "codec/KYL_MCP_Unit.h"
