#include "rowfields.h"

#include <charconv>
#include <cstring>

#include "utility.h"

bool RowFields::Fetch(MYSQL_RES* result)
{
    row = result ? mysql_fetch_row(result) : nullptr;
    lengths = row ? mysql_fetch_lengths(result) : nullptr;
    count = row && lengths ? mysql_num_fields(result) : 0;
    if (count == 0)
        row = nullptr;
    return row != nullptr;
}

bool RowFields::Has(unsigned int column) const
{
    return row && column < count && row[column] != nullptr;
}

int32_t RowFields::Int(unsigned int column) const
{
    // Values of the text protocol end in a zero byte.
    return Has(column) ? DecToLong(row[column]) : 0;
}

bool RowFields::U32(unsigned int column, uint32_t* value) const
{
    size_t length = Length(column);
    if (length == 0)
        return false;
    // For an unsigned type from_chars takes digits only: no sign, no space.
    uint32_t number = 0;
    auto [end, error] = std::from_chars(row[column], row[column] + length, number);
    if (error != std::errc() || end != row[column] + length)
        return false;
    *value = number;
    return true;
}

size_t RowFields::Length(unsigned int column) const
{
    return Has(column) ? lengths[column] : 0;
}

size_t RowFields::CopyBytes(unsigned int column, void* destination, size_t room) const
{
    size_t length = Length(column);
    size_t copied = length < room ? length : room;
    if (copied > 0)
        memcpy(destination, row[column], copied);
    memset(static_cast<uint8_t*>(destination) + copied, 0, room - copied);
    return copied;
}

const char* RowFields::Bytes(unsigned int column) const
{
    return Has(column) ? row[column] : nullptr;
}
