#include "fileset/vfstream.h"

#include <algorithm>
#include <limits>

#include "fileset/TRenaming.h"

#include "support/Utils.h"

namespace FileSet {

// ------------------------------------------------------------- base_vfstream

void base_vfstream::openBuffer(std::ios& owner, const char* name, std::ios_base::openmode mode) {
    m_open = m_fileSet->open(std::string(name), mode, 0, 1);
    owner.rdbuf(m_open ? m_open : unopened());
    if (!bufferOpen()) owner.setstate(std::ios_base::failbit);
}

void base_vfstream::closeBuffer(std::ios& owner, std::ostream* out) {
    if (!m_open) return;
    if (out) out->flush();
    std::streambuf* buffer = m_open;
    m_open = nullptr;
    owner.rdbuf(unopened());
    m_fileSet->close(buffer);
}

bool base_vfstream::bufferOpen() const { return m_open != nullptr && m_fileSet->isOpen(m_open); }

void base_vfstream::setFlags(bool flag1, bool flag2) {
    if (!m_open) return;
    m_fileSet->setStreamFlag1(m_open, flag1);
    m_fileSet->setStreamFlag2(m_open, flag2);
}

// ----------------------------------------------------------------- ivfstream

ivfstream::ivfstream(TFileSet& fs) : base_vfstream(fs), std::istream(unopened()) {}

ivfstream::ivfstream(TFileSet& fs, const char* name, std::ios_base::openmode mode, bool flag1, bool flag2)
    : base_vfstream(fs), std::istream(unopened()) {
    open(name, mode);
    setFlags(flag1, flag2);
}

ivfstream::~ivfstream() { close(); }

void ivfstream::open(const char* name, std::ios_base::openmode mode) {
    close();
    openBuffer(*this, name, mode | std::ios_base::in);
}

void ivfstream::close() { closeBuffer(*this, nullptr); }

// ----------------------------------------------------------------- ovfstream

ovfstream::ovfstream(TFileSet& fs) : base_vfstream(fs), std::ostream(unopened()) {}

ovfstream::ovfstream(TFileSet& fs, const char* name, std::ios_base::openmode mode, bool flag1, bool flag2)
    : base_vfstream(fs), std::ostream(unopened()) {
    open(name, mode);
    setFlags(flag1, flag2);
}

ovfstream::~ovfstream() { close(); }

void ovfstream::open(const char* name, std::ios_base::openmode mode) {
    close();
    openBuffer(*this, name, mode | std::ios_base::out);
}

void ovfstream::close() { closeBuffer(*this, this); }

// ------------------------------------------------------------------ vfstream

vfstream::vfstream(TFileSet& fs) : base_vfstream(fs), std::iostream(unopened()) {}

vfstream::~vfstream() { close(); }

void vfstream::open(const char* name, std::ios_base::openmode mode) {
    close();
    openBuffer(*this, name, mode | std::ios_base::in | std::ios_base::out);
}

void vfstream::close() { closeBuffer(*this, this); }

// ----------------------------------------------------------------- utilities

void copyStream(std::ostream& out, std::istream& in) {
    copyStream(out, in, std::numeric_limits<std::streamoff>::max());
}

std::streamoff copyStream(std::ostream& out, std::istream& in, std::streamoff limit) {
    const std::streamoff chunk = 2048;
    char buffer[chunk];
    std::streamoff done = 0;
    while (done < limit && !in.fail() && !out.fail()) {
        in.read(buffer, std::min(limit - done, chunk));
        out.write(buffer, in.gcount());
        done += in.gcount();
    }
    return done;
}

void moveFile(TFileSet& fs, const std::string& from, const std::string& to) {
    TRenaming* renaming = renamingOf(fs);
    if (renaming && renaming->rename(from, to)) return;
    ivfstream source(fs, from.c_str(), std::ios_base::binary, false, true);
    if (!source.is_open())
        Utils::raise_runtime_error("Couldn't move file " + from + " to " + to + ": " + from + " can't be opened");
    // A read that stops short looks like the end of the file; only the
    // length tells the two apart.
    source.seekg(0, std::ios_base::end);
    const std::streamoff length = source.tellg();
    source.seekg(0);
    fs.remove(to);
    ovfstream target(fs, to.c_str(), std::ios_base::binary, false, true);
    if (!target.is_open())
        Utils::raise_runtime_error("Couldn't move file " + from + " to " + to + ": " + to + " can't be opened");
    copyStream(target, source);
    target.flush();  // puts the bytes where the file set keeps them; fails if it can't
    const bool written = !target.fail();
    const bool read = length >= 0 && source.eof() && !source.bad() && (!written || target.tellp() == length);
    target.close();
    source.close();
    // The source goes only once its bytes have all reached the target.
    if (!written) Utils::raise_runtime_error("Couldn't move file " + from + " to " + to + ": writing " + to + " failed");
    if (!read) Utils::raise_runtime_error("Couldn't move file " + from + " to " + to + ": reading " + from + " failed");
    fs.remove(from);
}

}  // namespace FileSet
