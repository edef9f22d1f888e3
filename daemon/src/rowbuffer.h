#ifndef ROWBUFFER_H
#define ROWBUFFER_H

#include "eventmodel.h"

#include <QtGlobal>

#include <cstddef>
#include <deque>
#include <string>

// One row's values as the store binds them, its texts viewing bytes kept elsewhere.
struct RowView
{
    EventKindId kind = EventKindId::MachineConfig;
    // Whether the row is its event's last: the event counts as stored once this row is committed.
    bool endsEvent = true;
    EventValues values;
};

// Rows in arrival order, each encoded in one byte buffer: its kind, whether it ends its event, its time, then each
// column as a number or as a text behind its length. A row takes its texts and 14 to 30 bytes besides, a fifth of
// a row kept as fields and strings, and the buffer keeps its capacity when cleared, so that keeping a row costs
// neither an allocation nor a cache miss of its own.
class RowBuffer
{
public:
    // Appends a copy of the row; the offset at which it starts.
    size_t append(const RowView& row);
    // The row at offset; next, when given, is set to the offset of the row after it.
    RowView view(size_t offset, size_t* next = nullptr) const;
    // The bytes that appending the row adds.
    static size_t encodedSize(const RowView& row);
    void clear();

    bool empty() const { return m_bytes.empty(); }
    size_t bytes() const { return m_bytes.size(); }
    size_t rows() const { return m_rows; }
    // The rows that end their event.
    size_t events() const { return m_events; }

private:
    std::string m_bytes;
    size_t m_rows = 0;
    size_t m_events = 0;
};

// The rows held in memory until the database takes them again, in arrival order, in blocks read from the front.
class HeldRows
{
public:
    // Appends the row after every held row.
    void pushBack(const RowView& row);
    // Puts the rows, in their order, before every held row.
    void pushFront(RowBuffer rows);
    RowView front() const;
    void popFront();

    bool empty() const { return m_rows == 0; }
    size_t rows() const { return m_rows; }
    // The bytes of the held rows' encoding.
    qint64 bytes() const { return m_bytes; }

private:
    struct Block
    {
        RowBuffer rows;
        // The offset of the first row not yet taken.
        size_t front = 0;
    };

    std::deque<Block> m_blocks;
    size_t m_rows = 0;
    qint64 m_bytes = 0;
};

#endif
