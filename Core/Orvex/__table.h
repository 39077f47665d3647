// Tables: a table definition and its files (TTable), record access to its
// contents file (TOpenTable) with in-place sorting and searching by key, and
// sets of tables (TTables).
//
// Files of a table named N inside its file set:
//   structure     N.dsb (binary form) or N.dst (text form)
//   transformers  N.trb (binary form) or N.trt (text form)
//   contents      N.bin: a 4-byte little-endian record count, then the
//                 records, R = fields().byteSize() bytes each; bytes past
//                 the count (left by erasing) are ignored.
// Contents files are limited to 2^31 - 1 bytes (positions are signed 32-bit)
// and 2^32 - 1 records. push_back, insert and both loads that would pass the
// limit raise "Table " + name + " can't grow past 2147483647 bytes in " +
// contents file name and leave the table as it was, its count and every
// byte of its file; opening a file whose count passes it raises "Table " +
// name + " passes 2147483647 bytes in " + contents file name. How the loads
// manage that without slowing down:
// - The binary block (serial_read) starts with its count, which is checked
//   before the table is cleared. Only the declared records are copied; bytes
//   after them (an erased tail) are read and must be whole records, as on
//   opening, but are dropped, so the file can't pass the limit through them.
//   A block that fails any other way leaves the table empty, as before.
// - The text form (operator>>) clears the table and appends each record as
//   it is read; a record that would pass the limit raises, as a value that
//   does not fit its field does, and the table then holds the records read
//   before it. A caller that wants the table as it was after a failed load
//   (the orvex tool) brackets the load with a change of its own and rolls
//   it back.
//
// Choices of ours where the format leaves room:
// - A missing or short binary structure file raises the same error as a text
//   one: "Error reading table structure from file " + name.
// - A transformer entry whose arguments cannot be read ends the list without
//   an error, as a damaged tail does, but its arguments are not attached.
// - Moving a table's tail reports progress through start/update and ends
//   with finish, so a terminal bar is closed.
// - Sorting finishes the smaller part of each partition first and loops on
//   the larger, so its depth stays logarithmic; the final order is the same
//   as finishing from left to right. Progress reports the number of records
//   already in their final place.
// - A table list cut short stops at the first entry whose name or form flag
//   cannot be read; tables read before it stay in the set.
// - Insert and erase raise nothing of their own when the file could not be
//   written or read while moving the tail: the tail move stops, the count
//   changes as asked and the stream is left failed, for the caller to test
//   (the orvex tool does). Sorting and stripping raise "Couldn't read file content: " + that name when records could not
//   be read, rather than go on with records that were never read. A failed
//   read through `at` still returns the record as far as it was filled.
// - An opening that creates the contents file, and a clear, remove the file
//   again when its header can't be written, so that the next opening starts
//   a new, empty table rather than refuse a file too short for a header.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Core/Orvex/__field.h"
#include "Core/Orvex/__scoll.h"
#include "fileset/TFileSet.h"
#include "fileset/TProgress.h"
#include "fileset/vfstream.h"
#include "support/pointer.h"
#include "support/serial.h"
#include "Core/Orvex/table_list.h"

namespace Orvex {

class TTables;

// A table definition: a name, its three files in a file set, and its
// structure with the transformer arguments attached to its fields. It refers
// to the file set, which must outlive it.
class TTable : public TNamed {
public:
    // Defines an existing table: reads its structure and transformer files.
    TTable(FileSet::TFileSet& fs, const std::string& name, bool binDesc);
    // Defines a new table with the given structure (shared, not copied) and
    // writes its structure and transformer files; the contents file is not
    // touched.
    TTable(FileSet::TFileSet& fs, const std::string& name, const TFields& fields, bool binDesc);
    // Names, form and structure set, no file read or written: the
    // temporary table a strip fills.
    struct Unread {};
    TTable(FileSet::TFileSet& fs, const std::string& name, bool binDesc, const TFields& fields, Unread);
    virtual ~TTable();

    const TFields& fields() const { return m_Fields; }
    bool binDesc() const { return m_BinDesc; }
    const std::string& descFileName() const { return m_DescFileName; }
    const std::string& transFileName() const { return m_TransFileName; }
    const std::string& contentsFileName() const { return m_ContentsFileName; }
    FileSet::TFileSet& fileSet() const { return m_FileSet; }

    // The contents stream shared by every open table of this definition.
    // Whoever takes it may write through it, so taking it counts as a change
    // of the contents (see contentsVersion).
    FileSet::vfstream& getFileStream() const {
        contentsChanged();
        return m_Stream;
    }

    // A number that changes whenever the records may have changed: every
    // write of an open table of this definition, and every hand-out of the
    // stream, moves it on. What is remembered of the records (the searches'
    // keys) is valid only while it stays the same.
    unsigned long contentsVersion() const { return m_ContentsVersion; }
    void contentsChanged() const { ++m_ContentsVersion; }

    TFields getFields(FileSet::TFileSet& fs);
    void getTransformers(TFields& fields, FileSet::TFileSet& fs);
    void writeFields(FileSet::TFileSet& fs) const;
    void writeTransformers(FileSet::TFileSet& fs) const;

    // Re-reads structure and transformer files into a new representation.
    void reread();
    // Closes the contents stream, moves the structure and contents files of
    // `temporary` (a table of this form in this file set) over this table's
    // and reads the structure anew. The transformer file stays.
    void replaceFiles(const TTable& temporary);
    // Closes the contents stream and removes the three files; the object and
    // its in-memory structure stay usable.
    void erase();

    // Rewrites the table so that every field takes exactly the bits its data
    // need: each field gets the transformer its arguments name, or the
    // stripper; the records are copied into temporary files "temp" + the
    // extensions of this table's form, which then replace the structure and
    // contents files. The transformer file is kept. `tables` is the set the
    // table belongs to; `progress` may be empty. A table named "temp", in
    // `tables` or being stripped, is refused before anything is written, and
    // so are "temp" files already in the file set.
    // A key that spans the whole record still spans the whole (new) record
    // afterwards. A table holding records whose values would all strip to
    // zero-width fields is refused before anything is written: records of 0
    // bytes are never counted. The work is done by the strip layer,
    // Core/Orvex/table_strip.h, where this is defined.
    //
    // On a file set with atomic changes (fileset/TAtomicChanges.h) the strip
    // is one change, undone whole when it fails. On one without, an error
    // before the swap leaves the table's files as they were and removes the
    // temporary files; an error during the swap (two moves) may leave it
    // half done, and keeping the two together is the host's business. Either
    // way this definition then still holds the old structure.
    void strip(TTables& tables, const pointer<Console::TProgress>& progress);

private:
    std::ios_base::openmode descMode() const;

    bool m_BinDesc;
    std::string m_DescFileName;
    std::string m_TransFileName;
    std::string m_ContentsFileName;
    FileSet::TFileSet& m_FileSet;
    mutable FileSet::vfstream m_Stream;
    mutable unsigned long m_ContentsVersion = 0;
    TFields m_Fields;
};


// The name with every character lower-cased in the current locale.
std::string lowerized(std::string s);

// Record-level access to a table's contents file. Records are never cached:
// every read goes to the file and every write reaches it. The record count in
// the file's header is rewritten when the open table is destroyed (or the
// table cleared); until then only this object knows it. An open table must
// not outlive its definition; several may share one definition, but only one
// at a time may change it.
class TOpenTable : public jobject, public serial::serializable {
public:
    // A position and the table it belongs to; converts to the record there.
    struct const_reference {
        const TOpenTable* table;
        unsigned long position;
        operator TRecord() const { return table->at(position); }
    };

    // Opens (creating if missing) the contents file; `clear` empties it.
    TOpenTable(const TTable& table, bool clear);
    ~TOpenTable() override;

    unsigned long size() const { return m_Count; }
    bool empty() const { return m_Count == 0; }
    const TFields& fields() const { return m_Fields; }
    const std::string& name() const { return m_Table.name(); }
    pointer<Console::TProgress> progress() const { return m_Progress; }
    // Attaches a reporter for long runs (sorting, text form, tail moves); an
    // empty pointer detaches it.
    void progress(const pointer<Console::TProgress>& reporter) { m_Progress = reporter; }

    // Record i, its bytes copied once from the file; a bad index raises
    // "<name> index out of bounds: <i>". A read that fails (or a stream
    // that had failed) raises nothing: the record holds what was read, and
    // zeros past it.
    TRecord at(unsigned long i);
    TRecord at(unsigned long i) const;
    const_reference operator[](unsigned long i) const { return const_reference{this, i}; }

    // Visits the records of [from, to) in position order, read in large
    // blocks rather than one by one: `visit(i, record)` gets record i in a
    // record reused for the whole run (copy it to keep it). The visitor must
    // not change the table. A bad range raises as partialSort does; a read
    // that stops short, or a stream that had failed, raises "Couldn't read
    // file content: " + the contents file name.
    void forEach(unsigned long from, unsigned long to,
                 const std::function<void(unsigned long, const TRecord&)>& visit) const;
    // The same scan without a record: `visit(i, bytes)` (any callable) gets
    // the fields().byteSize() bytes of record i where they were read, valid
    // only during the call; field handles read them in place
    // (`price.get(bytes)`). The fastest way through a table: the visitor is
    // inlined into the loop. Same range checks and errors as forEach.
    template <class Visit>
    void forEachBytes(unsigned long from, unsigned long to, Visit&& visit) const {
        std::vector<unsigned char> block;
        const unsigned long blockRecords = startScan(from, to, block);
        for (unsigned long first = from; first < to; first += blockRecords) {
            const unsigned long n = to - first < blockRecords ? to - first : blockRecords;
            readScanBlock(first, n, block);
            const unsigned char* bytes = block.data();
            for (unsigned long k = 0; k < n; ++k, bytes += m_RecordSize) visit(first + k, bytes);
        }
    }

    void update(unsigned long i, const TRecord& r);
    void push_back(const TRecord& r);
    // Moves the tail and writes r n times, stopping early if the stream
    // fails; the count grows by n all the same (test the stream).
    void insert(unsigned long pos, unsigned long n, const TRecord& r);
    // Moves the tail down; the count shrinks by to - from even when the
    // stream failed during the move (test the stream).
    void erase(unsigned long from, unsigned long to);
    void clear();

    // Writes structure, transformer and contents files into another set.
    void copyTo(FileSet::TFileSet& target) const;

    void seekg(unsigned long i) const;
    void seekp(unsigned long i) const;
    // Reads and checks the header; the count. Records of zero bytes (every
    // field zero-width, as stripping all-zero values may give) are never
    // counted: with R = 0 it returns 0 without touching the file, so such a
    // table opens empty whatever its header says.
    unsigned long findSize() const;
    void writeFileHeader() const;
    [[noreturn]] void raiseBadIndex(unsigned long i) const;
    // A read of records that stopped short, where going on would work with
    // records that were never read: "Couldn't read file content: " + the
    // contents file name.
    [[noreturn]] void raiseUnreadable() const;

    // Sorting on the key, in place on the file. A range whose records and
    // their sort entries (8 bytes each for a key of up to 32 bits, 12 for a
    // longer one) fit the memory budget is read in one pass, ordered in
    // memory by exactly the same exchanges, and only the records that moved
    // are written back, in position order; a larger one is sorted record by
    // record on the file. The final order, the progress
    // reports and the messages are the same either way; only the moment the
    // writes happen differs (at the end, for the in-memory way).
    static constexpr std::size_t kDefaultSortBudget = std::size_t(256) << 20;
    void sortMemoryBudget(std::size_t bytes) { m_SortBudget = bytes; }
    std::size_t sortMemoryBudget() const { return m_SortBudget; }
    void sort();
    void partialSort(unsigned long from, unsigned long to);
    void partialSort2(unsigned long i);
    void partialSort3(unsigned long i);
    void partialSortN(unsigned long from, unsigned long to);
    unsigned long __unguarded_partition(unsigned long first, unsigned long last, const TRecord& pivot);
    TRecord __median(unsigned long i, unsigned long j, unsigned long k) const;

    // Searching by halving; `value` must share this table's structure.
    // Searches of the whole table keep the keys they read near the top of
    // the halving (keys of up to seven bytes; at most 256 KiB per open table)
    // and use them in later searches until the records may have changed, as
    // contentsVersion tells; the last few hundred bytes of a range are read
    // in one piece. While reads succeed, the answers and errors are those of
    // probing record by record with `at`; a read that fails leaves the stream
    // failed, and the answer then rests on what could be read.
    unsigned long find(unsigned long first, unsigned long last, const TRecord& value) const;
    unsigned long lower_bound(unsigned long first, unsigned long last, const TRecord& value) const;
    unsigned long upper_bound(unsigned long first, unsigned long last, const TRecord& value) const;

    // The whole contents file as a binary block: count, then the records.
    void serial_write(std::ostream& out) const override;
    void serial_read(std::istream& in) override;
    unsigned serial_size() const override;
    bool fixed_size() const override { return false; }

    // Record i into `r`, a record of these fields reused from read to read;
    // a bad index raises as `at` does, a read that fails or a stream that
    // had failed leaves the stream failed, `r` as far as read.
    void readInto(unsigned long i, TRecord& r) const;
    // Writes the header if needed, flushes and closes the shared stream, so
    // that the destructor has nothing left to do (it would reopen the file).
    // False when some write since opening failed.
    bool closeStream();

private:
    // `records` records from i on, raw, with one seek and one read; false (and the stream
    // failed) when short. No index check.
    bool readBytes(unsigned long i, char* out, unsigned long records) const;
    // Seeks the input side to record i; false (and the stream failed) when
    // it cannot.
    bool seekRecord(unsigned long i) const;
    // Up to `size` bytes from the input side's position, with one read; how
    // many were read (the stream failed when fewer than `size`).
    std::streamsize readHere(char* out, std::streamsize size) const;
    // The `size` bytes from the input side's position where the stream's
    // buffer holds them ready, read in place without moving it; null when
    // it does not (the stream's state untouched). Valid until the stream's
    // next use.
    const char* readyHere(std::streamsize size) const;
    // For forEachBytes: checks the range and the stream as forEach does and
    // sizes `block` for the records read at a time (0 for an empty range).
    unsigned long startScan(unsigned long from, unsigned long to, std::vector<unsigned char>& block) const;
    // Reads n records from `first` into `block`; raiseUnreadable when short.
    void readScanBlock(unsigned long first, unsigned long n, std::vector<unsigned char>& block) const;
    // `records` raw records at i on, with one write; false (and the stream
    // bad) when short or when the stream had failed already.
    bool writeBytes(unsigned long i, const char* bytes, unsigned long records) const;
    // As writeFrom, for raw records.
    void writeRecords(unsigned long i, const char* bytes, unsigned long records);
    // Closes the stream and removes a contents file whose header could not be
    // written.
    void dropUnwrittenFile();
    bool writeAt(unsigned long i, const TRecord& r) const;
    void writeFrom(unsigned long i, const TRecord& r);
    std::streamoff offsetOf(unsigned long i) const;
    // Records that fit after `count` records, within both limits.
    unsigned long roomAfter(unsigned long count) const;
    [[noreturn]] void raiseTooLarge() const;
    void checkGrowth(unsigned long extra) const;
    friend std::istream& operator>>(std::istream& is, TOpenTable& table);
    void readText(std::istream& is);
    void moveTail(std::streamoff begin, std::streamoff end, std::streamoff distance, bool towardsEnd);
    void sortRange(unsigned long from, unsigned long to, unsigned long& placed);
    class KeyProbe;  // a search's reads and key comparisons
    class TopKeys;   // keys the searches of the whole table read first
    // The kept keys for a search of [first, last), made or renewed as needed;
    // null where none apply (a part of the table, a failed stream, no key or
    // a long one).
    TopKeys* topKeysFor(unsigned long first, unsigned long last, unsigned keyBytes) const;
    // The searches' record buffer, kept so that a search allocates nothing;
    // each read zeroes it first.
    char* probeBuffer() const;
    // Every write of the records goes through here first.
    void contentsChanging() const { m_Table.contentsChanged(); }
    bool fitsSortBudget(unsigned long from, unsigned long to) const;
    void sortInMemory(unsigned long from, unsigned long to, unsigned long& placed);
    void placed(unsigned long& count, unsigned long n);

    const TTable& m_Table;
    pointer<Console::TProgress> m_Progress;
    const TFields& m_Fields;
    FileSet::vfstream* m_Stream;
    mutable serial::serial_in m_Reader;
    mutable serial::serial_out m_Writer;
    unsigned long m_RecordSize;
    unsigned long m_Count;
    bool m_HeaderDirty;
    std::size_t m_SortBudget = kDefaultSortBudget;
    mutable std::shared_ptr<TopKeys> m_TopKeys;
    mutable std::vector<char> m_ProbeBuffer;
};

// Text form: one line per record, its values as tokens.
std::ostream& operator<<(std::ostream& os, const TOpenTable& table);
std::istream& operator>>(std::istream& is, TOpenTable& table);

// The tables of one file set, in the order they were first appended, found by
// position or name (exact, case-sensitive). It owns its definitions through
// pointer<TTable>; the file set must outlive it.
class TTables {
public:
    explicit TTables(FileSet::TFileSet& fs);
    ~TTables();

    FileSet::TFileSet& fileSet() const { return m_FileSet; }

    // Defines the existing table `name` on this set's file set and appends it.
    TTable& append(const std::string& name, bool binDesc);
    // Appends a table; one of the same name is replaced in its position.
    TTable& append(const pointer<TTable>& table);

    unsigned size() const { return m_Tables.size(); }
    bool contains(const std::string& name) const;
    TTable& at(unsigned i);
    const TTable& at(unsigned i) const;
    const TTable& operator[](const std::string& name) const;
    pointer<TTable> ptrAt(unsigned i) const;

    unsigned checkedIndex(unsigned i) const;
    unsigned checkedIndex(const std::string& name) const;
    unsigned checkedIndex(const char* name) const;
    static void badIndex(unsigned i);
    static void badKey(const std::string& name);

    // Removes every table's files; the entries stay.
    void erase();
    // Strips every table in position order, without progress. A set holding
    // a table named "temp" is refused before anything is written. Tables
    // stripped before an error stay stripped. Defined by the strip layer.
    void strip();

    void to_stream(std::ostream& os) const;
    void from_stream(std::istream& is);

    // The text form of a list without defining its tables: table_list's
    // readEach and writeEach.
    typedef table_list::entry list_entry;
    static void readList(std::istream& is, const std::function<void(const list_entry&)>& each);
    static void writeList(std::ostream& os, const std::vector<list_entry>& entries);

    void serial_write(std::ostream& os) const;
    void serial_read(std::istream& is);
    unsigned serial_size() const;

private:
    FileSet::TFileSet& m_FileSet;
    TPtrCollection m_Tables;
};

}  // namespace Orvex
