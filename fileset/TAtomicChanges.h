// FileSet::TAtomicChanges: what a file set offers when it can keep several
// changes together, all or nothing; and change_scope, how the library asks.
//
// A file set that can (the directory and memory file sets do) derives from
// this beside TFileSet. The library finds it with dynamic_cast and brackets
// each operation that changes more than one file (defining a table,
// stripping one) with a change_scope; a file set without it serves the same
// operations unchanged, one file at a time, and whatever keeps them together
// there is the host's business.
//
// Scopes nest; only the outermost end commits and only the outermost abandon
// rolls back: an inner scope that ends or is abandoned leaves the decision to
// whoever opened the outer one (the orvex tool, for one, opens a scope for
// the whole command and has the file set roll it back when the command
// fails). By default a scope ends, and so commits, even while an exception
// leaves it: an operation of the library that fails keeps what it documents
// it keeps. An operation that must leave nothing of itself behind opens its
// scope with on_error::roll_back.
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
    // Ends the innermost scope; the outermost one undoes every change made
    // since it began. A set that cannot undo them at once (the directory
    // set, while files are still open) keeps the change failed: it is then
    // never made final, and is undone later.
    virtual void abandonChange() = 0;
};

// Whether a scope left by an exception keeps or undoes its changes.
enum class on_error { keep, roll_back };

// Begins a change on a file set that offers it, and ends it when it goes.
class change_scope {
public:
    explicit change_scope(TFileSet& files, on_error failure = on_error::keep)
        : m_changes(dynamic_cast<TAtomicChanges*>(&files)), m_failure(failure) {
        if (m_changes) m_changes->beginChange();
    }
    ~change_scope() noexcept(false) {
        // While an exception is on its way, a failure to commit or undo must
        // not end the program; the first error is the one the caller hears of.
        if (!m_changes) return;
        if (std::uncaught_exceptions() > m_exceptions) {
            try {
                if (m_failure == on_error::roll_back)
                    m_changes->abandonChange();
                else
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
    on_error m_failure;
    int m_exceptions = std::uncaught_exceptions();
};

}  // namespace FileSet
