// The bodies of the fuzz targets: one function per reader of the library.
// Each takes arbitrary bytes, hands them to the library as the file or line
// it reads (through a memory file set or a string stream) and says how the
// library answered:
//   Accepted  the input was read; what was read then passed the checks
//             (it writes back and reads again to the same thing, a sorted
//             table is in order, searches agree with a linear scan,
//             stripping keeps every value);
//   Rejected  the library refused it with one of the errors it documents
//             for that reader (exactly the std::runtime_error, out_of_range
//             or logic_error that Utils raises, as allowed per reader);
//   Skipped   the input asks for work out of proportion to its size that
//             the library rightly does (a header declaring billions of
//             zero-byte records, which it walks one by one).
// Anything else escapes: a broken check throws Fuzz::Finding, which derives
// from no standard exception so that no catch in the library can swallow
// it, and an undocumented exception goes on as it is.
//
// Input layouts, by target name (the name of its directories under
// fuzz/corpus and fuzz/regressions, and of its fuzzer without "_fuzzer"):
//   structure_text/_binary        a whole ".dst" / ".dsb" structure file;
//   transformers_text/_binary     a menu byte, then a ".trt" / ".trb" file;
//   table_list_text/_binary       a table-set list, over a set holding "a"
//                                 (binary, with transformer arguments), "b"
//                                 (text) and "c" (binary, no contents);
//   contents                      a menu byte, then a ".bin" file: read,
//                                 written back, sorted, searched, a run of
//                                 records erased and two inserted;
//   strip                         a form byte (bit 0: "a" binary, bit 1:
//                                 "b"), then up to six parts split by "|~|":
//                                 structure, transformers and contents of
//                                 "a", then of "b" (missing: no file); the
//                                 set {a, b} is stripped;
//   type_name                     a field-type name;
//   value_line                    a menu byte, then a text line of values.
// A menu byte, modulo 7, picks one of a fixed list of structures covering
// all six field types, keys of 3, 12 and whole-record width, an empty key,
// packed strings and zero-width fields (records of no bytes).
#pragma once

#include <string>
#include <vector>

namespace Fuzz {

enum class Outcome { Accepted, Rejected, Skipped };

// A check on data the library accepted failed: silently wrong data.
struct Finding {
    std::string what;
};

struct Target {
    const char* name;
    Outcome (*read)(const std::string& input);
};

// Every target; the first call also finishes the library's registrations.
const std::vector<Target>& targets();

}  // namespace Fuzz
