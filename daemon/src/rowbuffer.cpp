#include "rowbuffer.h"

#include <cstdint>
#include <cstring>

namespace {

// Rows held later go into a new block past this size, so that a block taken whole is freed whole.
constexpr size_t heldBlockBytes = 1024 * 1024;

template <typename T>
char* put(char* at, T value)
{
    std::memcpy(at, &value, sizeof value);
    return at + sizeof value;
}

template <typename T>
T get(const std::string& bytes, size_t& offset)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    offset += sizeof value;
    return value;
}

} // namespace

size_t RowBuffer::append(const RowView& row)
{
    const size_t offset = m_bytes.size();
    // Sized once and filled in place: a row costs one growth check, not one per field.
    m_bytes.resize(offset + encodedSize(row));
    char* at = m_bytes.data() + offset;
    const EventKind& kind = eventKind(row.kind);
    at = put(at, std::uint8_t(row.kind));
    at = put(at, std::uint8_t(row.endsEvent ? 1 : 0));
    at = put(at, row.values.time);
    for (int c = 0; c < kind.columnCount; ++c) {
        if (kind.columns[size_t(c)].storage == Storage::Integer) {
            at = put(at, row.values.numbers[size_t(c)]);
            continue;
        }
        const std::string_view text = row.values.texts[size_t(c)];
        at = put(at, std::uint32_t(text.size()));
        if (!text.empty())
            std::memcpy(at, text.data(), text.size());
        at += text.size();
    }
    ++m_rows;
    m_events += row.endsEvent ? 1 : 0;
    return offset;
}

RowView RowBuffer::view(size_t offset, size_t* next) const
{
    RowView row;
    row.kind = EventKindId(get<std::uint8_t>(m_bytes, offset));
    row.endsEvent = get<std::uint8_t>(m_bytes, offset) != 0;
    row.values.time = get<std::uint64_t>(m_bytes, offset);
    const EventKind& kind = eventKind(row.kind);
    for (int c = 0; c < kind.columnCount; ++c) {
        if (kind.columns[size_t(c)].storage == Storage::Integer) {
            row.values.numbers[size_t(c)] = get<std::uint64_t>(m_bytes, offset);
            continue;
        }
        const auto length = get<std::uint32_t>(m_bytes, offset);
        row.values.texts[size_t(c)] = std::string_view(m_bytes.data() + offset, length);
        offset += length;
    }
    if (next)
        *next = offset;
    return row;
}

void RowBuffer::clear()
{
    m_bytes.clear();
    m_rows = 0;
    m_events = 0;
}

void HeldRows::pushBack(const RowView& row)
{
    if (m_blocks.empty() || m_blocks.back().rows.bytes() >= heldBlockBytes)
        m_blocks.emplace_back();
    RowBuffer& back = m_blocks.back().rows;
    const size_t before = back.bytes();
    back.append(row);
    m_bytes += qint64(back.bytes() - before);
    ++m_rows;
}

void HeldRows::pushFront(RowBuffer rows)
{
    if (rows.empty())
        return;
    m_rows += rows.rows();
    m_bytes += qint64(rows.bytes());
    m_blocks.push_front(Block{std::move(rows), 0});
}

RowView HeldRows::front() const
{
    Q_ASSERT(!empty());
    const Block& block = m_blocks.front();
    return block.rows.view(block.front);
}

void HeldRows::popFront()
{
    Q_ASSERT(!empty());
    Block& block = m_blocks.front();
    const size_t offset = block.front;
    block.rows.view(offset, &block.front);
    m_bytes -= qint64(block.front - offset);
    --m_rows;
    if (block.front == block.rows.bytes())
        m_blocks.pop_front();
}

size_t RowBuffer::encodedSize(const RowView& row)
{
    const EventKind& kind = eventKind(row.kind);
    size_t bytes = 2 + sizeof row.values.time;
    for (int c = 0; c < kind.columnCount; ++c) {
        bytes += kind.columns[size_t(c)].storage == Storage::Integer
                     ? sizeof(std::uint64_t)
                     : sizeof(std::uint32_t) + row.values.texts[size_t(c)].size();
    }
    return bytes;
}
