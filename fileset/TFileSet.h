// FileSet::TFileSet: the set of named files in which every table file lives.
//
// The host supplies it; the library only calls the six operations below, and
// only through the stream adapters of fileset/vfstream.h and `remove`. A file
// set may offer more beside them, found with dynamic_cast: keeping changes
// together (fileset/TAtomicChanges.h) and renaming (fileset/TRenaming.h). Table
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
    // gives null.
    // The two integers are host-defined opening hints (a sharing mode and a
    // buffering hint in hosts that use them); the library always passes 0,
    // then 1, and our file sets ignore them.
    virtual std::streambuf* open(const std::string& name, std::ios_base::openmode mode, int, int) = 0;

    // True while a buffer returned by `open` is usable.
    virtual bool isOpen(std::streambuf* buffer) = 0;

    // Ends the use of a buffer returned by `open`; the library has flushed it
    // and never touches it again. What was written must then be kept.
    virtual void close(std::streambuf* buffer) = 0;

    // Per-stream settings a host may attach to an open buffer, called once
    // each, in this order, right after every successful open made by an
    // input or output stream adapter (never by the contents stream, which
    // opens with `open` alone). The library always passes false to the first
    // and true to the second, and relies on neither doing anything it can
    // see: a file set may ignore both, as ours do.
    virtual void setStreamFlag1(std::streambuf* buffer, bool) = 0;
    virtual void setStreamFlag2(std::streambuf* buffer, bool) = 0;

    // Removes the named file. Removing a missing file is harmless. Returns
    // whether a file was removed; the library ignores the result.
    virtual bool remove(const std::string& name) = 0;
};

}  // namespace FileSet
