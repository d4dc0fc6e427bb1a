// A stage's includes: its own headers and the block core.  Builds with the
// include folders of the transforms layer.
#include "codec/KYL_Block_Unit.h"
#include "transforms/KYL_BWT_Unit.h"
