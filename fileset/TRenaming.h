// FileSet::TRenaming: what a file set offers when it can give a file a new
// name without copying its bytes.
//
// A file set that can derives from this beside TFileSet. The library finds it
// with dynamic_cast (FileSet::renamingOf) and uses it to move a file inside
// the set (moveFile, the swap of a strip); a file set without it gets the
// same result by copying.
#pragma once

#include <string>

#include "fileset/TFileSet.h"

namespace FileSet {

class TRenaming {
public:
    virtual ~TRenaming() {}
    // Gives the file `from` the name `to`, replacing a file of that name.
    // Returns false, having changed nothing, when it can't (no such file, a
    // refused name, a file it must not change, `from` open, or a failure of
    // the storage); a caller may then copy instead. Renaming a file to its
    // own name returns false.
    virtual bool rename(const std::string& from, const std::string& to) = 0;
};

// The renaming side of a file set, or null when it has none.
inline TRenaming* renamingOf(TFileSet& files) { return dynamic_cast<TRenaming*>(&files); }

}  // namespace FileSet
