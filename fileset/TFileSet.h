// FileSet::TFileSet: the set of named files in which every table file lives.
//
// The host supplies it; the library only calls the six operations below, and
// only through the stream adapters of fileset/vfstream.h and `remove`. Table
// definitions refer to a file set and never own it: it must outlive them.
// A file set is called from whichever thread uses the tables on it; it needs
// no lock of its own unless the host shares it between threads.
#pragma once

#include <ios>
#include <streambuf>
#include <string>

namespace FileSet {

class TFileSet {
public:
    virtual ~TFileSet() {}

    // Opens the named file and returns the buffer to read and write it
    // through, owned by the file set until `close`. `mode` carries in, out or
    // both, possibly with binary, and behaves as for std::filebuf (out without
    // in or app empties the file), except that in|out creates a missing file.
    // Seeking and telling must work on both sides. Returns null when the file
    // cannot be opened; in particular an open without `out` of a missing file
    // gives null. The library always passes 0 and 1 as the two integers.
    virtual std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int, int) = 0;

    // True while a buffer returned by `open` is usable.
    virtual bool isOpen(std::streambuf* buffer) = 0;

    // Ends the use of a buffer returned by `open`; the library has flushed it
    // and never touches it again. What was written must then be kept.
    virtual void close(std::streambuf* buffer) = 0;

    // Per-stream settings, called once right after each successful open made
    // by a stream adapter; the library always passes false, then true. A file
    // set may ignore them.
    virtual void setStreamFlag1(std::streambuf* buffer, bool) = 0;
    virtual void setStreamFlag2(std::streambuf* buffer, bool) = 0;

    // Removes the named file. Removing a missing file is harmless. Returns
    // whether a file was removed; the library ignores the result.
    virtual bool remove(const std::string& name) = 0;
};

}  // namespace FileSet
