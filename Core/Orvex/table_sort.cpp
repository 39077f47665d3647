// Sorting and searching of an open table, in place on its contents file
// (declared with TOpenTable in Core/Orvex/__table.h): the table unit's second
// source, on the same floor.
#include "Core/Orvex/__table.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
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
    // How many leading bytes of a record the order looks at.
    unsigned keyBytes() const { return m_KeyBytes; }
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
// Binary search by halving, shared by both bounds: `probe.before(i, node)`
// tells whether the record at i lies before the answer, and
// `probe.narrowed(first, len)` hears of every range still to halve. `node`
// numbers the probe in the tree of all the halving's paths: 1 for the first,
// then 2n for the probe after going left from n and 2n + 1 after going right
// (find's loop takes the same steps).
template <class Probe>
unsigned long halve(unsigned long first, unsigned long last, Probe& probe) {
    unsigned long node = 1, len = last - first;
    probe.descendKept(first, len, node);
    while (len != 0) {
        probe.narrowed(first, len);
        unsigned long half = len / 2, mid = first + half;
        if (probe.before(mid, node)) {
            first = mid + 1;
            len = len - half - 1;
            node = 2 * node + 1;
        } else {
            len = half;
            node = 2 * node;
        }
    }
    return first;
}
}  // namespace

// The keys of the records that searches of a whole table probe first: the
// top levels of the tree of halving paths, each node's key kept the first
// time a search reads that record, so that a run of searches finds the top
// of every path in memory and reads the file only near its end. Keys of up
// to seven bytes are kept, each as one number (the key's prefix, which
// orders as the bytes do) under the stamp of the filling it belongs to; a
// new filling (another count or contents version) takes a new stamp instead
// of clearing the nodes.
class TOpenTable::TopKeys {
public:
    static constexpr unsigned kLevels = 15;
    static constexpr unsigned kMaxKeyBytes = 7;
    static constexpr unsigned long kOffTree = ~0UL;  // a probe no path of the tree makes

    // The entries come zeroed from calloc, which maps fresh memory for a
    // block this size: a table searched a few times gets only the pages its
    // paths touch.
    TopKeys()
        : m_Nodes(std::size_t(1) << kLevels),
          m_Entries(static_cast<std::uint64_t*>(std::calloc(m_Nodes, sizeof(std::uint64_t)))) {
        if (!m_Entries) throw std::bad_alloc();
    }

    // Makes the keys those of `count` records at contents version `version`.
    void keepFor(unsigned long count, unsigned long version) {
        if (count == m_Count && version == m_Version && m_Stamp != 0) return;
        m_Count = count;
        m_Version = version;
        if (++m_Stamp > kLastStamp) {  // the stamps ran out: forget every node for real
            std::fill(m_Entries.get(), m_Entries.get() + m_Nodes, 0);
            m_Stamp = 1;
        }
    }
    // Whether node's key is kept; if so, `prefix` is set to it.
    bool find(unsigned long node, std::uint64_t& prefix) const {
        if (node >= m_Nodes) return false;  // kOffTree included
        // The nodes four levels down, which a path through this one meets
        // next, fill two cache lines: fetching them now hides most of the
        // wait for the deep levels.
        if (16 * node < m_Nodes) __builtin_prefetch(&m_Entries[16 * node]);
        const std::uint64_t entry = m_Entries[node];
        prefix = entry & kPrefixBits;
        return entry >> kStampShift == m_Stamp;
    }
    void keep(unsigned long node, std::uint64_t prefix) {
        if (node < m_Nodes) m_Entries[node] = std::uint64_t(m_Stamp) << kStampShift | prefix;
    }

private:
    static constexpr unsigned kStampShift = 56;
    static constexpr std::uint64_t kPrefixBits = (std::uint64_t(1) << kStampShift) - 1;
    static constexpr unsigned kLastStamp = 255;

    std::size_t m_Nodes;
    struct Free {
        void operator()(std::uint64_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint64_t[], Free> m_Entries;  // per node: stamp, then the key's prefix
    unsigned m_Stamp = 0;
    unsigned long m_Count = 0;
    unsigned long m_Version = 0;
};

char* TOpenTable::probeBuffer() const {
    m_ProbeBuffer.assign(m_RecordSize + 1, 0);
    return m_ProbeBuffer.data();
}

TOpenTable::TopKeys* TOpenTable::topKeysFor(unsigned long first, unsigned long last) const {
    // A failed stream compares what its buffer held, which kept keys would
    // not reproduce; a part of the table halves along other paths.
    if (first != 0 || last != m_Count || !m_Stream->good()) return nullptr;
    const unsigned keyBytes = KeyOrder(m_Fields).keyBytes();
    if (keyBytes == 0 || keyBytes > TopKeys::kMaxKeyBytes) return nullptr;
    if (!m_TopKeys) m_TopKeys = std::make_shared<TopKeys>();
    m_TopKeys->keepFor(m_Count, m_Table.contentsVersion());
    return m_TopKeys.get();
}

// The searches compare the value's key with records read raw, one small
// read each, into one reused buffer: what readInto and compareTo would do,
// without a record per probe. As there, a stream that failed leaves the
// buffer as it was, and a value of another structure raises on the first
// comparison, after the probe's index check.
//
// Two shortcuts give the same comparisons with fewer reads. A probe of a
// kept node compares the kept prefix instead of reading; the buffer must
// then still hold what those reads would have left there should a later
// read fail, so the last kept key (or tail record, below) is written into it
// before the next read.
// And once the range left is a few hundred bytes, it is read whole and
// halved in memory; should that read fail, the stream is made good again (it
// was before) and the probes read one by one, failing where they would have.
class TOpenTable::KeyProbe {
public:
    KeyProbe(const TOpenTable& table, const TRecord& value, unsigned long first, unsigned long last)
        : m_Table(table), m_Value(value), m_Order(table.m_Fields), m_Keys(table.topKeysFor(first, last)),
          m_Buffer(table.probeBuffer()) {
        if (m_Keys) m_ValuePrefix = m_Order.prefix(valueBytes()) >> 8;
    }

    // compareTo of record i, at `node` of the halving's tree, with the value.
    int recordAgainstValue(unsigned long i, unsigned long node) {
        if (i >= m_Table.m_Count) m_Table.raiseBadIndex(i);
        if (i - m_TailFirst < m_TailCount) {
            checkStructure();
            m_PendingRecord = &m_Tail[(i - m_TailFirst) * m_Table.m_RecordSize];
            m_Pending = false;
            return m_Order.compare(reinterpret_cast<const unsigned char*>(m_PendingRecord), valueBytes());
        }
        std::uint64_t prefix;
        if (m_Keys && m_Keys->find(node, prefix)) {
            checkStructure();
            m_PendingPrefix = prefix;
            m_Pending = true;
            m_PendingRecord = nullptr;
            return prefix < m_ValuePrefix ? -1 : prefix > m_ValuePrefix ? 1 : 0;
        }
        const unsigned char* record = read(i);
        checkStructure();
        if (m_Keys && m_Read) m_Keys->keep(node, m_Order.prefix(record) >> 8);
        return m_Order.compare(record, valueBytes());
    }

    // For halve: lower_bound's test, or upper_bound's with `orEqual`.
    bool before(unsigned long i, unsigned long node) {
        const int c = recordAgainstValue(i, node);
        return m_OrEqual ? c <= 0 : c < 0;
    }
    void orEqual(bool value) { m_OrEqual = value; }
    // The bounds' first steps, taken on kept keys alone for as long as there
    // are kept nodes and the range is wider than the tail read whole: the
    // same steps as halve's, with the probes' checks that cannot fail there
    // (the index, the tail) left out.
    void descendKept(unsigned long& first, unsigned long& len, unsigned long& node) {
        if (!m_Keys) return;
        std::uint64_t prefix;
        while (len * m_Table.m_RecordSize > kTailBytes && m_Keys->find(node, prefix)) {
            checkStructure();
            m_PendingPrefix = prefix;
            m_Pending = true;
            m_PendingRecord = nullptr;
            const unsigned long half = len / 2;
            if (m_OrEqual ? prefix <= m_ValuePrefix : prefix < m_ValuePrefix) {
                first += half + 1;
                len -= half + 1;
                node = 2 * node + 1;
            } else {
                len = half;
                node = 2 * node;
            }
        }
    }
    // The range [first, first + len) is what is left to halve.
    void narrowed(unsigned long first, unsigned long len) {
        if (m_TailTried || len * m_Table.m_RecordSize > kTailBytes) return;
        m_TailTried = true;
        if (first + len > m_Table.m_Count || !m_Table.m_Stream->good()) return;
        if (m_Table.readBytes(first, m_Tail, len)) {
            m_TailFirst = first;
            m_TailCount = len;
        } else {
            m_Table.m_Stream->clear();
        }
    }

private:
    static constexpr unsigned long kTailBytes = 512;

    const unsigned char* read(unsigned long i) {
        if (m_Pending) writePendingKey();
        if (m_PendingRecord) std::memcpy(m_Buffer, m_PendingRecord, m_Table.m_RecordSize);
        m_PendingRecord = nullptr;
        m_Read = !m_Table.m_Stream->fail() && m_Table.readBytes(i, m_Buffer, 1);
        return reinterpret_cast<const unsigned char*>(m_Buffer);
    }
    void writePendingKey() {
        const unsigned n = m_Order.keyBytes();
        for (unsigned k = 0; k < n; ++k) m_Buffer[k] = static_cast<char>(m_PendingPrefix >> (8 * (n - 1 - k)));
        m_Pending = false;
    }
    void checkStructure() {
        if (m_Checked) return;
        if (m_Value.fields() != m_Table.m_Fields) Utils::raise_runtime_error("Couldn't compare records");
        m_Checked = true;
    }
    const unsigned char* valueBytes() const { return reinterpret_cast<const unsigned char*>(m_Value.data()(0)); }

    const TOpenTable& m_Table;
    const TRecord& m_Value;
    KeyOrder m_Order;
    TopKeys* m_Keys;
    char* m_Buffer;
    std::uint64_t m_ValuePrefix = 0;
    std::uint64_t m_PendingPrefix = 0;
    bool m_Pending = false;           // m_PendingPrefix is the last probe's key
    const char* m_PendingRecord = nullptr;  // the last probe's record, from the tail
    bool m_Read = false;
    bool m_Checked = false;
    bool m_OrEqual = false;
    bool m_TailTried = false;
    unsigned long m_TailFirst = 0, m_TailCount = 0;
    char m_Tail[kTailBytes];
};

unsigned long TOpenTable::lower_bound(unsigned long first, unsigned long last, const TRecord& value) const {
    KeyProbe probe(*this, value, first, last);
    return halve(first, last, probe);
}

unsigned long TOpenTable::upper_bound(unsigned long first, unsigned long last, const TRecord& value) const {
    KeyProbe probe(*this, value, first, last);
    probe.orEqual(true);
    return halve(first, last, probe);
}

unsigned long TOpenTable::find(unsigned long first, unsigned long last, const TRecord& value) const {
    const unsigned long end = last;
    if (first == last) return last;
    KeyProbe probe(*this, value, first, last);
    unsigned long node = 1;
    while (first < last) {
        probe.narrowed(first, last - first);
        unsigned long mid = first + (last - first) / 2;
        const int c = probe.recordAgainstValue(mid, node);
        if (c > 0) {
            last = mid;
            node = 2 * node;
        } else if (c < 0) {
            first = mid + 1;
            node = 2 * node + 1;
        } else {
            first = mid;
            break;
        }
    }
    if (first == end) return end;
    return probe.recordAgainstValue(first, TopKeys::kOffTree) != 0 ? end : first;
}

}  // namespace Orvex
