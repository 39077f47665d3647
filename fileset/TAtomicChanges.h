// FileSet::TAtomicChanges: what a file set offers when it can keep several
// changes together, all or nothing; and change_scope, how the library asks.
//
// A file set that can (the directory file set does, with a rollback journal)
// derives from this beside TFileSet. The library finds it with dynamic_cast
// and brackets each operation that changes more than one file (defining a
// table, stripping a set) with a change_scope; a file set without it
// serves the same operations unchanged, one file at a time.
//
// Scopes nest; only the outermost end commits. Ending a scope commits what
// the operation did even when it raises: an operation of the library that
// fails keeps what it documents it keeps. A caller that wants nothing of a
// failed operation (the orvex tool, for one) opens an outer scope of its own
// and has the file set roll it back instead of ending it.
#pragma once

#include <exception>

#include "fileset/TFileSet.h"

namespace FileSet {

class TAtomicChanges {
public:
    virtual ~TAtomicChanges() {}
    // Changes from here to the matching endChange are kept or lost together.
    virtual void beginChange() = 0;
    // Ends the innermost scope; the outermost one makes the changes final.
    // Raises std::runtime_error if they cannot be made final.
    virtual void endChange() = 0;
};

// Begins a change on a file set that offers it, and ends it when it goes.
class change_scope {
public:
    explicit change_scope(TFileSet& files) : m_changes(dynamic_cast<TAtomicChanges*>(&files)) {
        if (m_changes) m_changes->beginChange();
    }
    ~change_scope() noexcept(false) {
        // While an exception is on its way, a failure to commit must not end
        // the program; the first error is the one the caller hears of.
        if (!m_changes) return;
        if (std::uncaught_exceptions() > m_exceptions) {
            try {
                m_changes->endChange();
            } catch (...) {
            }
        } else {
            m_changes->endChange();
        }
    }
    change_scope(const change_scope&) = delete;
    change_scope& operator=(const change_scope&) = delete;

private:
    TAtomicChanges* m_changes;
    int m_exceptions = std::uncaught_exceptions();
};

}  // namespace FileSet
