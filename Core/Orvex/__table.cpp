#include "Core/Orvex/__table.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <istream>
#include <limits>
#include <locale>
#include <ostream>
#include <sstream>
#include <vector>

#include "Core/Orvex/Trans.h"
#include "Core/Orvex/table_files.h"
#include "fileset/TAtomicChanges.h"
#include "support/Utils.h"
#include "support/tabulation.h"

namespace Orvex {

namespace {

const std::streamoff kHeaderSize = 4;               // the record count
const std::streamoff kMaxContentsBytes = 0x7FFFFFFF;  // positions are signed 32-bit in the format
const unsigned long kMaxCount = 0xFFFFFFFF;           // the header holds 32 bits
const std::streamoff kMoveChunk = 2048;              // tail moves go through one buffer of this size
const unsigned long kScanBlockBytes = 32 * 1024;  // scans read this much at a time, so a block stays in cache

const std::ios_base::openmode kBinary = std::ios_base::binary;

std::string decimal(unsigned long v) { return std::to_string(v); }


void endLine(std::ostream& os) {
    os << '\n';
    os.flush();
}

// Reads `in` to its end, leaving it failed as a read past the end does;
// returns how many bytes that was.
std::streamoff bytesLeftIn(std::istream& in) {
    std::streamoff skipped = 0;
    while (in.good()) {
        in.ignore(std::numeric_limits<std::streamsize>::max());
        skipped += in.gcount();
    }
    in.setstate(std::ios_base::failbit);
    return skipped;
}

}  // namespace

// ===================================================================== TTable

TTable::TTable(FileSet::TFileSet& fs, const std::string& name, bool binDesc, const TFields& fields, Unread)
    : TNamed(name),
      m_BinDesc(binDesc),
      m_DescFileName(structureFileName(name, binDesc)),
      m_TransFileName(transformerFileName(name, binDesc)),
      m_ContentsFileName(Orvex::contentsFileName(name)),
      m_FileSet(fs),
      m_Stream(fs),
      m_Fields(fields) {}

TTable::TTable(FileSet::TFileSet& fs, const std::string& name, bool binDesc)
    : TTable(fs, name, binDesc, TFields(), Unread()) {
    m_Fields = getFields(fs);
    getTransformers(m_Fields, fs);
}

TTable::TTable(FileSet::TFileSet& fs, const std::string& name, const TFields& fields, bool binDesc)
    : TTable(fs, name, binDesc, fields, Unread()) {
    FileSet::change_scope change(fs);  // both companion files, or neither
    writeFields(fs);
    writeTransformers(fs);
}

TTable::~TTable() { m_Stream.close(); }

std::ios_base::openmode TTable::descMode() const { return m_BinDesc ? kBinary : std::ios_base::openmode(); }

TFields TTable::getFields(FileSet::TFileSet& fs) {
    FileSet::ivfstream in(fs, m_DescFileName.c_str(), descMode(), false, true);
    if (m_BinDesc) {
        serial::serial_in reader(in);
        TFields fields(reader);
        if (in.fail()) Utils::raise_runtime_error("Error reading table structure from file " + m_DescFileName);
        return fields;
    }
    TFields fields(in);
    if (in.fail()) Utils::raise_runtime_error("Error reading table structure from file " + m_DescFileName);
    return fields;
}

void TTable::getTransformers(TFields& fields, FileSet::TFileSet& fs) {
    FileSet::ivfstream in(fs, m_TransFileName.c_str(), descMode(), false, true);
    if (in.fail()) return;  // no transformer file: no arguments
    field_transformer_manager& registry = field_transformer_manager::instance();
    for (;;) {
        // Look ahead for another entry; the binary form skips nothing, since
        // a position byte may look like white space.
        if (!m_BinDesc) in >> std::ws;
        in.get();
        if (in.fail()) {
            in.clear(in.rdstate() & ~std::ios_base::failbit);
            break;
        }
        in.unget();
        unsigned short position = 0;
        std::string category;
        if (m_BinDesc) {
            serial::serial_in reader(in);
            reader >> position >> category;
        } else {
            tabulation::from_stream(in, position);
            tabulation::from_stream(in, category);
        }
        if (in.fail()) break;
        pointer<field_transformer_base::args> args = registry.createArgs(category, in, m_BinDesc);
        if (in.fail()) continue;  // damaged arguments: the look-ahead ends the list
        fields[position].transformer(args);
    }
    if (in.fail()) Utils::raise_runtime_error("Error reading table transformation from file " + m_TransFileName);
}

void TTable::writeFields(FileSet::TFileSet& fs) const {
    FileSet::ovfstream out(fs, m_DescFileName.c_str(), descMode(), false, true);
    if (m_BinDesc)
        m_Fields.serial_write(out);
    else
        m_Fields.to_stream(out);
}

void TTable::writeTransformers(FileSet::TFileSet& fs) const {
    FileSet::ovfstream out(fs, m_TransFileName.c_str(), descMode(), false, true);
    out.precision(0);
    for (unsigned i = 0; i < m_Fields.size(); ++i) {
        pointer<field_transformer_base::args> args = m_Fields[i].transformer();
        if (!args) continue;
        if (m_BinDesc) {
            serial::serial_out writer(out);
            writer << static_cast<unsigned short>(i) << args->category();
            args->serial_write(out);
        } else {
            tabulation::to_stream(out, static_cast<unsigned short>(i));
            tabulation::to_stream(out, args->category());
            args->to_stream(out);
            endLine(out);
        }
    }
}

void TTable::reread() {
    TFields fresh = getFields(m_FileSet);
    getTransformers(fresh, m_FileSet);
    m_Fields = fresh;
}

void TTable::replaceFiles(const TTable& temporary) {
    contentsChanged();
    m_Stream.close();
    FileSet::moveFile(m_FileSet, temporary.descFileName(), m_DescFileName);
    FileSet::moveFile(m_FileSet, temporary.contentsFileName(), m_ContentsFileName);
    reread();
}

void TTable::erase() {
    FileSet::change_scope change(m_FileSet);
    m_Stream.close();
    m_FileSet.remove(m_DescFileName);
    m_FileSet.remove(m_TransFileName);
    m_FileSet.remove(m_ContentsFileName);
}

std::string lowerized(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// ================================================================= TOpenTable

TOpenTable::TOpenTable(const TTable& table, bool clearIt)
    : m_Table(table),
      m_Fields(table.fields()),
      m_Stream(&table.getFileStream()),
      m_Reader(*m_Stream),
      m_Writer(*m_Stream),
      m_RecordSize(table.fields().byteSize()),
      m_Count(0),
      m_HeaderDirty(false) {
    if (m_Fields.empty()) Utils::raise_runtime_error("Record in table " + name() + " hasn't any fields.");
    bool existing = true;
    bool created = false;  // made by this opening, so a failure takes it back
    if (!m_Stream->is_open()) {
        {
            FileSet::ivfstream probe(table.fileSet(), table.contentsFileName().c_str(), kBinary, false, true);
            existing = probe.good();
        }
        m_Stream->open(table.contentsFileName().c_str(), kBinary);
        // A probe can fail for other reasons than a missing file; a file that
        // holds bytes is never taken for a new one, whose header would
        // overwrite its record count.
        if (!existing && m_Stream->good()) {
            // A length that can't be told is not taken for an empty file.
            existing = m_Stream->rdbuf()->pubseekoff(0, std::ios_base::end, std::ios_base::in) != 0;
            created = !existing;
            m_Stream->rdbuf()->pubseekpos(0, std::ios_base::in);
        }
    } else if (!m_Stream->bad()) {
        m_Stream->clear();  // a shared stream may still carry another table's end of file
    }
    if (!existing) {
        m_Count = 0;
        writeFileHeader();
        m_HeaderDirty = true;
    } else if (clearIt) {
        clear();
    } else {
        m_Count = findSize();
    }
    if (!m_Stream->good()) {
        if (created) dropUnwrittenFile();
        Utils::raise_runtime_error("Couldn't open file: " + table.contentsFileName());
    }
}

TOpenTable::~TOpenTable() {
    if (!m_HeaderDirty) return;
    try {
        writeFileHeader();
        if (m_Stream->is_open()) {
            m_Stream->close();
            m_Stream->open(m_Table.contentsFileName().c_str(), kBinary);
        }
        m_HeaderDirty = false;
    } catch (...) {
        // A destructor must not throw; the file keeps its old header.
    }
}

bool TOpenTable::closeStream() {
    if (m_HeaderDirty) writeFileHeader();
    m_Stream->flush();
    const bool written = m_Stream->good();
    m_Stream->close();
    m_HeaderDirty = false;
    return written;
}

std::streamoff TOpenTable::offsetOf(unsigned long i) const {
    return kHeaderSize + static_cast<std::streamoff>(i) * static_cast<std::streamoff>(m_RecordSize);
}

// How many more records fit after `count` of them: a contents file holds at
// most 2^32 - 1 records and 2^31 - 1 bytes. Worked out without forming a
// product that could overflow.
unsigned long TOpenTable::roomAfter(unsigned long count) const {
    const unsigned long byCount = count < kMaxCount ? kMaxCount - count : 0;
    if (m_RecordSize == 0) return byCount;
    const std::streamoff used = offsetOf(count);
    if (used >= kMaxContentsBytes) return 0;
    const std::streamoff byBytes = (kMaxContentsBytes - used) / static_cast<std::streamoff>(m_RecordSize);
    return std::min(byCount, static_cast<unsigned long>(byBytes));
}

void TOpenTable::raiseTooLarge() const {
    Utils::raise_runtime_error("Table " + name() + " can't grow past 2147483647 bytes in " + m_Table.contentsFileName());
}

// On every append, so without roomAfter's division: once `extra` is within
// the count limit the product stays below 2^49.
void TOpenTable::checkGrowth(unsigned long extra) const {
    if (extra > kMaxCount - m_Count ||
        offsetOf(m_Count) + static_cast<std::streamoff>(extra) * static_cast<std::streamoff>(m_RecordSize) >
            kMaxContentsBytes)
        raiseTooLarge();
}

void TOpenTable::seekg(unsigned long i) const { m_Stream->seekg(offsetOf(i)); }
void TOpenTable::seekp(unsigned long i) const { m_Stream->seekp(offsetOf(i)); }

void TOpenTable::raiseUnreadable() const {
    Utils::raise_runtime_error("Couldn't read file content: " + m_Table.contentsFileName());
}

void TOpenTable::raiseBadIndex(unsigned long i) const {
    Utils::raise_out_of_range(name() + " index out of bounds: " + decimal(i));
}

unsigned long TOpenTable::findSize() const {
    if (m_RecordSize == 0) return 0;
    m_Stream->seekg(0, std::ios_base::end);
    std::streamoff length = m_Stream->tellg();
    m_Stream->seekg(0);
    unsigned long count = 0;
    m_Reader >> count;
    const std::string& file = m_Table.contentsFileName();
    if (length < kHeaderSize || m_Stream->fail()) Utils::raise_runtime_error("Error reading table size from file " + file);
    std::streamoff data = length - kHeaderSize;
    if (m_RecordSize != 0 && data % static_cast<std::streamoff>(m_RecordSize) != 0)
        Utils::raise_runtime_error(file + " file content mismatched with description from " + m_Table.descFileName());
    if (static_cast<std::streamoff>(count) * static_cast<std::streamoff>(m_RecordSize) > data)
        Utils::raise_runtime_error("Table shorter than declared in " + file);
    if (count > roomAfter(0))
        Utils::raise_runtime_error("Table " + name() + " passes 2147483647 bytes in " + file);
    return count;
}

void TOpenTable::writeFileHeader() const {
    m_Stream->seekp(0);
    m_Writer << m_Count;
}

// Record reads and writes are the inner loop of sorting and searching, so
// they talk to the stream's buffer directly: one seek and one block move,
// with the stream's state kept as the formatted calls would keep it.
void TOpenTable::readInto(unsigned long i, TRecord& r) const {
    if (i >= m_Count) raiseBadIndex(i);
    if (m_Stream->fail()) return;
    readBytes(i, r.data()(0), 1);
}

bool TOpenTable::readBytes(unsigned long i, char* out, unsigned long records) const {
    const std::streamsize size = static_cast<std::streamsize>(m_RecordSize * records);
    return seekRecord(i) ? readHere(out, size) == size : size == 0;
}

bool TOpenTable::seekRecord(unsigned long i) const {
    const std::streamoff at = offsetOf(i);
    if (m_Stream->rdbuf()->pubseekpos(at, std::ios_base::in) == std::streampos(at)) return true;
    m_Stream->setstate(std::ios_base::failbit);
    return false;
}

std::streamsize TOpenTable::readHere(char* out, std::streamsize size) const {
    const std::streamsize got = m_Stream->rdbuf()->sgetn(out, size);
    if (got != size) m_Stream->setstate(std::ios_base::failbit | std::ios_base::eofbit);
    return got;
}

namespace {
// What a stream buffer holds ready to be read from its position on, as
// sgetc and sbumpc read it: the characters from gptr() to egptr().
class ReadyArea : public std::streambuf {
public:
    static const char* begin(std::streambuf& b) { return (b.*&ReadyArea::gptr)(); }
    static const char* end(std::streambuf& b) { return (b.*&ReadyArea::egptr)(); }
};
}  // namespace

const char* TOpenTable::readyHere(std::streamsize size) const {
    std::streambuf* buffer = m_Stream->rdbuf();
    if (std::streambuf::traits_type::eq_int_type(buffer->sgetc(), std::streambuf::traits_type::eof())) return nullptr;
    const char* first = ReadyArea::begin(*buffer);
    return ReadyArea::end(*buffer) - first >= size ? first : nullptr;
}

bool TOpenTable::writeAt(unsigned long i, const TRecord& r) const { return writeBytes(i, r.data()(0), 1); }

bool TOpenTable::writeBytes(unsigned long i, const char* bytes, unsigned long records) const {
    if (m_Stream->fail()) return false;
    contentsChanging();
    std::streambuf* buffer = m_Stream->rdbuf();
    const std::streamoff at = offsetOf(i);
    const std::streamsize size = static_cast<std::streamsize>(m_RecordSize * records);
    if (buffer->pubseekpos(at, std::ios_base::out) != std::streampos(at) || buffer->sputn(bytes, size) != size) {
        m_Stream->setstate(std::ios_base::badbit);
        return false;
    }
    return true;
}

TRecord TOpenTable::at(unsigned long i) { return static_cast<const TOpenTable&>(*this).at(i); }

// The record's bytes are copied once, straight from the stream's buffer into
// the new record: in place where the buffer holds them ready, else with a
// read. Only what a failed read leaves unfilled is zeroed, which keeps
// readInto's outcome for a read that stops short.
TRecord TOpenTable::at(unsigned long i) const {
    if (i >= m_Count) raiseBadIndex(i);
    TRecord r(m_Fields, bit_buffer::unfilled());
    char* bytes = r.data()(0);
    const std::streamsize size = static_cast<std::streamsize>(m_RecordSize);
    if (m_Stream->fail() || !seekRecord(i)) {
        std::memset(bytes, 0, m_RecordSize);
    } else if (const char* ready = readyHere(size)) {
        std::memcpy(bytes, ready, m_RecordSize);
    } else {
        const std::streamsize got = readHere(bytes, size);
        if (got != size) std::memset(bytes + got, 0, static_cast<std::size_t>(size - got));
    }
    return r;
}

void TOpenTable::forEach(unsigned long from, unsigned long to,
                         const std::function<void(unsigned long, const TRecord&)>& visit) const {
    TRecord record(m_Fields, bit_buffer::unfilled());
    forEachBytes(from, to, [&](unsigned long i, const unsigned char* bytes) {
        std::memcpy(record.bytes(), bytes, m_RecordSize);
        visit(i, record);
    });
}

unsigned long TOpenTable::startScan(unsigned long from, unsigned long to, std::vector<unsigned char>& block) const {
    if (to > m_Count) raiseBadIndex(to);
    if (from > to) raiseBadIndex(from);
    if (from == to) return 0;
    if (m_Stream->fail()) raiseUnreadable();
    const unsigned long blockRecords = std::max(1UL, kScanBlockBytes / m_RecordSize);
    block.resize(std::min(blockRecords, to - from) * m_RecordSize);
    return blockRecords;
}

void TOpenTable::readScanBlock(unsigned long first, unsigned long n, std::vector<unsigned char>& block) const {
    if (!readBytes(first, reinterpret_cast<char*>(block.data()), n)) raiseUnreadable();
}

void TOpenTable::writeFrom(unsigned long i, const TRecord& r) { writeRecords(i, r.data()(0), 1); }

void TOpenTable::writeRecords(unsigned long i, const char* bytes, unsigned long records) {
    if (writeBytes(i, bytes, records)) m_HeaderDirty = true;
    if (!m_Stream->good()) Utils::raise_runtime_error("Couldn't refresh file content: " + m_Table.contentsFileName());
}

void TOpenTable::update(unsigned long i, const TRecord& r) {
    if (i >= m_Count) raiseBadIndex(i);
    writeFrom(i, r);
}

void TOpenTable::push_back(const TRecord& r) {
    checkGrowth(1);
    writeAt(m_Count, r);
    ++m_Count;
    m_HeaderDirty = true;
}

void TOpenTable::insert(unsigned long pos, unsigned long n, const TRecord& r) {
    if (pos > m_Count) raiseBadIndex(pos);
    checkGrowth(n);
    moveTail(offsetOf(pos), offsetOf(m_Count), offsetOf(n) - kHeaderSize, true);
    seekp(pos);
    m_Count += n;
    for (unsigned long k = 0; k < n && !m_Stream->fail(); ++k) r.serial_write(*m_Stream);
    m_HeaderDirty = true;
}

void TOpenTable::erase(unsigned long from, unsigned long to) {
    if (from > m_Count) raiseBadIndex(from);
    if (to > m_Count || from > to) raiseBadIndex(to);
    if (from == to) return;
    moveTail(offsetOf(to), offsetOf(m_Count), offsetOf(to - from) - kHeaderSize, false);
    m_Count -= to - from;
    m_HeaderDirty = true;
}

void TOpenTable::moveTail(std::streamoff begin, std::streamoff end, std::streamoff distance, bool towardsEnd) {
    contentsChanging();
    char chunk[kMoveChunk];
    const std::streamoff length = end - begin;
    if (m_Progress) m_Progress->start(static_cast<int>(length));
    if (towardsEnd) {
        // Extend the file first, so every later write lands inside it.
        std::memset(chunk, 0, sizeof chunk);
        m_Stream->seekp(end);
        for (std::streamoff left = distance; left > 0 && m_Stream->good(); left -= kMoveChunk)
            m_Stream->write(chunk, std::min(left, kMoveChunk));
    }
    std::streamoff moved = 0;
    while (moved < length && m_Stream->good()) {
        std::streamoff step = std::min(kMoveChunk, length - moved);
        // Towards the end the block is taken from its back, so nothing is
        // overwritten before it has moved; towards the start from its front.
        std::streamoff from = towardsEnd ? end - moved - step : begin + moved;
        m_Stream->seekg(from);
        m_Stream->read(chunk, step);
        m_Stream->seekp(towardsEnd ? from + distance : from - distance);
        m_Stream->write(chunk, step);
        moved += step;
        if (m_Progress) m_Progress->update(static_cast<int>(moved));
    }
    if (m_Progress) m_Progress->finish();
}

void TOpenTable::clear() {
    const std::string& file = m_Table.contentsFileName();
    contentsChanging();
    m_Stream->close();
    m_Table.fileSet().remove(file);
    m_Stream->open(file.c_str(), kBinary);
    m_Count = 0;
    writeFileHeader();
    m_HeaderDirty = true;
    if (!m_Stream->good()) {
        dropUnwrittenFile();
        Utils::raise_runtime_error("Couldn't open file: " + file);
    }
}

// A contents file without its header would be refused by every later opening;
// without the file, the next opening starts a new, empty table.
void TOpenTable::dropUnwrittenFile() {
    m_Stream->close();
    m_Table.fileSet().remove(m_Table.contentsFileName());
    m_HeaderDirty = false;
}

void TOpenTable::copyTo(FileSet::TFileSet& target) const {
    m_Table.writeFields(target);
    m_Table.writeTransformers(target);
    FileSet::ovfstream out(target, m_Table.contentsFileName().c_str(), kBinary, false, true);
    serial_write(out);
}

void TOpenTable::serial_write(std::ostream& out) const {
    serial::serial_out(out) << m_Count;
    seekg(0);
    FileSet::copyStream(out, *m_Stream);
    m_Stream->clear(m_Stream->rdstate() & std::ios_base::badbit);
}

// The block's count comes first, so a block whose records would pass the
// limit is refused before the table is touched. Only the declared records
// are kept: bytes after them are read and checked to be whole records, as a
// file's are on opening, but dropped, so the file never passes the limit.
void TOpenTable::serial_read(std::istream& in) {
    unsigned long count = 0;
    serial::serial_in(in) >> count;
    const bool headerRead = !in.fail();
    if (headerRead && count > roomAfter(0)) raiseTooLarge();
    clear();
    try {
        if (!headerRead) Utils::raise_runtime_error("Error reading table size from file " + m_Table.contentsFileName());
        m_Stream->seekp(0);
        m_Writer << count;
        const std::streamoff records = static_cast<std::streamoff>(count) * static_cast<std::streamoff>(m_RecordSize);
        const std::streamoff copied = FileSet::copyStream(*m_Stream, in, records);
        std::streamoff beyond = 0;
        if (copied == records) beyond = bytesLeftIn(in);
        m_Count = findSize();
        if (m_RecordSize != 0 && beyond % static_cast<std::streamoff>(m_RecordSize) != 0)
            Utils::raise_runtime_error(m_Table.contentsFileName() + " file content mismatched with description from " +
                                       m_Table.descFileName());
    } catch (...) {
        clear();  // never leave a damaged block behind
        throw;
    }
}

unsigned TOpenTable::serial_size() const {
    return static_cast<unsigned>(kHeaderSize + static_cast<std::streamoff>(m_Count) * m_RecordSize);
}

// ------------------------------------------------------------------ text form

std::ostream& operator<<(std::ostream& os, const TOpenTable& table) {
    pointer<Console::TProgress> progress = table.progress();
    if (progress) progress->start(static_cast<int>(table.size()));
    // A line is composed whole and written at once, rather than a stream
    // write per token, where that writes the same bytes with the same
    // flushes: no field width pending, no flush per write, no tied stream
    // to flush before each.
    const bool wholeLines = os.width() == 0 && !(os.flags() & std::ios_base::unitbuf) && !os.tie();
    std::string line;
    for (unsigned long i = 0; i < table.size() && !os.fail(); ++i) {
        if (progress) progress->update(static_cast<int>(i));
        const TRecord record = table.at(i);
        if (wholeLines) {
            line.clear();
            record.append_text(line);
            os.write(line.data(), static_cast<std::streamsize>(line.size()));
        } else {
            record.to_stream(os);
        }
        endLine(os);
    }
    if (progress) progress->finish();
    return os;
}

std::istream& operator>>(std::istream& is, TOpenTable& table) {
    FileSet::change_scope change(table.m_Table.fileSet());  // the clearing and the records together
    table.readText(is);
    return is;
}

void TOpenTable::readText(std::istream& is) {
    clear();
    TRecord record(m_Fields);
    // Whether a record follows is told by peeking past the white space in
    // the buffer, rather than reading a character and putting it back,
    // where that finds the same: the stream skips white space, its locale
    // knows no other white space than the tokens' own, and no tied stream is
    // flushed before each read.
    const bool peek = (is.flags() & std::ios_base::skipws) && !is.tie() && is.getloc() == std::locale::classic();
    for (;;) {
        if (peek) {
            if (!tabulation::at_next_token(is)) {
                is.clear(is.rdstate() & ~std::ios_base::failbit);
                break;
            }
        } else {
            char c;
            if (!(is >> c)) {
                is.clear(is.rdstate() & ~std::ios_base::failbit);
                break;
            }
            if (is.eof()) break;
            is.unget();
        }
        record.from_stream(is);
        if (is.fail()) break;  // the partly read record is dropped
        push_back(record);
    }
}

// ================================================================= TTables

TTables::TTables(FileSet::TFileSet& fs)
    : m_FileSet(fs), m_Tables(&TTables::badIndex, &TTables::badKey) {}

bool TTables::contains(const std::string& name) const { return m_Tables.indexOf(name) < size(); }

TTables::~TTables() { m_Tables.clear(); }

TTable& TTables::append(const std::string& name, bool binDesc) {
    return append(pointer<TTable>(new TTable(m_FileSet, name, binDesc)));
}

TTable& TTables::append(const pointer<TTable>& table) {
    unsigned k = m_Tables.indexOf(table->name());
    if (k == m_Tables.size())
        m_Tables.add(table);
    else
        m_Tables.updateAt(k, table);
    return *table;
}

TTable& TTables::at(unsigned i) { return static_cast<TTable&>(m_Tables.objectAt(checkedIndex(i))); }

const TTable& TTables::at(unsigned i) const {
    return static_cast<const TTable&>(m_Tables.objectAt(checkedIndex(i)));
}

const TTable& TTables::operator[](const std::string& name) const {
    return static_cast<const TTable&>(m_Tables.objectAt(checkedIndex(name)));
}

pointer<TTable> TTables::ptrAt(unsigned i) const {
    return static_pointer_cast<TTable>(m_Tables.ptrAt(checkedIndex(i)));
}

unsigned TTables::checkedIndex(unsigned i) const {
    if (i >= size()) badIndex(i);
    return i;
}

unsigned TTables::checkedIndex(const std::string& name) const {
    unsigned i = m_Tables.indexOf(name);
    if (i >= size()) badKey(name);
    return i;
}

unsigned TTables::checkedIndex(const char* name) const { return checkedIndex(std::string(name)); }

void TTables::badIndex(unsigned i) { Utils::raise_out_of_range("Table set index out of bounds: " + decimal(i)); }

void TTables::badKey(const std::string& name) { Utils::raise_out_of_range("Table " + name + " doesn't exists"); }

void TTables::erase() {
    FileSet::change_scope change(m_FileSet);
    for (unsigned i = 0; i < size(); ++i) at(i).erase();
}

void TTables::to_stream(std::ostream& os) const {
    std::vector<list_entry> entries;
    for (unsigned i = 0; i < size(); ++i) entries.push_back({at(i).name(), at(i).binDesc()});
    writeList(os, entries);
}

void TTables::writeList(std::ostream& os, const std::vector<list_entry>& entries) {
    table_list::writeEach(os, entries);
}

void TTables::from_stream(std::istream& is) {
    readList(is, [this](const list_entry& entry) { append(entry.name, entry.binary); });
}

void TTables::readList(std::istream& is, const std::function<void(const list_entry&)>& each) {
    table_list::readEach(is, each);
}

void TTables::serial_write(std::ostream& os) const {
    serial::serial_out writer(os);
    writer << table_list::writtenCount(size());
    for (unsigned i = 0; i < size(); ++i) {
        writer << at(i).name();
        os.put(at(i).binDesc() ? 1 : 0);
    }
}

void TTables::serial_read(std::istream& is) {
    serial::serial_in reader(is);
    unsigned short count = 0;
    reader >> count;
    for (unsigned k = 0; k < count && !is.fail(); ++k) {
        std::string name;
        reader >> name;
        char flag = 0;
        is.get(flag);
        if (is.fail()) break;
        append(name, flag != 0);
    }
}

unsigned TTables::serial_size() const {
    unsigned total = 2;
    for (unsigned i = 0; i < size(); ++i) total += 4 + static_cast<unsigned>(at(i).name().size()) + 1;
    return total;
}

}  // namespace Orvex
