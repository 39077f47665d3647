// Sorting and searching of an open table, in place on its contents file
// (declared with TOpenTable in Core/Orvex/__table.h): the table unit's second
// source, on the same floor.
#include "Core/Orvex/__table.h"

namespace Orvex {

// Every comparison reads its records from the file and every exchange writes
// them back; two reusable records keep the loops free of allocation.

void TOpenTable::sort() {
    if (m_Progress) m_Progress->start(static_cast<int>(m_Count));
    partialSort(0, m_Count);
    if (m_Progress) m_Progress->finish();
}

void TOpenTable::partialSort(unsigned long from, unsigned long to) {
    if (to > m_Count) raiseBadIndex(to);
    if (from > to) raiseBadIndex(from);
    unsigned long done = from;
    sortRange(from, to, done);
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

unsigned long TOpenTable::lower_bound(unsigned long first, unsigned long last, const TRecord& value) const {
    TRecord r(m_Fields);
    return halve(first, last, [&](unsigned long i) {
        readInto(i, r);
        return r.compareTo(value) < 0;
    });
}

unsigned long TOpenTable::upper_bound(unsigned long first, unsigned long last, const TRecord& value) const {
    TRecord r(m_Fields);
    return halve(first, last, [&](unsigned long i) {
        readInto(i, r);
        return !(value.compareTo(r) < 0);
    });
}

unsigned long TOpenTable::find(unsigned long first, unsigned long last, const TRecord& value) const {
    const unsigned long end = last;
    if (first == last) return last;
    TRecord r(m_Fields);
    while (first < last) {
        unsigned long mid = first + (last - first) / 2;
        readInto(mid, r);
        if (value.compareTo(r) < 0) {
            last = mid;
        } else if (r.compareTo(value) < 0) {
            first = mid + 1;
        } else {
            first = mid;
            break;
        }
    }
    if (first == end) return end;
    readInto(first, r);
    return r.compareTo(value) != 0 ? end : first;
}

}  // namespace Orvex
