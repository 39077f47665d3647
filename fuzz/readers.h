// The bodies of the fuzz targets: one function per reader of the library.
// Each takes arbitrary bytes, hands them to the library as the file or line
// it reads (through a memory file set or a string stream) and says how the
// library answered:
//   Accepted  the input was read; what was read then passed the checks
//             below (it writes back and reads again to the same thing, a
//             sorted table is in order, searches agree with a linear scan,
//             stripping keeps every value);
//   Rejected  the library refused it with one of the errors it documents
//             for that reader (the exact std::runtime_error, out_of_range
//             or logic_error that Utils raises; which of them is
//             legitimate is decided per reader).
//   Skipped   the input asks for work out of proportion to its size that
//             the library rightly does (a header declaring billions of
//             zero-byte records, which it walks one by one); not run on.
// Anything else escapes: a broken check throws Fuzz::Finding, which derives
// from no standard exception so that no catch in the library or here can
// swallow it, and an undocumented exception is passed on as it is. The fuzz
// targets let both end the process; the regression test reports them.
//
// The readers are deterministic and keep no state between calls except the
// one-time module initialisation (the host's loader finishing the library's
// registrations), which every reader makes sure of first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Core/Orvex/__field.h"

namespace Fuzz {

enum class Outcome { Accepted, Rejected, Skipped };

const char* outcomeName(Outcome o);

// A check on data the library accepted failed: silently wrong data.
class Finding {
public:
    explicit Finding(const std::string& what) : m_what(what) {}
    const std::string& what() const { return m_what; }

private:
    std::string m_what;
};

// Input layouts. "Menu structure" means: the first byte modulo the number of
// structures in menuStructureCount() picks one of a fixed list covering all
// six field types, keys of 3, 12 and whole-record width, an empty key,
// packed strings and zero-width fields (records of no bytes); the rest of
// the input is what the reader reads.

// The whole input is a text (".dst") / binary (".dsb") structure file.
Outcome readStructureText(const std::uint8_t* data, std::size_t size);
Outcome readStructureBinary(const std::uint8_t* data, std::size_t size);
// Menu structure, then a text (".trt") / binary (".trb") transformer file.
Outcome readTransformersText(const std::uint8_t* data, std::size_t size);
Outcome readTransformersBinary(const std::uint8_t* data, std::size_t size);
// The whole input is a table-set list in text / binary form, read over a
// file set that holds the tables "a" (binary form, with transformer
// arguments), "b" (text form) and "c" (binary form, no contents file).
Outcome readTableListText(const std::uint8_t* data, std::size_t size);
Outcome readTableListBinary(const std::uint8_t* data, std::size_t size);
// Menu structure, then a contents (".bin") file: opened, read, written back
// as text and as a block, sorted and searched, then a run of records erased
// and two inserted.
Outcome openContents(const std::uint8_t* data, std::size_t size);
// A form byte (bit 0: table "a" in binary form, bit 1: table "b"), then up
// to six parts separated by kPartSeparator: structure, transformer and
// contents file of "a", then of "b". A missing part is a missing file. The
// set {a, b} is stripped.
Outcome stripSet(const std::uint8_t* data, std::size_t size);
// The whole input is a field-type name.
Outcome lookupTypeName(const std::uint8_t* data, std::size_t size);
// Menu structure, then one text line of values read into a record.
Outcome readValueLine(const std::uint8_t* data, std::size_t size);

extern const char kPartSeparator[];  // "|~|"
unsigned menuStructureCount();
Orvex::TFields menuStructure(unsigned which);  // which < menuStructureCount()

// Every target by name (the name of its directory under fuzz/corpus and
// fuzz/regressions, and of its fuzzer without "_fuzzer").
struct Target {
    const char* name;
    Outcome (*run)(const std::uint8_t*, std::size_t);
};
const std::vector<Target>& targets();

// Runs one input for a fuzzer: a Finding is printed and aborts.
int runForFuzzer(Outcome (*run)(const std::uint8_t*, std::size_t), const std::uint8_t* data, std::size_t size);

}  // namespace Fuzz
