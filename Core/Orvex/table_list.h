// The tables of a set by name and form, in order, without their definitions:
// what a program keeps beside a set to know its tables, since a table that is
// damaged can still be listed, looked at and removed. `define` makes the
// TTables from it.
//
// Its text form is TTables' own (to_stream and from_stream): a count line,
// then one line per table holding its name and its form, 1 for binary and 0
// for text. The name of the file a program keeps it in is
// kTableListFileName (Core/Orvex/table_files.h).
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "fileset/TFileSet.h"

namespace Orvex {

class TTables;

class table_list {
public:
    struct entry {
        std::string name;
        bool binary;  // the form: binary (.dsb, .trb) or text (.dst, .trt)
    };

    // Hands each entry of the text form to `each` as it is read, stopping
    // where a damaged or short list stops, and leaves the stream's state for
    // the caller to judge.
    static void readEach(std::istream& is, const std::function<void(const entry&)>& each);
    // Raises when there are more entries than the count line holds (65535).
    static void writeEach(std::ostream& os, const std::vector<entry>& entries);
    // The count a list of `size` tables writes; raises past 65535.
    static unsigned short writtenCount(std::size_t size);

    // Appends the entries read; see readEach.
    void read(std::istream& is);
    void write(std::ostream& os) const { writeEach(os, m_entries); }

    // The tables whose structure files are among `files`, by name: "temp" is
    // never one (a strip's scratch table), and the binary form is taken when
    // both are there.
    static table_list discover(const std::vector<std::string>& files);

    const std::vector<entry>& entries() const { return m_entries; }
    bool contains(const std::string& name) const;
    // Raises TTables' own error for a name not listed.
    const entry& find(const std::string& name) const;
    // Replaces the entry of the same name in its place, or appends.
    void put(const entry& table);
    void remove(const std::string& name);

    // Every table defined on `fs`, in list order; a table that cannot be
    // defined raises its own error.
    std::unique_ptr<TTables> define(FileSet::TFileSet& fs) const;

private:
    std::vector<entry> m_entries;
};

}  // namespace Orvex
