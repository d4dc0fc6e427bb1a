// SPDX-License-Identifier: MIT
// The tests' way to the controls that production classes keep private:
// every such class names T_KYL_Test_Seam its friend, and only the tests and
// the benchmarks define it.
#pragma once

#include <cstdint>

#include "codec/KYL_File_Unit.h"
#include "codec/KYL_MCP_Unit.h"
#include "codec/KYL_Pipeline_Unit.h"
#include "entropy/KYL_Coder_Unit.h"
#include "entropy/KYL_Model_Unit.h"
#include "transforms/KYL_BWT_Unit.h"

struct T_KYL_Test_Seam {
    // T_KYL_BWT: the sort mode to force, the whole-block sort to force, the
    // one-chain walk to use, and what the last Encode did.
    static T_KYL_BWT::T_Sort_Mode& Forced_Mode(T_KYL_BWT& bwt) { return bwt.Forced_Mode; }
    static bool& Force_Whole_Block_Sort(T_KYL_BWT& bwt) { return bwt.Force_Whole_Block_Sort; }
    static bool& Use_Single_Walk(T_KYL_BWT& bwt) { return bwt.Use_Single_Walk; }
    static bool& Plain_Walk_Reads(T_KYL_BWT& bwt) { return bwt.Walk.Plain_Reads; }
    static T_KYL_BWT::T_Sort_Mode Used_Mode(const T_KYL_BWT& bwt) { return bwt.Used_Mode; }
    static bool Used_Whole_Block_Sort(const T_KYL_BWT& bwt) { return bwt.Used_Whole_Block_Sort; }

    // T_KYL_Range_Coder: the margin of the last section's tail.
    static std::int32_t Tail_Margin(const T_KYL_Range_Coder& coder) { return coder.Tail_Margin(); }

    // T_KYL_Context_Model: its contexts and their masks.
    static std::int32_t Short_Context(const T_KYL_Context_Model& model) { return model.Context_1; }
    static std::int32_t Long_Context(const T_KYL_Context_Model& model) { return model.Context_2; }
    static std::int32_t Short_Mask(const T_KYL_Context_Model& model) { return model.Mask_1; }
    static std::int32_t Long_Mask(const T_KYL_Context_Model& model) { return model.Mask_2; }

    // T_KYL_Coder: the payload capacity, and the steps of its symbol loops.
    static std::int32_t& Payload_Capacity(T_KYL_Coder& coder) { return coder.Payload_Capacity; }
    static void Put_Value(T_KYL_Range_Coder::T_Encoder& encoder, const T_KYL_Symbol_Model& model, std::int32_t value) {
        T_KYL_Coder::Put_Value(encoder, model, value);
    }
    static std::int32_t Get_Value(T_KYL_Range_Coder::T_Decoder& decoder, const T_KYL_Symbol_Model& model) {
        return T_KYL_Coder::Get_Value(decoder, model);
    }

    // T_KYL_MCP: its record and its coder.
    static T_Block_Data& Block_Data(T_KYL_MCP& controller) { return controller.Block_Data; }
    static T_KYL_Coder& Coder(T_KYL_MCP& controller) { return *controller.Coder; }
    // T_KYL_File_Codec: failures for the files it opens, and the block
    // codec of one made for one thread.
    static T_KYL_MCP& Block_Codec(T_KYL_File_Codec& codec) { return *codec.Factory.Codec; }
    static void Install_Faults(T_KYL_File_Codec& codec, T_KYL_Fault_Plan* faults) { codec.Faults = faults; }

    // T_KYLZ_Jobs (a template, so that only the tests that use it need the
    // front end's headers): what runs between an output's commit and the
    // removal of its input.
    template <class T_Jobs>
    static auto& Before_Removal(T_Jobs& jobs) {
        return jobs.Before_Removal;
    }

    // The workers its pipeline has started so far (their controllers stay
    // when they are joined); 0 without a pipeline.
    static std::size_t Workers_Started(const T_KYL_File_Codec& codec) {
        return codec.Factory.Pipeline ? codec.Factory.Pipeline->Controllers.size() : 0;
    }

    // T_KYL_Pipeline: the memory the thread budget is taken from, in place
    // of the machine's (0: the machine's again).
    static void Set_Available_Memory(std::uint64_t bytes) { T_KYL_Pipeline::Test_Available_Memory = bytes; }
};
