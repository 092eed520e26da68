#pragma once

// Safe reads of one row of a result set. The database defines the columns,
// so nothing here trusts them: a NULL value, a column the set does not
// have, or a value shorter than its field never crashes or reads past the
// value.

#include <cstddef>
#include <cstdint>

#include <mysql.h>

struct RowFields {
    MYSQL_ROW row = nullptr;           // the fetched row; null when there is none
    unsigned long* lengths = nullptr;  // byte length of each value
    unsigned int count = 0;            // columns in the set

    // Fetches the next row of the set; false (and an empty row) at its end.
    bool Fetch(MYSQL_RES* result);

    // The column is in the set and not NULL.
    bool Has(unsigned int column) const;
    // A decimal column as atoi reads it (saturating); 0 when NULL or missing.
    int32_t Int(unsigned int column) const;
    // An unsigned 32-bit column read exactly: decimal digits only (no sign,
    // no space), at most 4294967295. False for any other value, NULL and a
    // missing column included; *value is then left alone.
    bool U32(unsigned int column, uint32_t* value) const;
    // The value's bytes: 0 when NULL or missing.
    size_t Length(unsigned int column) const;
    // Copies at most room bytes of the value into destination and zeroes
    // the rest of the room; returns the bytes copied.
    size_t CopyBytes(unsigned int column, void* destination, size_t room) const;
    // The raw value, or null when NULL or missing.
    const char* Bytes(unsigned int column) const;
};
