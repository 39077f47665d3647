#include "Core/Orvex/__table.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>

#include <boost/crc.hpp>

#include "Core/Orvex/Stripper.h"
#include "Core/Orvex/Trans.h"
#include "fileset/TAtomicChanges.h"
#include "support/Utils.h"
#include "support/tabulation.h"

namespace Orvex {

namespace {

const std::streamoff kHeaderSize = 4;               // the record count
const std::streamoff kMaxContentsBytes = 0x7FFFFFFF;  // positions are signed 32-bit in the format
const unsigned long kMaxCount = 0xFFFFFFFF;           // the header holds 32 bits
const std::streamoff kMoveChunk = 2048;              // tail moves go through one buffer of this size
const char kStagingExtension[] = ".load";           // a text load's records before they replace the table's

const std::ios_base::openmode kBinary = std::ios_base::binary;

std::string decimal(unsigned long v) { return std::to_string(v); }

// The names of a table's files, shared by its definition and the strip journal.
std::string descFileNameOf(const std::string& table, bool binDesc) { return table + (binDesc ? ".dsb" : ".dst"); }
std::string contentsFileNameOf(const std::string& table) { return table + ".bin"; }

// A read of records that stopped short, where going on would work with
// records that were never read.
[[noreturn]] void raiseUnreadable(const std::string& file) {
    Utils::raise_runtime_error("Couldn't read file content: " + file);
}

void endLine(std::ostream& os) {
    os << '\n';
    os.flush();
}

// Copies up to n bytes of `in` to `out` while neither fails; returns how
// many were read.
std::streamoff copyBytes(std::ostream& out, std::istream& in, std::streamoff n) {
    char buffer[kMoveChunk];
    std::streamoff done = 0;
    while (done < n && !in.fail() && !out.fail()) {
        in.read(buffer, std::min(n - done, kMoveChunk));
        out.write(buffer, in.gcount());
        done += in.gcount();
    }
    return done;
}

// Reads `in` to its end; returns how many bytes that was.
std::streamoff skipRest(std::istream& in) {
    char buffer[kMoveChunk];
    std::streamoff done = 0;
    while (!in.fail()) {
        in.read(buffer, kMoveChunk);
        done += in.gcount();
    }
    return done;
}

}  // namespace

// ===================================================================== TTable

TTable::TTable(FileSet::TFileSet& fs, const std::string& name, bool binDesc, const TFields& fields, Unread)
    : TNamed(name),
      m_BinDesc(binDesc),
      m_DescFileName(descFileNameOf(name, binDesc)),
      m_TransFileName(name + (binDesc ? ".trb" : ".trt")),
      m_ContentsFileName(contentsFileNameOf(name)),
      m_FileSet(fs),
      m_Stream(fs),
      m_Fields(fields) {}

TTable::TTable(FileSet::TFileSet& fs, const std::string& name, bool binDesc)
    : TTable(fs, name, binDesc, TFields(), Unread()) {
    recoverInterruptedStrip(fs);
    m_Fields = getFields(fs);
    getTransformers(m_Fields, fs);
}

TTable::TTable(FileSet::TFileSet& fs, const std::string& name, const TFields& fields, bool binDesc)
    : TTable(fs, name, binDesc, fields, Unread()) {
    FileSet::change_scope change(fs);  // both companion files, or neither
    recoverInterruptedStrip(fs);
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

// ------------------------------------------------------------------ stripping
//
// The journal of a strip, "temp.jnl", exists from before the first temporary
// file is written until the swap is over, so that whatever the strip leaves
// behind when it is cut off can be told apart from a table named "temp" and
// finished or undone. It is one line of tokens: the table's name, its form
// flag, a state and the word "end". State "prepared": the table's own files
// are untouched and the temporary files may be incomplete. State "swapping",
// written only once both temporary files are complete: the line also gives
// the size and checksum of the temporary structure and contents files. A line
// that does not read through to "end" counts as "prepared", since the swap
// starts only after a "swapping" line has been written whole.

namespace {
const char kTemporaryName[] = "temp";
const char kJournalName[] = "temp.jnl";
const char* const kTemporaryFiles[] = {"temp.dst", "temp.dsb", "temp.trt", "temp.trb", "temp.bin"};
const char kSwapping[] = "swapping";

[[noreturn]] void raiseTemporaryNameTaken() {
    Utils::raise_runtime_error(std::string("Can't strip: a table named ") + kTemporaryName +
                               " would be overwritten by the temporary files of stripping; rename it first");
}

// What a file holds, as far as the journal needs to know.
struct FileSignature {
    unsigned long size = 0;
    unsigned long checksum = 0;
    bool operator==(const FileSignature& o) const { return size == o.size && checksum == o.checksum; }
};

struct StripJournal {
    std::string table;
    bool binDesc = false;
    bool swapping = false;
    FileSignature desc, contents;

    std::string descFileName() const { return descFileNameOf(table, binDesc); }
    std::string contentsFileName() const { return contentsFileNameOf(table); }
    std::string temporaryDescFileName() const { return descFileNameOf(kTemporaryName, binDesc); }
    std::string temporaryContentsFileName() const { return contentsFileNameOf(kTemporaryName); }
};

bool canOpen(FileSet::TFileSet& fs, const std::string& name) {
    return FileSet::ivfstream(fs, name.c_str(), kBinary, false, true).is_open();
}

// False when the file can't be opened or read to its end.
bool signatureOf(FileSet::TFileSet& fs, const std::string& name, FileSignature& signature) {
    FileSet::ivfstream in(fs, name.c_str(), kBinary, false, true);
    if (!in.is_open()) return false;
    boost::crc_32_type crc;
    std::vector<char> block(1 << 16);
    unsigned long size = 0;
    for (;;) {
        const std::streamsize got = in.rdbuf()->sgetn(block.data(), static_cast<std::streamsize>(block.size()));
        if (got <= 0) break;
        crc.process_bytes(block.data(), static_cast<std::size_t>(got));
        size += static_cast<unsigned long>(got);
    }
    signature.size = size;
    signature.checksum = crc.checksum();
    return true;
}

FileSignature signatureOfBytes(const std::string& bytes) {
    boost::crc_32_type crc;
    crc.process_bytes(bytes.data(), bytes.size());
    FileSignature signature;
    signature.size = bytes.size();
    signature.checksum = crc.checksum();
    return signature;
}

// False when the journal could not be written whole.
bool writeJournal(FileSet::TFileSet& fs, const StripJournal& journal) {
    FileSet::ovfstream out(fs, kJournalName, std::ios_base::openmode(), false, true);
    if (!out.is_open()) return false;
    tabulation::to_stream(out, journal.table);
    tabulation::to_stream(out, static_cast<unsigned char>(journal.binDesc ? 1 : 0));
    if (journal.swapping) {
        tabulation::to_stream(out, std::string(kSwapping));
        for (const FileSignature* f : {&journal.desc, &journal.contents}) {
            tabulation::to_stream(out, f->size);
            tabulation::to_stream(out, f->checksum);
        }
    } else {
        tabulation::to_stream(out, std::string("prepared"));
    }
    tabulation::to_stream(out, std::string("end"));
    endLine(out);
    return out.good();
}

// False when there is no journal; a damaged one reads as "prepared".
bool readJournal(FileSet::TFileSet& fs, StripJournal& journal) {
    FileSet::ivfstream in(fs, kJournalName, std::ios_base::openmode(), false, true);
    if (!in.is_open()) return false;
    StripJournal read;
    unsigned char flag = 0;
    std::string state, end;
    tabulation::from_stream(in, read.table);
    tabulation::from_stream(in, flag);
    tabulation::from_stream(in, state);
    read.binDesc = flag != 0;
    if (state == kSwapping) {
        for (FileSignature* f : {&read.desc, &read.contents}) {
            tabulation::from_stream(in, f->size);
            tabulation::from_stream(in, f->checksum);
        }
        tabulation::from_stream(in, end);
        read.swapping = !in.fail() && end == "end" && !read.table.empty();
    }
    journal = read;
    return true;
}

// Removes the temporary files; false when one of them is still there.
bool removeTemporaries(FileSet::TFileSet& fs) {
    bool removed = true;
    for (const char* name : kTemporaryFiles) {
        fs.remove(name);
        if (canOpen(fs, name)) removed = false;
    }
    return removed;
}

void removeJournal(FileSet::TFileSet& fs) {
    fs.remove(kJournalName);
    if (canOpen(fs, kJournalName))
        Utils::raise_runtime_error(std::string("Couldn't remove the strip journal ") + kJournalName);
}

[[noreturn]] void raiseUnrecoverable(const StripJournal& journal, const std::string& why) {
    Utils::raise_runtime_error("Can't finish the interrupted strip of table " + journal.table + ": " + why +
                               "; its files and " + kJournalName + " are left as they are");
}

// Moves one temporary file over the table's, unless that was done already.
void finishMove(FileSet::TFileSet& fs, const StripJournal& journal, const std::string& from, const std::string& to,
                const FileSignature& expected) {
    FileSignature found;
    if (signatureOf(fs, from, found)) {
        if (!(found == expected)) raiseUnrecoverable(journal, from + " isn't the file the journal describes");
        FileSet::moveFile(fs, from, to);
        if (canOpen(fs, from)) raiseUnrecoverable(journal, "couldn't remove " + from);
    } else if (!signatureOf(fs, to, found) || !(found == expected)) {
        raiseUnrecoverable(journal, from + " can't be opened and " + to + " isn't its copy");
    }
}

// The swap of a journal in state "swapping": each move replaces its target
// only once its source is open and removes the source only once the target
// holds every byte, so it can be cut off and done again at any point.
void finishSwap(FileSet::TFileSet& fs, const StripJournal& journal) {
    finishMove(fs, journal, journal.temporaryDescFileName(), journal.descFileName(), journal.desc);
    finishMove(fs, journal, journal.temporaryContentsFileName(), journal.contentsFileName(), journal.contents);
    if (!removeTemporaries(fs)) raiseUnrecoverable(journal, "a temporary file can't be removed");
    removeJournal(fs);
}

// Undoes a strip that failed before its swap, without raising: what can't be
// removed stays, with the journal, for the next recovery.
void abandonStrip(FileSet::TFileSet& fs, const StripJournal& journal, bool swappingWritten) {
    if (swappingWritten) {
        // The journal may say "swapping"; it must say otherwise before a
        // temporary file goes, or a recovery would finish a half-removed swap.
        StripJournal prepared = journal;
        prepared.swapping = false;
        if (!writeJournal(fs, prepared)) return;
    }
    if (!removeTemporaries(fs)) return;
    fs.remove(kJournalName);
}

// Temporary files with no journal belong to somebody else: a table named
// "temp", or files a host put there. A strip must not overwrite them.
void refuseForeignTemporaries(FileSet::TFileSet& fs) {
    for (const char* name : kTemporaryFiles)
        if (canOpen(fs, name))
            Utils::raise_runtime_error(std::string("Can't strip: ") + name +
                                       " would be overwritten by the temporary files of stripping; rename or remove it first");
}
}  // namespace

bool recoverInterruptedStrip(FileSet::TFileSet& fs) {
    StripJournal journal;
    if (!readJournal(fs, journal)) return false;
    if (journal.swapping) {
        finishSwap(fs, journal);
    } else {
        if (!removeTemporaries(fs))
            Utils::raise_runtime_error(std::string("Couldn't remove the temporary files of an interrupted strip; ") +
                                       kJournalName + " is left for the next attempt");
        removeJournal(fs);
    }
    return true;
}

void TTable::strip(TTables& tables, const pointer<Console::TProgress>& progress) {
    if (name() == kTemporaryName) raiseTemporaryNameTaken();
    FileSet::change_scope change(m_FileSet);
    if (tables.contains(kTemporaryName)) raiseTemporaryNameTaken();
    const TFields old = m_Fields;
    field_transformer_manager& registry = field_transformer_manager::instance();

    // Every transformer is made before any is used, so a field that cannot
    // be transformed stops the strip before a file is written.
    std::vector<pointer<field_transformer_base> > transformers;
    transformers.reserve(old.size());
    for (unsigned i = 0; i < old.size(); ++i) {
        pointer<field_transformer_base::args> args = old[i].transformer();
        if (args) {
            transformers.push_back(registry.createTransformer(old, old[i].name(), tables, *args));
        } else {
            stripper_args strip;
            transformers.push_back(registry.createTransformer(old, old[i].name(), tables, strip));
        }
    }
    for (unsigned j = 0; j < transformers.size(); ++j) transformers[j]->reset(old[j]);

    unsigned long count = 0;
    {
        TOpenTable open(*this, false);
        count = open.size();
        if (count > 0) {
            if (progress) progress->start(static_cast<int>(2 * count));
            TRecord source(open.fields());
            for (unsigned long i = 0; i < count; ++i) {
                if (progress) progress->update(static_cast<int>(i));
                open.readInto(i, source);
                for (unsigned j = 0; j < transformers.size(); ++j) transformers[j]->onChange(source, j);
            }
            if (m_Stream.fail()) raiseUnreadable(m_ContentsFileName);
        }
    }

    TFields stripped;
    for (unsigned j = 0; j < transformers.size(); ++j) {
        if (j == old.endOfKey()) stripped += TEndOfKey();
        transformers[j]->addToFields(stripped, old[j]);
    }

    recoverInterruptedStrip(m_FileSet);
    refuseForeignTemporaries(m_FileSet);
    StripJournal journal;
    journal.table = name();
    journal.binDesc = m_BinDesc;
    if (!writeJournal(m_FileSet, journal)) {
        m_FileSet.remove(kJournalName);
        Utils::raise_runtime_error(std::string("Couldn't write the strip journal ") + kJournalName);
    }

    // Made without the public constructor, which would take this strip's
    // own journal for an interrupted one.
    TTable temporary(m_FileSet, kTemporaryName, m_BinDesc, stripped, Unread());
    bool swappingWritten = false;
    try {
        temporary.writeFields(m_FileSet);
        temporary.writeTransformers(m_FileSet);
        temporary.erase();
        temporary.writeFields(m_FileSet);
        // The structure file must hold exactly what was meant to be written:
        // a short one would be swapped in as the table's.
        std::ostringstream image;
        if (m_BinDesc)
            stripped.serial_write(image);
        else
            stripped.to_stream(image);
        journal.desc = signatureOfBytes(image.str());
        FileSignature written;
        if (!signatureOf(m_FileSet, temporary.descFileName(), written) || !(written == journal.desc))
            Utils::raise_runtime_error("Couldn't write " + temporary.descFileName());
        {
            TOpenTable source(*this, false);
            TOpenTable target(temporary, true);
            TRecord from(source.fields()), to(target.fields());
            const unsigned n = from.fields().size();
            // Field f of each record goes through a value reference from the
            // old descriptor to the new one; the descriptors are looked up once.
            std::vector<const TFieldInfo*> oldField(n), newField(n);
            for (unsigned f = 0; f < n; ++f) {
                oldField[f] = &from.fields()[f];
                newField[f] = &to.fields()[f];
            }
            for (unsigned long i = 0; i < count; ++i) {
                if (progress) progress->update(static_cast<int>(count + i));
                source.readInto(i, from);
                for (unsigned f = 0; f < n; ++f)
                    TFieldInfo::reference(*newField[f], to.data()) = TFieldInfo::const_reference(*oldField[f], from.data());
                target.push_back(to);
            }
            if (m_Stream.fail()) raiseUnreadable(m_ContentsFileName);  // records read short went nowhere
            if (progress) progress->finish();
            if (!target.closeStream())
                Utils::raise_runtime_error("Couldn't write " + temporary.contentsFileName());
        }
        const unsigned long expectedSize =
            static_cast<unsigned long>(kHeaderSize) + count * static_cast<unsigned long>(stripped.byteSize());
        if (!signatureOf(m_FileSet, temporary.contentsFileName(), journal.contents) ||
            journal.contents.size != expectedSize)
            Utils::raise_runtime_error("Couldn't write " + temporary.contentsFileName());
        journal.swapping = true;
        swappingWritten = true;
        if (!writeJournal(m_FileSet, journal))
            Utils::raise_runtime_error(std::string("Couldn't write the strip journal ") + kJournalName);
    } catch (...) {
        abandonStrip(m_FileSet, journal, swappingWritten);
        throw;
    }

    // From here the strip can only go forward: an error leaves the journal,
    // and the next recovery finishes the swap.
    m_Stream.close();
    finishSwap(m_FileSet, journal);
    reread();
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

void TOpenTable::raiseBadIndex(unsigned long i) const {
    Utils::raise_out_of_range(name() + " index out of bounds: " + decimal(i));
}

unsigned long TOpenTable::findSize() const {
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
    std::streambuf* buffer = m_Stream->rdbuf();
    const std::streamoff at = offsetOf(i);
    if (buffer->pubseekpos(at, std::ios_base::in) != std::streampos(at)) {
        m_Stream->setstate(std::ios_base::failbit);
        return;
    }
    const std::streamsize size = static_cast<std::streamsize>(m_RecordSize);
    if (buffer->sgetn(r.data()(0), size) != size) m_Stream->setstate(std::ios_base::failbit | std::ios_base::eofbit);
}

bool TOpenTable::writeAt(unsigned long i, const TRecord& r) const {
    if (m_Stream->fail()) return false;
    std::streambuf* buffer = m_Stream->rdbuf();
    const std::streamoff at = offsetOf(i);
    const std::streamsize size = static_cast<std::streamsize>(m_RecordSize);
    if (buffer->pubseekpos(at, std::ios_base::out) != std::streampos(at) || buffer->sputn(r.data()(0), size) != size) {
        m_Stream->setstate(std::ios_base::badbit);
        return false;
    }
    return true;
}

TRecord TOpenTable::at(unsigned long i) {
    TRecord r(m_Fields);
    readInto(i, r);
    return r;
}

TRecord TOpenTable::at(unsigned long i) const {
    TRecord r(m_Fields);
    readInto(i, r);
    return r;
}

void TOpenTable::writeFrom(unsigned long i, const TRecord& r) {
    if (writeAt(i, r)) m_HeaderDirty = true;
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
    for (unsigned long k = 0; k < n && !m_Stream->fail(); ++k) r.serial_write(*m_Stream);
    // Counted only once in place; a failed stream keeps the old header too.
    if (!m_Stream->good()) Utils::raise_runtime_error("Couldn't refresh file content: " + m_Table.contentsFileName());
    m_Count += n;
    m_HeaderDirty = true;
}

void TOpenTable::erase(unsigned long from, unsigned long to) {
    if (from > m_Count) raiseBadIndex(from);
    if (to > m_Count || from > to) raiseBadIndex(to);
    if (from == to) return;
    moveTail(offsetOf(to), offsetOf(m_Count), offsetOf(to - from) - kHeaderSize, false);
    if (!m_Stream->good()) Utils::raise_runtime_error("Couldn't refresh file content: " + m_Table.contentsFileName());
    m_Count -= to - from;
    m_HeaderDirty = true;
}

void TOpenTable::moveTail(std::streamoff begin, std::streamoff end, std::streamoff distance, bool towardsEnd) {
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
        const std::streamoff copied = copyBytes(*m_Stream, in, records);
        std::streamoff beyond = 0;
        if (copied == records) beyond = skipRest(in);
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

// ------------------------------------------------------- sorting and searching
//
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
        if (m_Stream->fail()) raiseUnreadable(m_Table.contentsFileName());
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

// ------------------------------------------------------------------ text form

std::ostream& operator<<(std::ostream& os, const TOpenTable& table) {
    pointer<Console::TProgress> progress = table.progress();
    if (progress) progress->start(static_cast<int>(table.size()));
    for (unsigned long i = 0; i < table.size() && !os.fail(); ++i) {
        if (progress) progress->update(static_cast<int>(i));
        table.at(i).to_stream(os);
        endLine(os);
    }
    if (progress) progress->finish();
    return os;
}

std::istream& operator>>(std::istream& is, TOpenTable& table) {
    FileSet::change_scope change(table.m_Table.fileSet());  // the staging file and the contents together
    table.readText(is);
    return is;
}

// The records are staged in a file of their own and replace the table's
// only once every line is read and they fit, so a load that would pass the
// limit, or whose staging file can't be written, leaves the table as it was.
void TOpenTable::readText(std::istream& is) {
    FileSet::TFileSet& fs = m_Table.fileSet();
    const std::string name = m_Table.name() + kStagingExtension;
    FileSet::vfstream staged(fs);
    staged.open(name.c_str(), kBinary | std::ios_base::trunc);
    try {
        if (!staged.is_open()) Utils::raise_runtime_error("Couldn't open file: " + name);
        serial::serial_out(staged) << 0ul;
        const unsigned long room = roomAfter(0);
        unsigned long count = 0;
        TRecord record(m_Fields);
        for (;;) {
            char c;
            if (!(is >> c)) {
                is.clear(is.rdstate() & ~std::ios_base::failbit);
                break;
            }
            if (is.eof()) break;
            is.unget();
            record.from_stream(is);
            if (is.fail()) break;
            if (count == room) raiseTooLarge();
            record.serial_write(staged);
            ++count;
        }
        staged.seekp(0);
        serial::serial_out(staged) << count;
        staged.seekg(0);
        if (!staged.good()) Utils::raise_runtime_error("Couldn't write " + name);
        serial_read(staged);
    } catch (...) {
        staged.close();
        fs.remove(name);
        throw;
    }
    staged.close();
    fs.remove(name);
}

// ================================================================= TTables

TTables::TTables(FileSet::TFileSet& fs) : m_FileSet(fs), m_Tables(&TTables::badIndex, &TTables::badKey) {
    recoverInterruptedStrip(fs);
}

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

void TTables::strip() {
    if (contains(kTemporaryName)) raiseTemporaryNameTaken();
    FileSet::change_scope change(m_FileSet);  // the whole set, not table by table
    for (unsigned i = 0; i < size(); ++i) at(i).strip(*this, pointer<Console::TProgress>());
}

void TTables::erase() {
    FileSet::change_scope change(m_FileSet);
    for (unsigned i = 0; i < size(); ++i) at(i).erase();
}

namespace {
unsigned short listCount(unsigned size) {
    if (size > 0xFFFF)
        Utils::raise_runtime_error("A table set of " + decimal(size) + " tables can't be written: at most 65535");
    return static_cast<unsigned short>(size);
}
}  // namespace

void TTables::to_stream(std::ostream& os) const {
    tabulation::to_stream(os, listCount(size()));
    endLine(os);
    for (unsigned i = 0; i < size(); ++i) {
        tabulation::to_stream(os, at(i).name());
        tabulation::to_stream(os, static_cast<unsigned char>(at(i).binDesc() ? 1 : 0));
        endLine(os);
    }
}

void TTables::from_stream(std::istream& is) {
    unsigned short count = 0;
    tabulation::from_stream(is, count);
    for (unsigned k = 0; k < count && !is.fail(); ++k) {
        std::string name;
        unsigned char flag = 0;
        tabulation::from_stream(is, name);
        tabulation::from_stream(is, flag);
        if (is.fail()) break;
        append(name, flag != 0);
    }
}

void TTables::serial_write(std::ostream& os) const {
    serial::serial_out writer(os);
    writer << listCount(size());
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
