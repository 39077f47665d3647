#include "Core/Orvex/table_soundness.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "Core/Orvex/table_files.h"
#include "Core/Orvex/table_list.h"
#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/Trans.h"
#include "Core/Orvex/field_traits.h"
#include "fileset/vfstream.h"
#include "support/serial.h"
#include "support/tabulation.h"

namespace Orvex {

namespace {

const unsigned long long kCountBytes = 4;  // the contents file's record count

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Collects the problems of one file, each prefixed with its name.
class FileProblems {
public:
    FileProblems(std::vector<std::string>& out, const std::string& file) : m_out(out), m_file(file) {}
    void add(const std::string& text) { m_out.push_back(m_file + ": " + text); }
    std::size_t count() const { return m_out.size(); }

private:
    std::vector<std::string>& m_out;
    std::string m_file;
};

// The counts at the head of a structure file, as written, before the
// library's reader interprets them.
bool readDeclaredCounts(std::istream& in, bool binary, unsigned short& count, unsigned short& keys) {
    if (binary) return serial::read_u16(in, count) && serial::read_u16(in, keys);
    tabulation::from_stream(in, count);
    tabulation::from_stream(in, keys);
    return !in.fail();
}

// Reads the structure whole; false (with the problem added) when it doesn't.
bool readStructure(FileSet::TFileSet& files, const std::string& name, bool binary, FileProblems& problems,
                   TFields& fields) {
    FileSet::ivfstream in(files, name.c_str(), std::ios_base::binary, false, true);
    unsigned short count = 0, keys = 0;
    if (!readDeclaredCounts(in, binary, count, keys)) {
        problems.add("damaged (no field and key counts at its start)");
        return false;
    }
    in.clear();
    in.seekg(0);
    try {
        if (binary) {
            serial::serial_in reader(in);
            fields = TFields(reader);
        } else {
            fields = TFields(in);
        }
    } catch (const std::exception& e) {
        problems.add(trimmedMessage(e.what()));
        return false;
    }
    if (in.fail()) {
        problems.add("damaged (ends before its last field)");
        return false;
    }
    if (!binary) in >> std::ws;
    if (in.peek() != std::char_traits<char>::eof()) problems.add("bytes after its last field");
    if (count == 0) problems.add("no fields (a table needs at least one)");
    if (keys > count)
        problems.add("a key of " + std::to_string(keys) + " fields, but only " + std::to_string(count) + " fields");
    for (unsigned i = 0; i < fields.size(); ++i) {
        const TFieldInfo& field = fields[i];
        if (field.name().empty()) problems.add("field " + std::to_string(i) + " has an empty name");
        if (field.name().find('\0') != std::string::npos)
            problems.add("field " + std::to_string(i) + " has a name holding a NUL character");
        if (field.typeValue() == field_traits<fixed_point>::type) {
            const unsigned precision = static_cast<const TField<fixed_point>&>(field).Precision();
            const unsigned largest = field_traits<fixed_point>::maxPrecision;
            if (precision > largest)
                problems.add("field " + field.name() + " has precision " + std::to_string(precision) +
                             ", above the largest a 32-bit value allows (" + std::to_string(largest) + ")");
        }
    }
    return true;
}

// The bounds of "sizeForRange" arguments, which the registry reads as
// fixed-point values whatever their form.
bool rangeBounds(const field_transformer_base::args& a, fixed_point& min, fixed_point& max) {
    const range_fixer_args* range = dynamic_cast<const range_fixer_args*>(&a);
    if (!range) return false;
    min = range->minFixed();
    max = range->maxFixed();
    return true;
}

// The problem of a transformer entry for `field`, or "".
std::string entryProblem(const TFieldInfo& field, const field_transformer_base::args& a) {
    const std::string& type = field.Type();
    const std::string category = a.category();
    if (category == range_fixer_args::getCategory()) {
        if (!visitField(field, [](auto traits, const auto&) { return traits.numeric; }))
            return category + " on field " + field.name() + " of type " + type + " (a range is for numeric fields)";
        fixed_point min, max;
        if (!rangeBounds(a, min, max)) return "the range of field " + field.name() + " does not read";
        if (min.to_double() > max.to_double())
            return "the range of field " + field.name() + " is reversed (" + min.text() + ".." + max.text() + ")";
        return std::string();
    }
    if (category == ref_fixer_args::getCategory()) {
        if (!visitField(field, [](auto traits, const auto&) { return traits.reference; }))
            return category + " on field " + field.name() + " of type " + type + " (a reference is a u_long)";
        return std::string();
    }
    return "category " + category + " on field " + field.name() + " is none that create or strip writes";
}

// A text entry ends its line: only blanks may follow its arguments.
bool atLineEnd(std::istream& in) {
    for (;;) {
        const int c = in.peek();
        if (c == std::char_traits<char>::eof() || c == '\n') return true;
        if (c != ' ' && c != '\t' && c != '\r') return false;
        in.get();
    }
}

void checkTransformers(FileSet::TFileSet& files, const std::string& name, bool binary, const TFields& fields,
                       FileProblems& problems) {
    FileSet::ivfstream in(files, name.c_str(), std::ios_base::binary, false, true);
    const field_transformer_manager& registry = field_transformer_manager::instance();
    std::set<unsigned> seen;
    for (unsigned entry = 1;; ++entry) {
        if (!binary) in >> std::ws;
        if (in.peek() == std::char_traits<char>::eof()) return;
        const std::string where = "entry " + std::to_string(entry) + ": ";
        unsigned short position = 0;
        std::string category;
        if (binary) {
            serial::serial_in reader(in);
            reader >> position >> category;
        } else {
            tabulation::from_stream(in, position);
            tabulation::from_stream(in, category);
        }
        if (in.fail()) return problems.add(where + "damaged (no field position and category)");
        pointer<field_transformer_base::args> args;
        try {
            args = registry.createArgs(category, in, binary);
        } catch (const std::exception& e) {
            return problems.add(where + trimmedMessage(e.what()));
        }
        if (in.fail() || !args) return problems.add(where + "damaged arguments of " + category);
        if (!binary && !atLineEnd(in)) return problems.add(where + "text after its arguments");
        if (position >= fields.size()) {
            problems.add(where + "for field " + std::to_string(position) + ", but there are only " +
                         std::to_string(fields.size()) + " fields");
            continue;
        }
        if (!seen.insert(position).second) problems.add(where + "a second entry for field " + fields[position].name());
        const std::string problem = entryProblem(fields[position], *args);
        if (!problem.empty()) problems.add(where + problem);
    }
}

void checkContents(FileSet::TFileSet& files, const std::string& name, const TFields& fields,
                   FileProblems& problems) {
    FileSet::ivfstream in(files, name.c_str(), std::ios_base::binary, false, true);
    const std::streamoff end =
        in.is_open() ? std::streamoff(in.rdbuf()->pubseekoff(0, std::ios_base::end, std::ios_base::in)) : -1;
    const unsigned long long size = end < 0 ? 0 : static_cast<unsigned long long>(end);
    if (end >= 0) in.rdbuf()->pubseekpos(0, std::ios_base::in);
    unsigned long count = 0;
    if (end < 0 || !serial::read_u32(in, count))
        return problems.add("shorter than its " + std::to_string(kCountBytes) + "-byte record count");
    const unsigned long long expected = kCountBytes + static_cast<unsigned long long>(count) * fields.byteSize();
    const std::string records = std::to_string(count) + (count == 1 ? " record" : " records");
    const unsigned long long extra = size - expected;
    if (size > expected)
        problems.add(std::to_string(extra) + (extra == 1 ? " byte" : " bytes") + " past the last of its " + records +
                     " (its record count does not cover them)");
    else if (size < expected)
        problems.add(std::to_string(size) + " bytes, but its " + records + " need " + std::to_string(expected));
}

// The file set offers no test for a file's presence; a read-only open is one.
bool opens(FileSet::TFileSet& files, const std::string& name) {
    return FileSet::ivfstream(files, name.c_str(), std::ios_base::binary, false, true).is_open();
}

}  // namespace

std::string trimmedMessage(const std::string& message) {
    const std::string::size_type start = message.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : message.substr(start);
}

std::vector<std::string> tableProblems(FileSet::TFileSet& files, const std::string& table, bool binDesc) {
    const std::vector<std::string> names = tableFileNames(table, binDesc);  // structure, transformers, contents
    std::vector<std::string> problems;
    for (std::size_t i : {0, 2})
        if (!opens(files, names[i])) problems.push_back(names[i] + " is missing");
    if (!problems.empty()) return problems;

    TFields fields;
    FileProblems structure(problems, names[0]);
    if (!readStructure(files, names[0], binDesc, structure, fields) || !problems.empty()) return problems;
    if (opens(files, names[1])) {
        FileProblems transformers(problems, names[1]);
        checkTransformers(files, names[1], binDesc, fields, transformers);
    }
    FileProblems contents(problems, names[2]);
    checkContents(files, names[2], fields, contents);
    return problems;
}

std::vector<std::string> setProblems(FileSet::TFileSet& files, const table_list& tables) {
    std::vector<std::string> problems;
    for (const table_list::entry& table : tables.entries()) {
        const std::vector<std::string> found = tableProblems(files, table.name, table.binary);
        problems.insert(problems.end(), found.begin(), found.end());
    }
    return problems;
}

std::vector<std::string> leftoverProblems(const std::vector<std::string>& names) {
    std::vector<std::string> found;
    for (const std::string& name : names) {
        if (name.rfind(std::string(kTemporaryTableName) + ".", 0) == 0)
            found.push_back(name + " is left over from an interrupted strip");
        else if (endsWith(name, ".load"))
            found.push_back(name + " is left over from an interrupted load of the text form");
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace Orvex
