// SPDX-License-Identifier: MIT
// A block controller for driving single stages: the record over an arena of
// its own, set as the thread's Current_Controller while the harness lives.
#pragma once

#include "block/KYL_Block_Unit.h"
#include "platform/KYL_Platform.h"

class T_KYL_Block_Harness : public T_KYL_Block_Controller {
public:
    // The arena is mapped, not touched, so a harness is cheap to make.
    T_KYL_Block_Harness() : Arena(KYL_Allocate_Block_Memory(std::size_t(Arena_Size))), Scope(*this) {
        Carve_Arena(Arena.get());
    }

    using T_KYL_Block_Controller::Block_Data;

private:
    T_KYL_Block_Memory Arena;
    T_Current_Controller_Scope Scope;
};
