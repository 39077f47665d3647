// Sorting and searching of an open table, in place on its contents file
// (declared with TOpenTable in Core/Orvex/__table.h): the table unit's second
// source, on the same floor.
#include "Core/Orvex/__table.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "support/Utils.h"

namespace Orvex {

namespace {

// The key order of records held as raw bytes, the same as TRecord::compareTo
// between records of one structure: the whole key bytes as unsigned bytes,
// then the masked byte after them.
class KeyOrder {
public:
    explicit KeyOrder(const TFields& fields)
        : m_Whole(fields.bitCompareSize() / 8),
          m_TailMask(static_cast<unsigned char>(255u << (8 - fields.bitCompareSize() % 8))),
          m_KeyBytes(m_Whole + (m_TailMask != 0 ? 1 : 0)) {}

    // The first eight key bytes as a big-endian number, the tail masked and
    // missing bytes zero: numbers compare as those bytes do.
    std::uint64_t prefix(const unsigned char* record) const {
        std::uint64_t value = 0;
        const unsigned n = std::min(m_KeyBytes, 8u);
        for (unsigned i = 0; i < n; ++i) value = value << 8 | keyByte(record, i);
        return n == 0 ? 0 : value << (8 * (8 - n));
    }
    // Whether two records of equal prefixes may still differ.
    bool beyondPrefix() const { return m_KeyBytes > 8; }
    // The key bytes after the prefix, compared as compareTo does.
    int compareBeyondPrefix(const unsigned char* a, const unsigned char* b) const { return compareFrom(8, a, b); }
    int compare(const unsigned char* a, const unsigned char* b) const { return compareFrom(0, a, b); }

private:
    unsigned char keyByte(const unsigned char* record, unsigned i) const {
        return i == m_Whole ? record[i] & m_TailMask : record[i];
    }
    int compareFrom(unsigned start, const unsigned char* a, const unsigned char* b) const {
        for (unsigned i = start; i < m_KeyBytes; ++i) {
            const unsigned char x = keyByte(a, i), y = keyByte(b, i);
            if (x != y) return x > y ? 1 : -1;
        }
        return 0;
    }

    unsigned m_Whole;
    unsigned char m_TailMask;
    unsigned m_KeyBytes;
};

// One record of a range being sorted in memory: its key's prefix and where
// its bytes lie in the range as read.
struct SortEntry {
    std::uint64_t prefix;
    std::uint32_t index;
};

// The documented sort on an array of entries: the same pivots, scans,
// exchanges and finishing order as TOpenTable::sortRange on the file, so the
// records end in the same places and progress is reported at the same steps.
template <class Placed>
class EntrySort {
public:
    EntrySort(const KeyOrder& order, const unsigned char* records, std::size_t recordSize,
              std::vector<SortEntry>& entries, Placed placed)
        : m_Order(order), m_Records(records), m_RecordSize(recordSize), m_Entries(entries), m_Placed(placed) {}

    void sortRange(std::size_t from, std::size_t to) {
        while (to - from >= 4) {
            const SortEntry pivot = m_Entries[from + (to - from) / 2];
            const std::size_t cut = partition(from, to, pivot);
            if (cut - from <= to - cut) {
                sortRange(from, cut);
                from = cut;
            } else {
                sortRange(cut, to);
                to = cut;
            }
        }
        if (to - from == 2) sort2(from);
        if (to - from == 3) sort3(from);
        m_Placed(to - from);
    }

private:
    bool less(const SortEntry& a, const SortEntry& b) const {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return m_Order.beyondPrefix() && m_Order.compareBeyondPrefix(bytes(a), bytes(b)) < 0;
    }
    bool notGreater(const SortEntry& a, const SortEntry& b) const { return !less(b, a); }
    const unsigned char* bytes(const SortEntry& e) const { return m_Records + e.index * m_RecordSize; }

    std::size_t partition(std::size_t first, std::size_t last, const SortEntry& pivot) {
        for (;;) {
            while (less(m_Entries[first], pivot)) ++first;
            --last;
            while (less(pivot, m_Entries[last])) --last;
            if (!(first < last)) return first;
            std::swap(m_Entries[first], m_Entries[last]);
            ++first;
        }
    }
    void sort2(std::size_t i) {
        if (less(m_Entries[i + 1], m_Entries[i])) std::swap(m_Entries[i], m_Entries[i + 1]);
    }
    // The cases of partialSort3, in its order.
    void sort3(std::size_t i) {
        const SortEntry x = m_Entries[i], y = m_Entries[i + 1], z = m_Entries[i + 2];
        SortEntry* out = &m_Entries[i];
        if (notGreater(x, y)) {
            if (!notGreater(x, z)) out[0] = z, out[1] = x, out[2] = y;
            else if (!notGreater(y, z)) out[1] = z, out[2] = y;
        } else if (!notGreater(y, z)) {
            out[0] = z, out[2] = x;
        } else if (notGreater(z, x)) {
            out[0] = y, out[1] = z, out[2] = x;
        } else {
            out[0] = y, out[1] = x;
        }
    }

    const KeyOrder& m_Order;
    const unsigned char* m_Records;
    std::size_t m_RecordSize;
    std::vector<SortEntry>& m_Entries;
    Placed m_Placed;
};

// Writes the records whose place changed, gathering neighbours into one
// write: `write(position, bytes, count)` gets runs in position order.
template <class Write>
void writeMoved(const std::vector<SortEntry>& entries, const unsigned char* records, std::size_t recordSize,
                Write write) {
    const std::size_t chunkRecords = std::max<std::size_t>(1, (std::size_t(1) << 20) / std::max<std::size_t>(recordSize, 1));
    std::vector<char> chunk;
    chunk.reserve(chunkRecords * recordSize);
    std::size_t runStart = 0;
    auto flush = [&] {
        if (!chunk.empty()) write(runStart, chunk.data(), chunk.size() / recordSize);
        chunk.clear();
    };
    for (std::size_t p = 0; p < entries.size(); ++p) {
        if (entries[p].index == p) {
            flush();
            continue;
        }
        if (chunk.empty()) runStart = p;
        const char* source = reinterpret_cast<const char*>(records) + entries[p].index * recordSize;
        chunk.insert(chunk.end(), source, source + recordSize);
        if (chunk.size() >= chunkRecords * recordSize) flush();
    }
    flush();
}

}  // namespace

// The record-by-record way: every comparison reads its records from the file
// and every exchange writes them back; two reusable records keep the loops
// free of allocation.

void TOpenTable::sort() {
    if (m_Progress) m_Progress->start(static_cast<int>(m_Count));
    partialSort(0, m_Count);
    if (m_Progress) m_Progress->finish();
}

void TOpenTable::partialSort(unsigned long from, unsigned long to) {
    if (to > m_Count) raiseBadIndex(to);
    if (from > to) raiseBadIndex(from);
    unsigned long done = from;
    if (fitsSortBudget(from, to))
        sortInMemory(from, to, done);
    else
        sortRange(from, to, done);
}

bool TOpenTable::fitsSortBudget(unsigned long from, unsigned long to) const {
    // A stream that failed already keeps the record-by-record way, whose
    // reads and errors it decides.
    if (!m_Stream->good() || m_RecordSize == 0) return false;
    const unsigned long n = to - from;
    if (n > UINT32_MAX) return false;
    return n <= m_SortBudget / (m_RecordSize + sizeof(SortEntry));
}

void TOpenTable::sortInMemory(unsigned long from, unsigned long to, unsigned long& done) {
    const std::size_t n = to - from;
    std::vector<unsigned char> records(n * m_RecordSize);
    if (n != 0 && !readBytes(from, reinterpret_cast<char*>(records.data()), n)) raiseUnreadable();
    const KeyOrder order(m_Fields);
    std::vector<SortEntry> entries(n);
    for (std::size_t k = 0; k < n; ++k)
        entries[k] = SortEntry{order.prefix(&records[k * m_RecordSize]), static_cast<std::uint32_t>(k)};
    auto placedHere = [this, &done](unsigned long count) { placed(done, count); };
    EntrySort<decltype(placedHere)>(order, records.data(), m_RecordSize, entries, placedHere).sortRange(0, n);
    writeMoved(entries, records.data(), m_RecordSize, [this, from](std::size_t position, const char* bytes, std::size_t count) {
        writeRecords(from + position, bytes, count);
    });
}

void TOpenTable::placed(unsigned long& count, unsigned long n) {
    count += n;
    if (m_Progress) m_Progress->update(static_cast<int>(count));
}

void TOpenTable::sortRange(unsigned long from, unsigned long to, unsigned long& done) {
    while (to - from >= 4) {
        TRecord pivot = at(from + (to - from) / 2);
        unsigned long cut = __unguarded_partition(from, to, pivot);
        // The two parts are independent: finishing the smaller one first and
        // looping on the larger bounds the depth without changing the result.
        if (cut - from <= to - cut) {
            sortRange(from, cut, done);
            from = cut;
        } else {
            sortRange(cut, to, done);
            to = cut;
        }
    }
    if (to - from == 2) partialSort2(from);
    if (to - from == 3) partialSort3(from);
    placed(done, to - from);
}

void TOpenTable::partialSortN(unsigned long from, unsigned long to) {
    TRecord pivot = at(from + (to - from) / 2);
    unsigned long cut = __unguarded_partition(from, to, pivot);
    partialSort(from, cut);
    partialSort(cut, to);
}

void TOpenTable::partialSort2(unsigned long i) {
    TRecord x = at(i), y = at(i + 1);
    if (y.compareTo(x) < 0) {
        writeFrom(i, y);
        writeFrom(i + 1, x);
    }
}

void TOpenTable::partialSort3(unsigned long i) {
    TRecord x = at(i), y = at(i + 1), z = at(i + 2);
    auto le = [](const TRecord& a, const TRecord& b) { return a.compareTo(b) <= 0; };
    if (le(x, y)) {
        if (!le(x, z)) {  // z x y
            writeFrom(i, z);
            writeFrom(i + 1, x);
            writeFrom(i + 2, y);
        } else if (!le(y, z)) {  // x z y
            writeFrom(i + 1, z);
            writeFrom(i + 2, y);
        }
    } else if (!le(y, z)) {  // z y x
        writeFrom(i, z);
        writeFrom(i + 2, x);
    } else if (le(z, x)) {  // y z x
        writeFrom(i, y);
        writeFrom(i + 1, z);
        writeFrom(i + 2, x);
    } else {  // y x z
        writeFrom(i, y);
        writeFrom(i + 1, x);
    }
}

unsigned long TOpenTable::__unguarded_partition(unsigned long first, unsigned long last, const TRecord& pivot) {
    TRecord x(m_Fields), y(m_Fields);
    // A record read short would steer the scans past the range's ends.
    auto read = [this](unsigned long i, TRecord& r) {
        readInto(i, r);
        if (m_Stream->fail()) raiseUnreadable();
    };
    for (;;) {
        read(first, x);
        while (x.compareTo(pivot) < 0) read(++first, x);
        read(--last, y);
        while (pivot.compareTo(y) < 0) read(--last, y);
        if (!(first < last)) return first;
        writeFrom(first, y);
        writeFrom(last, x);
        ++first;
    }
}

TRecord TOpenTable::__median(unsigned long i, unsigned long j, unsigned long k) const {
    TRecord x = at(i), y = at(j), z = at(k);
    if (x.compareTo(y) < 0) {
        if (y.compareTo(z) < 0) return y;
        return x.compareTo(z) < 0 ? z : x;
    }
    if (x.compareTo(z) < 0) return x;
    return y.compareTo(z) < 0 ? z : y;
}

namespace {
// Binary search by halving, shared by both bounds: `before(i)` tells whether
// the record at i lies before the answer.
template <class Before>
unsigned long halve(unsigned long first, unsigned long last, Before before) {
    for (unsigned long len = last - first; len != 0;) {
        unsigned long half = len / 2, mid = first + half;
        if (before(mid)) {
            first = mid + 1;
            len = len - half - 1;
        } else {
            len = half;
        }
    }
    return first;
}
}  // namespace

// The searches compare the value's key with records read raw, one small
// read each, into one reused buffer: what readInto and compareTo would do,
// without a record per probe. As there, a stream that failed leaves the
// buffer as it was, and a value of another structure raises on the first
// comparison, after the probe's index check.
class TOpenTable::KeyProbe {
public:
    KeyProbe(const TOpenTable& table, const TRecord& value)
        : m_Table(table), m_Value(value), m_Order(table.m_Fields), m_Buffer(table.m_RecordSize + 1, 0) {}

    // compareTo of record i with the value.
    int recordAgainstValue(unsigned long i) { return m_Order.compare(read(i), valueBytes()); }

private:
    const unsigned char* read(unsigned long i) {
        if (i >= m_Table.m_Count) m_Table.raiseBadIndex(i);
        if (!m_Table.m_Stream->fail()) m_Table.readBytes(i, m_Buffer.data(), 1);
        if (!m_Checked) {
            if (m_Value.fields() != m_Table.m_Fields) Utils::raise_runtime_error("Couldn't compare records");
            m_Checked = true;
        }
        return reinterpret_cast<const unsigned char*>(m_Buffer.data());
    }
    const unsigned char* valueBytes() const { return reinterpret_cast<const unsigned char*>(m_Value.data()(0)); }

    const TOpenTable& m_Table;
    const TRecord& m_Value;
    KeyOrder m_Order;
    std::vector<char> m_Buffer;
    bool m_Checked = false;
};

unsigned long TOpenTable::lower_bound(unsigned long first, unsigned long last, const TRecord& value) const {
    KeyProbe probe(*this, value);
    return halve(first, last, [&](unsigned long i) { return probe.recordAgainstValue(i) < 0; });
}

unsigned long TOpenTable::upper_bound(unsigned long first, unsigned long last, const TRecord& value) const {
    KeyProbe probe(*this, value);
    return halve(first, last, [&](unsigned long i) { return probe.recordAgainstValue(i) <= 0; });
}

unsigned long TOpenTable::find(unsigned long first, unsigned long last, const TRecord& value) const {
    const unsigned long end = last;
    if (first == last) return last;
    KeyProbe probe(*this, value);
    while (first < last) {
        unsigned long mid = first + (last - first) / 2;
        const int c = probe.recordAgainstValue(mid);
        if (c > 0) {
            last = mid;
        } else if (c < 0) {
            first = mid + 1;
        } else {
            first = mid;
            break;
        }
    }
    if (first == end) return end;
    return probe.recordAgainstValue(first) != 0 ? end : first;
}

}  // namespace Orvex
