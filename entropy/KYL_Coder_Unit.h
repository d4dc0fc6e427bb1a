// SPDX-License-Identifier: MIT
// The range coder and the block coder that lays out a block's payload.
#pragma once

#include <cstdint>
#include <memory>

#include "block/KYL_Block_Unit.h"
#include "entropy/KYL_Model_Unit.h"

struct T_Block_Data;
struct T_Block_Tables;

// Byte-oriented range coder with a 31-bit window.  A carry is held back in
// Cache together with a count of 0xFF bytes behind it (Pending), so no byte
// is ever written twice.  Every section begins with a 0x00 byte that no carry
// can reach; a section without symbols is 00 01.
//
// The decoder's window reaches three bytes past the end of a section; the
// section decodes exactly when those bytes are zero.  Reads at or beyond the
// input limit given to Start_Decoding yield zero bytes, and writes at or
// beyond the output limit given to Start_Encoding are dropped (the position
// still advances, so an overflowing section shows as an end above the limit).
class T_KYL_Range_Coder {
public:
    // Opens a section at buffer[position]; bytes go to buffer[position..limit-1].
    void Start_Encoding(std::uint8_t* buffer, std::int32_t position, std::int32_t limit);
    // Codes one symbol (0..n-1) of the model, then lets the model count it.
    void Encode_Model_Symbol(T_KYL_Model& model, std::int32_t symbol);
    // The same bytes for a model whose dynamic type is exactly T_KYL_Model:
    // its update runs without a virtual call.
    void Encode_Plain_Symbol(T_KYL_Model& model, std::int32_t symbol);
    // Flushes the section; returns the position just after its last byte,
    // which lies above the limit when the section did not fit.
    std::int32_t Finish_Encoding();

    // Opens the section that was started at buffer[position]; bytes from
    // buffer[limit] on are never read and count as zero.
    void Start_Decoding(const std::uint8_t* buffer, std::int32_t position, std::int32_t limit);
    std::int32_t Decode_Model_Symbol(T_KYL_Model& model);
    std::int32_t Decode_Plain_Symbol(T_KYL_Model& model);
    // Closes the section; returns the end that Finish_Encoding returned for it
    // (for a section that decoded correctly).
    std::int32_t Finish_Decoding();
    // The position of the next byte the decoder will take in.
    std::int32_t Read_Position() const { return Read_Pos; }

    // The moving parts of an open section.  A loop that codes many values
    // takes them into a local (Take_Encoder, Take_Decoder), codes with the
    // local's steps, which are the coder's own steps, and hands them back
    // (Resume_Encoding, Resume_Decoding): the compiler then keeps them in
    // registers instead of storing them after every step.
    struct T_Encoder {
        std::uint8_t* Buffer;
        std::int32_t Pos;
        std::int32_t Limit;
        std::uint32_t Low;
        std::uint32_t Range;
        std::uint8_t Cache;
        std::int32_t Pending;

        void Write_Byte(std::uint8_t value);
        void Normalize();
        void Encode_Position(const T_KYL_Model& model, std::int32_t position);
        // A symbol of a model whose dynamic type is exactly T_KYL_Model.
        void Encode_Plain_Symbol(T_KYL_Model& model, std::int32_t symbol);
        // The same for a plain model of exactly N symbols.
        template <std::int32_t N>
        void Encode_Fixed_Symbol(T_KYL_Model& model, std::int32_t symbol);
    };
    struct T_Decoder {
        const std::uint8_t* Buffer;
        std::int32_t Pos;
        std::int32_t Limit;
        std::uint32_t Low;
        std::uint32_t Range;
        std::uint8_t Cache;

        std::uint8_t Read_Byte();
        void Normalize();
        void Narrow(const std::int32_t* cum_freq, std::uint32_t r, std::int32_t position);
        std::int32_t Decode_Position(const T_KYL_Model& model);
        template <std::int32_t N>
        std::int32_t Decode_Fixed_Position(const T_KYL_Model& model);
        // A symbol of a model whose dynamic type is exactly T_KYL_Model.
        std::int32_t Decode_Plain_Symbol(T_KYL_Model& model);
        // The same for a plain model of exactly N symbols.
        template <std::int32_t N>
        std::int32_t Decode_Fixed_Symbol(T_KYL_Model& model);
    };
    T_Encoder Take_Encoder() const { return {Write_Buffer, Write_Pos, Write_Limit, Low, Range, Cache, Pending}; }
    void Resume_Encoding(const T_Encoder& encoder);
    T_Decoder Take_Decoder() const { return {Read_Buffer, Read_Pos, Read_Limit, Low, Range, Cache}; }
    void Resume_Decoding(const T_Decoder& decoder);

private:
    friend struct T_KYL_Test_Seam;

    // After Finish_Encoding: the largest value of the 23 bits that the three
    // bytes after the section give the decoder (the top 7 bits of the third
    // byte counting as the lowest) with which every symbol still decodes
    // exactly; 0x7FFFFF when any following bytes do.  Tests measure with it
    // how often a section's tail matters.
    std::int32_t Tail_Margin() const { return Last_Tail_Margin; }

    const std::uint8_t* Read_Buffer = nullptr;
    std::uint8_t* Write_Buffer = nullptr;
    std::int32_t Read_Pos = 0;
    std::int32_t Write_Pos = 0;
    std::uint32_t Low = 0;
    std::uint32_t Range = 0;
    std::uint8_t Cache = 0;
    std::int32_t Pending = 0;
    std::int32_t Read_Limit = 0;
    std::int32_t Write_Limit = 0;
    std::int32_t Last_Tail_Margin = 0;
};

// The block entropy coder.  A payload is three range-coder sections back to
// back: the run counts per exponent class, the run mantissas grouped by class,
// and the ranks followed by the end symbol 256.  Its length P follows as the
// last three header bytes, low byte first.
class T_KYL_Coder {
public:
    // How Decode reads the three bytes after the count and mantissa sections.
    enum class T_Section_Tails : std::uint8_t {
        As_Stored,  // as they stand: the next section's first bytes
        Zero,       // as zeros, for a second decode of a block that failed
    };

    // Builds the range coder, Block_Model, Byte_Model and the four mantissa
    // models.
    T_KYL_Coder();
    ~T_KYL_Coder();
    T_KYL_Coder(const T_KYL_Coder&) = delete;
    T_KYL_Coder& operator=(const T_KYL_Coder&) = delete;

    // Writes the coded payload of the ranks in Source (and the run values in
    // Run_Array) to Target and appends the 3-byte payload length to Header.
    // Returns false, with Target and Header undefined, when the payload would
    // not fit within Read_Ahead bytes; the controller then stores the block
    // as it came.
    bool Encode(T_Block_Data& data);
    // Reads one payload from Source (Source.Len on entry: the bytes at hand
    // for the block; bytes past it read as zero) into ranks in Target; leaves
    // the payload length consumed in Source.Len and takes its 3 bytes off
    // Header.  Throws T_KYL_Damaged_Block on a payload that cannot be decoded
    // safely.
    void Decode(T_Block_Data& data, T_Section_Tails tails = T_Section_Tails::As_Stored);

    // One value with one model through Range_Coder, inside an open section.
    void Put_Byte(std::int32_t value);
    std::int32_t Get_Byte();
    void Put_Bit(std::int32_t bit);
    std::int32_t Get_Bit();
    void Put_Mantissa_1(std::int32_t value);
    std::int32_t Get_Mantissa_1();
    void Put_Mantissa_2(std::int32_t value);
    std::int32_t Get_Mantissa_2();
    void Put_Mantissa_3(std::int32_t value);
    std::int32_t Get_Mantissa_3();

private:
    friend struct T_KYL_Test_Seam;

    // One value of a symbol model through a coder's local state; the steps
    // of the block coder's symbol loops.
    static void Put_Value(T_KYL_Range_Coder::T_Encoder& encoder, const T_KYL_Symbol_Model& model, std::int32_t value);
    static std::int32_t Get_Value(T_KYL_Range_Coder::T_Decoder& decoder, const T_KYL_Symbol_Model& model);

    // The largest payload Encode may write; the decoder takes at most
    // Read_Ahead bytes of a block (the constructor's value).  Only tests
    // lower it.
    std::int32_t Payload_Capacity;
    // Set for the Decode in progress.
    bool Zero_Section_Tails = false;

    void Put_Mantissa(std::int32_t exponent_class, std::uint32_t mantissa);
    std::uint32_t Get_Mantissa(std::int32_t exponent_class);

    void Encode_Counts(T_Block_Data& data, std::int32_t limit);
    void Encode_Mantissas(T_Block_Data& data, std::int32_t limit);
    void Encode_Symbols(T_Block_Data& data, std::int32_t limit);
    using T_Section_Decoder = void (T_KYL_Coder::*)(T_Block_Data&, std::int32_t);
    void Decode_Section(T_Section_Decoder section, T_Block_Data& data, std::int32_t limit);
    void Decode_Counts(T_Block_Data& data, std::int32_t limit);
    void Decode_Mantissas(T_Block_Data& data, std::int32_t limit);
    void Decode_Symbols(T_Block_Data& data, std::int32_t limit);

    // Throws when the decoder has read past what the block's sections can
    // span: a damaged payload is cut short here instead of decoding millions
    // of symbols out of the zeros behind it.
    void Require_Within_Payload() const;
    // Throws when the class counts ask for more runs than a block can hold.
    static void Require_Runs_Fit_A_Block(const T_Block_Tables& tables);
    // While decoding: the highest read position a section of the payload
    // can reach (its stored length plus the three bytes read past its end).
    std::int32_t Read_Bound = 0;

    // Owned objects; made in this order, destroyed in the reverse one.
    std::unique_ptr<T_KYL_Range_Coder> Range_Coder;
    // Reset for every block's symbol section, which a fresh model would
    // start alike; made once, so that a block allocates nothing.
    std::unique_ptr<T_KYL_Symbol_Model> Block_Model;
    std::unique_ptr<T_KYL_Symbol_Model> Byte_Model;
    std::unique_ptr<T_KYL_Mantissa_Model> Bit_Model;
    std::unique_ptr<T_KYL_Mantissa_Model_1> Mantissa_Model_1;
    std::unique_ptr<T_KYL_Mantissa_Model_2> Mantissa_Model_2;
    std::unique_ptr<T_KYL_Mantissa_Model_3> Mantissa_Model_3;
};
