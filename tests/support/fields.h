#pragma once

// Message bytes: built field by field, and read back.
//
//   Fields().Op(numbers, "STREAM_TERMINATOR").U32(9).U32(0).bytes
//   ReadU32(reply, 2)   // the request id of that message

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "opcodetable.h"

// Builds message bytes: little-endian integers, UTF-16LE text with a
// 16-bit unit count, raw bytes.
struct Fields {
    std::vector<uint8_t> bytes;

    Fields& U8(uint8_t value);
    Fields& U16(uint16_t value);
    Fields& U32(uint32_t value);
    Fields& Zeros(size_t count);
    Fields& Raw(const std::vector<uint8_t>& data);
    Fields& Wide(const std::u16string& text);                            // u16 unit count, then the units
    Fields& Op(const OpcodeTable& numbers, const std::string& name);   // a message number
};

// Little-endian integers at an offset of message bytes (the caller checks the size).
uint16_t ReadU16(const std::vector<uint8_t>& bytes, size_t offset);
uint32_t ReadU32(const std::vector<uint8_t>& bytes, size_t offset);
