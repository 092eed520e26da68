#include "fields.h"

Fields& Fields::U8(uint8_t value)
{
    bytes.push_back(value);
    return *this;
}

Fields& Fields::U16(uint16_t value)
{
    bytes.push_back(uint8_t(value));
    bytes.push_back(uint8_t(value >> 8));
    return *this;
}

Fields& Fields::U32(uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes.push_back(uint8_t(value >> (8 * i)));
    return *this;
}

Fields& Fields::Zeros(size_t count)
{
    bytes.insert(bytes.end(), count, 0);
    return *this;
}

Fields& Fields::Raw(const std::vector<uint8_t>& data)
{
    bytes.insert(bytes.end(), data.begin(), data.end());
    return *this;
}

Fields& Fields::Wide(const std::u16string& text)
{
    U16(uint16_t(text.size()));
    for (char16_t unit : text)
        U16(uint16_t(unit));
    return *this;
}

Fields& Fields::Op(const OpcodeTable& numbers, const std::string& name)
{
    return Raw(numbers.Opcode(name));
}

uint16_t ReadU16(const std::vector<uint8_t>& bytes, size_t offset)
{
    return uint16_t(bytes[offset] | (bytes[offset + 1] << 8));
}

uint32_t ReadU32(const std::vector<uint8_t>& bytes, size_t offset)
{
    return uint32_t(ReadU16(bytes, offset)) | (uint32_t(ReadU16(bytes, offset + 2)) << 16);
}
