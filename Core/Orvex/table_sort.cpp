// Sorting and searching of an open table, in place on its contents file
// (declared with TOpenTable in Core/Orvex/__table.h): the table unit's second
// source, on the same floor.
#include "Core/Orvex/__table.h"

#include <algorithm>
#include <boost/endian/conversion.hpp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "support/Utils.h"
#include "support/scratch.h"

namespace Orvex {

namespace {

// The key order of records held as raw bytes, the same as TRecord::compareTo
// between records of one structure: the whole key bytes as unsigned bytes,
// then the masked byte after them.
class KeyOrder {
public:
    explicit KeyOrder(const TFields& fields)
        : m_Bits(fields.bitCompareSize()),
          m_Whole(m_Bits / 8),
          m_TailMask(static_cast<unsigned char>(255u << (8 - m_Bits % 8))),
          m_KeyBytes(m_Whole + (m_TailMask != 0 ? 1 : 0)),
          m_PrefixMask(m_Bits == 0 ? 0 : m_Bits >= 64 ? ~std::uint64_t(0) : ~std::uint64_t(0) << (64 - m_Bits)) {}

    unsigned keyBits() const { return m_Bits; }
    // The key's first 64 bits as a big-endian number, the bits after the key
    // zero: numbers compare as those bits do. Reads eight bytes from
    // `record` whatever the record size, so the caller pads its buffer.
    std::uint64_t prefix(const unsigned char* record) const {
        return boost::endian::load_big_u64(record) & m_PrefixMask;
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

    unsigned m_Bits;
    unsigned m_Whole;
    unsigned char m_TailMask;
    unsigned m_KeyBytes;
    std::uint64_t m_PrefixMask;
};

// A range's records as read, with room after the last one for the eight
// bytes KeyOrder::prefix reads. Scratch memory: the read fills it.
class RecordCopy {
public:
    RecordCopy(std::size_t count, std::size_t recordSize)
        : m_Size(recordSize), m_Bytes(scratchArray<unsigned char>(count * recordSize + kPadding)) {
        std::fill_n(m_Bytes.get() + count * recordSize, kPadding, 0);
    }
    char* data() { return reinterpret_cast<char*>(m_Bytes.get()); }
    const unsigned char* record(std::size_t index) const { return m_Bytes.get() + index * m_Size; }
    std::size_t recordSize() const { return m_Size; }

private:
    static constexpr std::size_t kPadding = 8;
    std::size_t m_Size;
    ScratchArray<unsigned char> m_Bytes;
};

// How the in-memory sort holds one record of the range: enough of its key
// to order it, and its index in the range as read. Each kind of entry makes
// entries and orders them exactly as KeyOrder orders their records.

// A key of at most 32 bits shares one 64-bit word with the index: the key
// in the top half, the index in the bottom one. Entries compare on the top
// half alone, so that records of equal keys compare equal, as on the file.
class WordEntries {
public:
    typedef std::uint64_t Entry;
    static bool fits(const KeyOrder& order) { return order.keyBits() <= 32; }

    WordEntries(const KeyOrder& order, const RecordCopy& records) : m_Order(order), m_Records(records) {}
    Entry entry(std::uint32_t index) const { return m_Order.prefix(m_Records.record(index)) | index; }
    static std::uint32_t indexOf(Entry e) { return static_cast<std::uint32_t>(e); }
    static bool less(Entry a, Entry b) { return (a >> 32) < (b >> 32); }

private:
    const KeyOrder& m_Order;
    const RecordCopy& m_Records;
};

// Any longer key: its first 64 bits beside the index; entries of equal
// prefixes compare the rest of their keys in the records' bytes. The prefix
// is kept in two 32-bit halves, so that an entry takes 12 bytes, not 16.
class WideEntries {
public:
    struct Entry {
        std::uint32_t prefixHigh;
        std::uint32_t prefixLow;
        std::uint32_t index;
        std::uint64_t prefix() const { return std::uint64_t(prefixHigh) << 32 | prefixLow; }
    };

    WideEntries(const KeyOrder& order, const RecordCopy& records) : m_Order(order), m_Records(records) {}
    Entry entry(std::uint32_t index) const {
        const std::uint64_t prefix = m_Order.prefix(m_Records.record(index));
        return Entry{static_cast<std::uint32_t>(prefix >> 32), static_cast<std::uint32_t>(prefix), index};
    }
    static std::uint32_t indexOf(const Entry& e) { return e.index; }
    bool less(const Entry& a, const Entry& b) const {
        if (a.prefix() != b.prefix()) return a.prefix() < b.prefix();
        return m_Order.beyondPrefix() &&
               m_Order.compareBeyondPrefix(m_Records.record(a.index), m_Records.record(b.index)) < 0;
    }

private:
    const KeyOrder& m_Order;
    const RecordCopy& m_Records;
};

// The bytes an entry of the structure's kind takes.
std::size_t entryBytes(const KeyOrder& order) {
    return WordEntries::fits(order) ? sizeof(WordEntries::Entry) : sizeof(WideEntries::Entry);
}

// The documented sort on an array of entries: the same pivots, scans,
// exchanges and finishing order as TOpenTable::sortRange on the file, so the
// records end in the same places and progress is reported at the same steps.
template <class Entries, class Placed>
class EntrySort {
public:
    typedef typename Entries::Entry Entry;

    EntrySort(const Entries& entries, Entry* array, Placed placed) : m_Keys(entries), m_Entries(array), m_Placed(placed) {}

    void sortRange(std::size_t from, std::size_t to) {
        while (to - from >= 4) {
            const Entry pivot = m_Entries[from + (to - from) / 2];
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
    // Positions a block scan looks at in one go: small enough for a byte
    // offset, large enough that the one mispredicted branch per block
    // (where its stops run out) costs little.
    static constexpr std::size_t kBlock = 64;

    bool less(const Entry& a, const Entry& b) const { return m_Keys.less(a, b); }
    bool notGreater(const Entry& a, const Entry& b) const { return !less(b, a); }

    // The unguarded partition of the text: the left scan stops at an entry
    // not less than the pivot, the right one at an entry the pivot is not
    // less than, each such pair is exchanged, and the left scan's stop
    // where the two cross is the cut.
    std::size_t partition(std::size_t first, std::size_t last, const Entry& pivot) {
        if (last - first >= 2 * kBlock) exchangeInBlocks(first, last, pivot);
        for (;;) {
            while (less(m_Entries[first], pivot)) ++first;
            --last;
            while (less(pivot, m_Entries[last])) --last;
            if (!(first < last)) return first;
            std::swap(m_Entries[first], m_Entries[last]);
            ++first;
        }
    }

    // Makes the first exchanges of the partition above a block at a time,
    // with no branch per entry scanned: a block from each end notes where
    // its scan would stop, and the k-th stop from the left is exchanged with
    // the k-th stop from the right, as the scans pair them. While the blocks
    // take only positions no exchange has touched, the stops noted are the
    // scans' own and every left stop lies before every right one, so each
    // pair is one the scans exchange too. Stops as soon as fewer than a
    // block of untouched positions remain for a side that needs one, and
    // leaves `first` just past the last left stop exchanged and `last` on
    // the last right one: where the scans stand after that exchange, for
    // them to finish from.
    void exchangeInBlocks(std::size_t& first, std::size_t& last, const Entry& pivot) {
        std::uint8_t leftStops[kBlock], rightStops[kBlock];
        std::size_t leftCount = 0, leftTaken = 0, rightCount = 0, rightTaken = 0;
        std::size_t leftBase = 0, rightBase = 0;
        std::size_t untouchedFrom = first, untouchedTo = last;
        for (;;) {
            if (leftTaken == leftCount) {
                if (untouchedTo - untouchedFrom < kBlock) return;
                leftBase = untouchedFrom;
                leftCount = leftTaken = 0;
                for (std::size_t i = 0; i < kBlock; ++i) {
                    leftStops[leftCount] = static_cast<std::uint8_t>(i);
                    leftCount += !less(m_Entries[leftBase + i], pivot);
                }
                untouchedFrom += kBlock;
            }
            if (rightTaken == rightCount) {
                if (untouchedTo - untouchedFrom < kBlock) return;
                rightBase = untouchedTo - 1;
                rightCount = rightTaken = 0;
                for (std::size_t i = 0; i < kBlock; ++i) {
                    rightStops[rightCount] = static_cast<std::uint8_t>(i);
                    rightCount += !less(pivot, m_Entries[rightBase - i]);
                }
                untouchedTo -= kBlock;
            }
            const std::size_t pairs = std::min(leftCount - leftTaken, rightCount - rightTaken);
            if (pairs == 0) continue;
            for (std::size_t k = leftTaken, j = rightTaken; k < leftTaken + pairs; ++k, ++j)
                std::swap(m_Entries[leftBase + leftStops[k]], m_Entries[rightBase - rightStops[j]]);
            leftTaken += pairs;
            rightTaken += pairs;
            first = leftBase + leftStops[leftTaken - 1] + 1;
            last = rightBase - rightStops[rightTaken - 1];
        }
    }

    void sort2(std::size_t i) {
        if (less(m_Entries[i + 1], m_Entries[i])) std::swap(m_Entries[i], m_Entries[i + 1]);
    }
    // The cases of partialSort3, in its order.
    void sort3(std::size_t i) {
        const Entry x = m_Entries[i], y = m_Entries[i + 1], z = m_Entries[i + 2];
        Entry* out = &m_Entries[i];
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

    const Entries& m_Keys;
    Entry* m_Entries;
    Placed m_Placed;
};

// Writes the records whose place changed, gathering neighbours into one
// write: `write(position, bytes, count)` gets runs in position order, of at
// most 64 KiB, which stay in the cache between the gathering and the write.
template <class Entries, class Write>
void writeMoved(const typename Entries::Entry* entries, std::size_t count, const RecordCopy& records, Write write) {
    const std::size_t recordSize = records.recordSize();
    const std::size_t chunkRecords = std::max<std::size_t>(1, (std::size_t(1) << 16) / recordSize);
    std::unique_ptr<char[]> chunk(new char[chunkRecords * recordSize]);
    std::size_t runStart = 0, inChunk = 0;
    auto flush = [&] {
        if (inChunk != 0) write(runStart, chunk.get(), inChunk);
        inChunk = 0;
    };
    // The sources lie anywhere in the copy, each a likely cache miss: asking
    // for them some entries ahead overlaps the misses.
    const std::size_t kAhead = 16;
    for (std::size_t p = 0; p < count; ++p) {
        if (p + kAhead < count) __builtin_prefetch(records.record(Entries::indexOf(entries[p + kAhead])));
        const std::uint32_t source = Entries::indexOf(entries[p]);
        if (source == p) {
            flush();
            continue;
        }
        if (inChunk == 0) runStart = p;
        std::memcpy(chunk.get() + inChunk * recordSize, records.record(source), recordSize);
        if (++inChunk == chunkRecords) flush();
    }
    flush();
}

// Sorts the records in `records` by entries of the given kind, then hands
// the moved ones to `write`.
template <class Entries, class Placed, class Write>
void sortByEntries(const KeyOrder& order, const RecordCopy& records, std::size_t count, Placed placed, Write write) {
    typedef typename Entries::Entry Entry;
    const Entries keys(order, records);
    const ScratchArray<Entry> entries = scratchArray<Entry>(count);
    for (std::size_t k = 0; k < count; ++k) entries[k] = keys.entry(static_cast<std::uint32_t>(k));
    EntrySort<Entries, Placed>(keys, entries.get(), placed).sortRange(0, count);
    writeMoved<Entries>(entries.get(), count, records, write);
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
    return n <= m_SortBudget / (m_RecordSize + entryBytes(KeyOrder(m_Fields)));
}

void TOpenTable::sortInMemory(unsigned long from, unsigned long to, unsigned long& done) {
    const std::size_t n = to - from;
    RecordCopy records(n, m_RecordSize);
    if (n != 0 && !readBytes(from, records.data(), n)) raiseUnreadable();
    const KeyOrder order(m_Fields);
    auto placedHere = [this, &done](unsigned long count) { placed(done, count); };
    auto writeHere = [this, from](std::size_t position, const char* bytes, std::size_t count) {
        writeRecords(from + position, bytes, count);
    };
    if (WordEntries::fits(order))
        sortByEntries<WordEntries>(order, records, n, placedHere, writeHere);
    else
        sortByEntries<WideEntries>(order, records, n, placedHere, writeHere);
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
        if (probe.halveInTail(first, len)) break;
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
// A search reads the last range of at most this many bytes whole.
constexpr unsigned long kTailBytes = 512;
}  // namespace

// The keys of the records that searches of a whole table probe first: the
// top levels of the tree of halving paths, each node's key kept the first
// time a search reads that record, so that a run of searches finds the top
// of every path in memory and reads the file only near its end. The levels
// kept are as many as bring a range down to the tail read whole, at least
// 15 and at most 20 (2^20 nodes, 4 MiB of narrow keys). Keys of up
// to seven bytes are kept, each as one number (the key's bytes, which order
// as the bytes do) under the stamp of the filling it belongs to: in four
// bytes for keys of up to three bytes, else in eight. A new filling (another
// count or contents version) takes a new stamp instead of clearing the nodes.
class TOpenTable::TopKeys {
public:
    static constexpr unsigned kFewestLevels = 15;
    static constexpr unsigned kMostLevels = 20;
    static constexpr unsigned kMaxKeyBytes = 7;
    static constexpr unsigned long kOffTree = ~0UL;  // a probe no path of the tree makes

    // The levels to keep for `count` records of `recordSize` bytes.
    static unsigned levelsFor(unsigned long count, unsigned long recordSize) {
        const unsigned long tailRecords = std::max(1UL, kTailBytes / recordSize);
        unsigned levels = kFewestLevels;
        while (levels < kMostLevels && (count >> levels) > tailRecords) ++levels;
        return levels;
    }

    // The entries come zeroed from calloc, which maps fresh memory for a
    // block this size: a table searched a few times gets only the pages its
    // paths touch. Past the nodes lie as many entries that are never kept,
    // the children of the deepest level, which `descend` reads ahead.
    TopKeys(unsigned keyBytes, unsigned levels)
        : m_KeyBytes(keyBytes), m_Levels(levels), m_Narrow(keyBytes <= 3), m_StampShift(m_Narrow ? 24 : 56),
          m_Nodes(std::size_t(1) << levels),
          m_Memory(std::calloc(2 * m_Nodes, m_Narrow ? sizeof(std::uint32_t) : sizeof(std::uint64_t))) {
        if (!m_Memory) throw std::bad_alloc();
    }

    unsigned keyBytes() const { return m_KeyBytes; }
    unsigned levels() const { return m_Levels; }
    // The number a record's key is kept as, from the key order's prefix.
    std::uint64_t valueOf(std::uint64_t prefix) const { return prefix >> (64 - 8 * m_KeyBytes); }

    // Makes the keys those of `count` records at contents version `version`.
    void keepFor(unsigned long count, unsigned long version) {
        if (count == m_Count && version == m_Version && m_Stamp != 0) return;
        m_Count = count;
        m_Version = version;
        if (++m_Stamp > kLastStamp) {  // the stamps ran out: forget every node for real
            std::memset(m_Memory.get(), 0, m_Nodes * (m_Narrow ? sizeof(std::uint32_t) : sizeof(std::uint64_t)));
            m_Stamp = 1;
        }
    }
    // Whether node's key is kept; if so, `value` is set to it.
    bool find(unsigned long node, std::uint64_t& value) const {
        if (node >= m_Nodes) return false;  // kOffTree included
        // The nodes four levels down, which a path through this one meets
        // next, lie together: fetching them now hides most of the wait for
        // the deep levels.
        std::uint64_t entry;
        if (m_Narrow) {
            const std::uint32_t* entries = static_cast<const std::uint32_t*>(m_Memory.get());
            if (16 * node < m_Nodes) __builtin_prefetch(&entries[16 * node]);
            entry = entries[node];
        } else {
            const std::uint64_t* entries = static_cast<const std::uint64_t*>(m_Memory.get());
            if (16 * node < m_Nodes) __builtin_prefetch(&entries[16 * node]);
            entry = entries[node];
        }
        value = entry & ((std::uint64_t(1) << m_StampShift) - 1);
        return entry >> m_StampShift == m_Stamp;
    }
    // Halve's steps down the kept nodes from `node`, kept with a number
    // below `bound` or not: `step(right)` takes each step and says whether
    // to go on. Ends with `node` the first one not taken: unkept, off the
    // kept levels, or where step said stop.
    template <class Step>
    void descend(unsigned long& node, std::uint64_t bound, Step&& step) const {
        if (m_Narrow)
            descendIn(static_cast<const std::uint32_t*>(m_Memory.get()), node, bound, step);
        else
            descendIn(static_cast<const std::uint64_t*>(m_Memory.get()), node, bound, step);
    }
    void keep(unsigned long node, std::uint64_t value) {
        if (node >= m_Nodes) return;
        const std::uint64_t entry = std::uint64_t(m_Stamp) << m_StampShift | value;
        if (m_Narrow)
            static_cast<std::uint32_t*>(m_Memory.get())[node] = static_cast<std::uint32_t>(entry);
        else
            static_cast<std::uint64_t*>(m_Memory.get())[node] = entry;
    }

private:
    static constexpr unsigned kLastStamp = 255;

    // Each step reads both children of the node before its comparison
    // picks one, so that the read of the next key does not wait for the
    // comparison: the walk down costs a comparison per level rather than a
    // read and a comparison.
    template <class Entry, class Step>
    void descendIn(const Entry* entries, unsigned long& node, std::uint64_t bound, Step& step) const {
        const Entry valueMask = (Entry(1) << m_StampShift) - 1;
        const Entry stamp = static_cast<Entry>(m_Stamp);
        Entry entry = entries[node];
        for (;;) {
            if (16 * node < m_Nodes) __builtin_prefetch(&entries[16 * node]);  // as in find
            const Entry left = entries[2 * node], right = entries[2 * node + 1];
            const unsigned long goRight = (entry & valueMask) < bound;
            node = 2 * node + goRight;
            entry = goRight ? right : left;
            if (!step(goRight) || entry >> m_StampShift != stamp) return;
        }
    }

    unsigned m_KeyBytes;
    unsigned m_Levels;
    bool m_Narrow;
    unsigned m_StampShift;
    std::size_t m_Nodes;
    struct Free {
        void operator()(void* p) const { std::free(p); }
    };
    std::unique_ptr<void, Free> m_Memory;  // per node: stamp, then the key
    unsigned m_Stamp = 0;
    unsigned long m_Count = 0;
    unsigned long m_Version = 0;
};

char* TOpenTable::probeBuffer() const {
    if (m_ProbeBuffer.size() < m_RecordSize + 1) m_ProbeBuffer.resize(m_RecordSize + 1);
    return m_ProbeBuffer.data();
}

TOpenTable::TopKeys* TOpenTable::topKeysFor(unsigned long first, unsigned long last, unsigned keyBytes) const {
    // A failed stream reads nothing and compares zeros, which kept keys would
    // not reproduce; a part of the table halves along other paths.
    if (first != 0 || last != m_Count || !m_Stream->good()) return nullptr;
    if (keyBytes == 0 || keyBytes > TopKeys::kMaxKeyBytes) return nullptr;
    const unsigned levels = TopKeys::levelsFor(m_Count, m_RecordSize);
    if (!m_TopKeys || m_TopKeys->keyBytes() != keyBytes || m_TopKeys->levels() != levels)
        m_TopKeys = std::make_shared<TopKeys>(keyBytes, levels);
    m_TopKeys->keepFor(m_Count, m_Table.contentsVersion());
    return m_TopKeys.get();
}

// The searches compare the value's key with records read raw, one small
// read each, into one reused buffer zeroed before each read: what `at` and
// compareTo would do, without a record per probe. As there, a stream that
// failed reads nothing and a short read keeps the bytes it got, and a value
// of another structure raises on the first comparison, after the probe's
// index check.
//
// Two shortcuts give the same comparisons with fewer reads. A probe of a
// kept node compares the kept prefix instead of reading (kept keys are
// taken only from reads that succeeded, and a search starting on a failed
// stream uses none). And once the range left is a few hundred bytes, it is
// read whole and halved in memory; should that read fail, the stream is
// made good again (it was before) and the probes read one by one.
class TOpenTable::KeyProbe {
public:
    KeyProbe(const TOpenTable& table, const TRecord& value, unsigned long first, unsigned long last)
        : m_Table(table), m_Value(value), m_Order(table.m_Fields), m_Keys(table.topKeysFor(first, last, m_Order.keyBytes())),
          m_Buffer(table.probeBuffer()) {
        if (m_Keys) m_ValuePrefix = keptValue(valueBytes());
    }

    // compareTo of record i, at `node` of the halving's tree, with the value.
    int recordAgainstValue(unsigned long i, unsigned long node) {
        if (i >= m_Table.m_Count) m_Table.raiseBadIndex(i);
        if (i - m_TailFirst < m_TailCount) {
            checkStructure();
            return m_Order.compare(reinterpret_cast<const unsigned char*>(&m_TailBytes[(i - m_TailFirst) * m_Table.m_RecordSize]),
                                   valueBytes());
        }
        std::uint64_t prefix;
        if (m_Keys && m_Keys->find(node, prefix)) {
            checkStructure();
            return prefix < m_ValuePrefix ? -1 : prefix > m_ValuePrefix ? 1 : 0;
        }
        const unsigned char* record = read(i);
        checkStructure();
        if (m_Keys && m_Read) m_Keys->keep(node, keptValue(record));
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
        const unsigned long tailRecords = kTailBytes / m_Table.m_RecordSize;
        std::uint64_t prefix;
        if (len <= tailRecords || !m_Keys->find(node, prefix)) return;
        checkStructure();
        m_Keys->descend(node, rightBelow(), [&](unsigned long right) {
            step(first, len, right);
            return len > tailRecords;
        });
    }
    // Once the range left lies in the tail read whole and keys are kept (so
    // a key is one number), halves it there to the end, as descendKept does
    // on kept keys; false when it cannot.
    bool halveInTail(unsigned long& first, unsigned long& len) {
        if (!m_Keys || m_TailCount == 0) return false;
        checkStructure();
        const std::uint64_t bound = rightBelow();
        const unsigned long size = m_Table.m_RecordSize;
        while (len != 0) {
            const auto* mid = reinterpret_cast<const unsigned char*>(&m_TailBytes[(first + len / 2 - m_TailFirst) * size]);
            step(first, len, m_Keys->valueOf(m_Order.prefix(mid)) < bound);
        }
        return true;
    }
    // The range [first, first + len) is what is left to halve.
    void narrowed(unsigned long first, unsigned long len) {
        if (m_TailTried || len * m_Table.m_RecordSize > kTailBytes) return;
        m_TailTried = true;
        if (first + len > m_Table.m_Count || !m_Table.m_Stream->good()) return;
        const std::streamsize bytes = static_cast<std::streamsize>(len * m_Table.m_RecordSize);
        // In place where the stream's buffer holds the tail and the eight
        // bytes the key order may read past it; its lines are fetched
        // together, as a copy would, not one halving at a time.
        if (!m_Table.seekRecord(first)) {
            m_Table.m_Stream->clear();
            return;
        }
        if (const char* ready = m_Table.readyHere(bytes + 8)) {
            for (std::streamsize at = 0; at < bytes; at += 64) __builtin_prefetch(ready + at);
            m_TailBytes = ready;
        } else if (m_Table.readHere(m_Tail, bytes) == bytes) {
            m_TailBytes = m_Tail;
        } else {
            m_Table.m_Stream->clear();
            return;
        }
        m_TailFirst = first;
        m_TailCount = len;
    }

private:
    // Kept keys below this number lie before the answer: the value's own
    // for lower_bound, the next one up for upper_bound.
    std::uint64_t rightBelow() const { return m_ValuePrefix + (m_OrEqual ? 1 : 0); }
    // One step of halve's, to the right half (right = 1) or the left one
    // (0), by arithmetic: a branch on the comparison, which goes either way
    // as often, would cost more than each step's load.
    static void step(unsigned long& first, unsigned long& len, unsigned long right) {
        const unsigned long half = len / 2;
        first += right * (half + 1);
        len = half - (right & ~len & 1);  // right of an even length leaves one fewer
    }

    const unsigned char* read(unsigned long i) {
        std::memset(m_Buffer, 0, m_Table.m_RecordSize);
        m_Read = !m_Table.m_Stream->fail() && m_Table.readBytes(i, m_Buffer, 1);
        return reinterpret_cast<const unsigned char*>(m_Buffer);
    }
    // The number the record's key is kept as. The key order reads eight
    // bytes, more than a short record has: it reads a padded copy.
    std::uint64_t keptValue(const unsigned char* record) const {
        unsigned char padded[8] = {};
        std::memcpy(padded, record, m_Keys->keyBytes());
        return m_Keys->valueOf(m_Order.prefix(padded));
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
    bool m_Read = false;
    bool m_Checked = false;
    bool m_OrEqual = false;
    bool m_TailTried = false;
    unsigned long m_TailFirst = 0, m_TailCount = 0;
    const char* m_TailBytes = nullptr;  // the tail: m_Tail, or the stream buffer's bytes read in place
    char m_Tail[kTailBytes + 8];  // room for the key order's eight-byte read of the last record
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
