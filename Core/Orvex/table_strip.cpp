#include "Core/Orvex/table_strip.h"

#include <cstring>
#include <iterator>
#include <sstream>

#include "Core/Orvex/Stripper.h"
#include "Core/Orvex/table_files.h"
#include "fileset/TAtomicChanges.h"
#include "support/Utils.h"

namespace Orvex {

namespace {

[[noreturn]] void raiseTemporaryNameTaken() {
    Utils::raise_runtime_error(std::string("Can't strip: a table named ") + kTemporaryTableName +
                               " would be overwritten by the temporary files of stripping; rename it first");
}

// The descriptors of every field of two structures, in order.
struct field_pairs {
    field_pairs(const TFields& from, const TFields& to) : from(from.size()), to(from.size()) {
        for (unsigned f = 0; f < from.size(); ++f) {
            this->from[f] = &from[f];
            this->to[f] = &to[f];
        }
    }
    // Each field of `source` through a value reference from the old
    // descriptor to the new one.
    void copy(const TRecord& source, TRecord& target) const {
        for (unsigned f = 0; f < from.size(); ++f)
            TFieldInfo::reference(*to[f], target.data()) = TFieldInfo::const_reference(*from[f], source.data());
    }
    std::vector<const TFieldInfo*> from, to;
};

}  // namespace

void TTable::strip(TTables& tables, const pointer<Console::TProgress>& progress) {
    table_stripping(*this, tables, progress).run();
}

void TTables::strip() {
    table_stripping::refuseTemporaryTable(std::string(), *this);
    for (unsigned i = 0; i < size(); ++i) at(i).strip(*this, pointer<Console::TProgress>());
}

void table_stripping::refuseTemporaryTable(const std::string& table, const TTables& tables) {
    if (table == kTemporaryTableName || tables.contains(kTemporaryTableName)) raiseTemporaryNameTaken();
}

table_stripping::table_stripping(TTable& table, TTables& tables, const pointer<Console::TProgress>& progress)
    : m_table(table), m_tables(tables), m_progress(progress), m_old(table.fields()) {}

void table_stripping::run() {
    refuseTemporaryTable(m_table.name(), m_tables);
    FileSet::change_scope change(m_table.fileSet(), FileSet::on_error::roll_back);
    makeTransformers();
    const unsigned long count = measure();
    const TFields stripped = newStructure();
    refuseLosingRecords(stripped, count);
    refuseLeftovers();
    if (rewriteChangesNothing(stripped, count)) {
        // What the swap leaves besides the files: a closed stream and a
        // definition holding the structure read anew.
        m_table.getFileStream().close();
        m_table.reread();
        return;
    }
    TTable temporary(m_table.fileSet(), kTemporaryTableName, m_table.binDesc(), stripped, TTable::Unread());
    writeTemporary(temporary, stripped, count);
    m_table.replaceFiles(temporary);
}

void table_stripping::refuseLeftovers() const {
    for (const std::string& name : temporaryFileNames())
        if (FileSet::ivfstream(m_table.fileSet(), name.c_str(), std::ios_base::binary, false, true).is_open())
            Utils::raise_runtime_error("Can't strip: " + name +
                                       " would be overwritten by the temporary files of stripping; rename or remove it first");
}

std::string table_stripping::structureImage(const TFields& fields) const {
    std::ostringstream image;
    if (m_table.binDesc())
        fields.serial_write(image);
    else
        fields.to_stream(image);
    return image.str();
}

bool table_stripping::rewriteChangesNothing(const TFields& stripped, unsigned long count) {
    FileSet::TFileSet& fs = m_table.fileSet();
    {
        FileSet::ivfstream in(fs, m_table.descFileName().c_str(), std::ios_base::binary, false, true);
        if (!in.is_open()) return false;
        const std::string current((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad() || current != structureImage(stripped)) return false;
    }
    TOpenTable source(m_table, false);
    FileSet::vfstream& contents = m_table.getFileStream();
    const std::streamoff length = contents.rdbuf()->pubseekoff(0, std::ios_base::end, std::ios_base::in);
    if (length != static_cast<std::streamoff>(4 + count * static_cast<unsigned long>(stripped.byteSize()))) return false;
    TRecord from(source.fields()), to(stripped);
    const field_pairs fields(source.fields(), stripped);
    const std::size_t size = stripped.byteSize();
    // No report while it may still turn out that the copy must be made,
    // whose reports would then step back.
    for (unsigned long i = 0; i < count; ++i) {
        source.readInto(i, from);
        if (contents.fail()) source.raiseUnreadable();
        fields.copy(from, to);
        if (std::memcmp(from.data()(0), to.data()(0), size) != 0) return false;
    }
    if (m_progress) {
        if (count > 0) m_progress->update(static_cast<int>(2 * count - 1));
        m_progress->finish();
    }
    return true;
}

void table_stripping::makeTransformers() {
    field_transformer_manager& registry = field_transformer_manager::instance();
    m_transformers.reserve(m_old.size());
    for (unsigned i = 0; i < m_old.size(); ++i) {
        pointer<field_transformer_base::args> args = m_old[i].transformer();
        if (args) {
            m_transformers.push_back(registry.createTransformer(m_old, m_old[i].name(), m_tables, *args));
        } else {
            stripper_args strip;
            m_transformers.push_back(registry.createTransformer(m_old, m_old[i].name(), m_tables, strip));
        }
    }
    for (unsigned j = 0; j < m_transformers.size(); ++j) m_transformers[j]->reset(m_old[j]);
}

unsigned long table_stripping::measure() {
    TOpenTable open(m_table, false);
    const unsigned long count = open.size();
    if (count == 0) return 0;
    if (m_progress) m_progress->start(static_cast<int>(2 * count));
    TRecord source(open.fields());
    for (unsigned long i = 0; i < count; ++i) {
        if (m_progress) m_progress->update(static_cast<int>(i));
        open.readInto(i, source);
        for (unsigned j = 0; j < m_transformers.size(); ++j) m_transformers[j]->onChange(source, j);
    }
    if (m_table.getFileStream().fail()) open.raiseUnreadable();
    return count;
}

TFields table_stripping::newStructure() const {
    TFields stripped;
    for (unsigned j = 0; j < m_transformers.size(); ++j) {
        if (j == m_old.endOfKey()) stripped += TEndOfKey();
        m_transformers[j]->addToFields(stripped, m_old[j]);
    }
    return stripped;
}

void table_stripping::refuseLosingRecords(const TFields& stripped, unsigned long count) const {
    if (count > 0 && stripped.byteSize() == 0)
        Utils::raise_runtime_error("Can't strip table " + m_table.name() + ": its " + std::to_string(count) +
                                   " records would take 0 bytes each, and a table of such records opens empty");
}

void table_stripping::writeTemporary(TTable& temporary, const TFields& stripped, unsigned long count) {
    try {
        writeTemporaryStructure(temporary, stripped);
        copyRecords(temporary, count);
        // A contents file cut short would be swapped in as the table's.
        FileSet::ivfstream written(m_table.fileSet(), temporary.contentsFileName().c_str(), std::ios_base::binary, false, true);
        const std::streamoff expected = 4 + static_cast<std::streamoff>(count) * stripped.byteSize();
        if (!written.is_open() || written.rdbuf()->pubseekoff(0, std::ios_base::end, std::ios_base::in) != expected)
            Utils::raise_runtime_error("Couldn't write " + temporary.contentsFileName());
    } catch (...) {
        for (const std::string& name : temporaryFileNames()) m_table.fileSet().remove(name);
        throw;
    }
}

void table_stripping::writeTemporaryStructure(TTable& temporary, const TFields& stripped) {
    FileSet::TFileSet& fs = m_table.fileSet();
    temporary.writeFields(fs);
    temporary.writeTransformers(fs);
    temporary.erase();
    temporary.writeFields(fs);
    // The structure file must hold exactly what was meant to be written: a
    // short one would be swapped in as the table's.
    FileSet::ivfstream in(fs, temporary.descFileName().c_str(), std::ios_base::binary, false, true);
    const bool opened = in.is_open();
    std::string written;
    if (opened) written.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!opened || written != structureImage(stripped))
        Utils::raise_runtime_error("Couldn't write " + temporary.descFileName());
}

void table_stripping::copyRecords(TTable& temporary, unsigned long count) {
    TOpenTable source(m_table, false);
    TOpenTable target(temporary, true);
    TRecord from(source.fields()), to(target.fields());
    const field_pairs fields(from.fields(), to.fields());
    for (unsigned long i = 0; i < count; ++i) {
        if (m_progress) m_progress->update(static_cast<int>(count + i));
        source.readInto(i, from);
        fields.copy(from, to);
        target.push_back(to);
    }
    if (m_table.getFileStream().fail()) source.raiseUnreadable();  // records read short went nowhere
    if (m_progress) m_progress->finish();
    if (!target.closeStream()) Utils::raise_runtime_error("Couldn't write " + temporary.contentsFileName());
}

}  // namespace Orvex
