// SPDX-License-Identifier: MIT
#include "block/KYL_Block_Unit.h"

#include <cassert>
#include <utility>

thread_local constinit T_KYL_Block_Controller* Current_Controller = nullptr;

T_KYL_Block_Controller::T_KYL_Block_Controller()
    : Source_Buffer(std::make_unique<T_Buffer>()),
      Target_Buffer(std::make_unique<T_Buffer>()),
      Header_Buffer(std::make_unique<T_Buffer>()),
      Tables(std::make_unique<T_Block_Tables>()) {
    Block_Data.Source = Source_Buffer.get();
    Block_Data.Target = Target_Buffer.get();
    Block_Data.Header = Header_Buffer.get();
    Block_Data.Tables = Tables.get();
}

T_KYL_Block_Controller::~T_KYL_Block_Controller() = default;

void T_KYL_Block_Controller::Swap_Buffers(T_Block_Data& data) const { std::swap(data.Source, data.Target); }

void T_KYL_Block_Controller::Carve_Arena(std::uint8_t* arena) {
    const std::size_t area_bytes = std::size_t(Area_Entries) * 4;
    std::uint8_t* region = arena;
    Source_Buffer->Data = region + Block_Buffer_Offset;
    region += Block_Region_Size;
    Target_Buffer->Data = region + Block_Buffer_Offset;
    region += Block_Region_Size;
    Header_Buffer->Data = region;
    region += Header_Capacity;
    Tables->Byte_Area = region;
    region += Area_Entries;
    Tables->Integer_Area = reinterpret_cast<std::int32_t*>(region);
    region += area_bytes;
    Tables->Run_Array = reinterpret_cast<std::int32_t*>(region);
    region += area_bytes;
    assert(region - arena == Random_Access_Offset);
    Block_Data.Index_Array = reinterpret_cast<std::int32_t*>(region);
    region += area_bytes;
    Block_Data.Work_Array = reinterpret_cast<std::uint32_t*>(region);
    // Source and Target change places with every exchange; the record starts
    // each carving in the order above.
    Block_Data.Source = Source_Buffer.get();
    Block_Data.Target = Target_Buffer.get();
}
