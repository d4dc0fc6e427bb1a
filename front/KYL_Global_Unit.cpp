// SPDX-License-Identifier: MIT
#include "front/KYL_Global_Unit.h"

static_assert(Banner_Lines[0].size() == 68, "a rule is 68 underscores");
static_assert(Banner_Lines[3].find(':') == 26 && Banner_Lines[4].find(':') == 26 && Banner_Lines[5].find(':') == 26,
              "banner labels end with a colon at column 27");
