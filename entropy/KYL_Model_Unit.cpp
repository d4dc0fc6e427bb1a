#include "entropy/KYL_Model_Unit.h"
