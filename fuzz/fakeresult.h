#pragma once

// Result sets made in memory, laid out as MariaDB Connector/C lays out one
// from mysql_store_result, so that the library's own mysql_fetch_row,
// mysql_fetch_lengths, mysql_num_rows, mysql_num_fields and
// mysql_free_result work on them unchanged:
//
//   - the MYSQL_RES is one calloc'd block followed by field_count lengths
//     (mysql_fetch_lengths fills them), with data and data_cursor set, no
//     handle (a buffered result) and eof set;
//   - the MYSQL_DATA is calloc'd with an empty memory root, so
//     mysql_free_result frees it and the MYSQL_RES and nothing else;
//   - each row is a MYSQL_ROWS whose data holds field_count column pointers
//     and one end pointer. A NULL value is a null pointer; every other value
//     is followed by a zero byte, the values of a row lie back to back in
//     one block of exactly their size, and the end pointer points just past
//     the block: mysql_fetch_lengths takes each length from the distance to
//     the next value.
//
// The rows live in blocks of their own, owned by the FakeResult, so a read
// past the last value of a row is an ASan report; they must outlive every
// use of the set. The set itself is handed out and freed with
// mysql_free_result by whoever holds it (the Database, for a filed result).

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <mysql.h>

using FakeValue = std::optional<std::string>;   // nullopt: SQL NULL
using FakeRow = std::vector<FakeValue>;

class FakeResult {
public:
    // A set of fieldCount columns; each row gets exactly that many values
    // (missing ones NULL, surplus ones dropped).
    MYSQL_RES* Build(unsigned int fieldCount, const std::vector<FakeRow>& rows)
    {
        MYSQL_RES* result =
            static_cast<MYSQL_RES*>(calloc(1, sizeof(MYSQL_RES) + sizeof(unsigned long) * fieldCount));
        MYSQL_DATA* data = static_cast<MYSQL_DATA*>(calloc(1, sizeof(MYSQL_DATA)));
        data->rows = rows.size();
        data->fields = fieldCount;
        MYSQL_ROWS** link = &data->data;
        for (const FakeRow& row : rows) {
            MYSQL_ROWS* node = LayOut(fieldCount, row);
            *link = node;
            link = &node->next;
        }
        result->row_count = rows.size();
        result->field_count = fieldCount;
        result->data = data;
        result->data_cursor = data->data;
        result->lengths = reinterpret_cast<unsigned long*>(result + 1);
        result->eof = 1;
        return result;
    }

private:
    struct RowBlocks {
        MYSQL_ROWS node;
        std::unique_ptr<char*[]> columns;   // fieldCount pointers and the end pointer
        std::unique_ptr<char[]> values;     // the values with their zero bytes, exactly
    };

    MYSQL_ROWS* LayOut(unsigned int fieldCount, const FakeRow& row)
    {
        size_t size = 0;
        for (unsigned int i = 0; i < fieldCount && i < row.size(); i++)
            if (row[i])
                size += row[i]->size() + 1;
        auto blocks = std::make_unique<RowBlocks>();
        blocks->columns.reset(new char*[fieldCount + 1]);
        blocks->values.reset(new char[size]);   // 0 bytes: still a distinct block
        char* at = blocks->values.get();
        for (unsigned int i = 0; i < fieldCount; i++) {
            if (i >= row.size() || !row[i]) {
                blocks->columns[i] = nullptr;
                continue;
            }
            blocks->columns[i] = at;
            memcpy(at, row[i]->data(), row[i]->size());
            at += row[i]->size();
            *at++ = '\0';
        }
        blocks->columns[fieldCount] = at;
        blocks->node.next = nullptr;
        blocks->node.data = blocks->columns.get();
        blocks->node.length = size;
        rows_.push_back(std::move(blocks));
        return &rows_.back()->node;
    }

    std::vector<std::unique_ptr<RowBlocks>> rows_;
};
