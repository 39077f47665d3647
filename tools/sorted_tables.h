// Which tables of a set are known to be sorted on their key, so that a
// lookup can start halving at once instead of reading every key first.
//
// Writing commands keep the knowledge in Host::kSortedRecordName
// (".orvex-sorted") in the set's directory, written through the set inside
// their change, so a rollback takes it back with the rest. After a header
// line, one line per table whose contents file was sorted when the line was
// written: what lstat said of that file then (device, inode, size,
// modification and status-change times in nanoseconds) and its name.
//
// Any program that writes a contents file, through the library or not,
// moves its status-change time, so its line stops matching. A line is
// believed only when
// - it matches the contents file as it is now, exactly;
// - the status-change time it holds is strictly older than the record's own
//   modification time: a write in the same clock tick as the line would
//   leave every time as it was (a writer waits for the clock to pass the
//   file's time before it writes a line, so a fresh line is believed);
// - the record is a regular file, not a link, at most 1 MiB, with one name,
//   owned by the contents file's owner and writable by nobody who may not
//   write the contents file: a line can only vouch for what its writer
//   could have changed anyway;
// - no change was cut off (readers then see the files as they were).
// Anything else (no record, no line, a malformed one) means "not known",
// and the caller reads every key, as it would without the record.
#pragma once

#include <string>
#include <vector>

#include "tools/catalog.h"

namespace Tool {

// True when the record vouches that `contentsFile` is sorted as it stands.
bool knownSorted(Catalog& catalog, const std::string& contentsFile);

// Rewrites the record, inside the catalog's change: the lines still
// believed, with a fresh line for each of `sorted` (contents files the
// caller knows sorted, after their last write of the change). A file the
// clock does not move past within a moment is left out; a record that
// cannot be written is left as it is, which is safe: its stale lines no
// longer match.
void noteSorted(Catalog& catalog, const std::vector<std::string>& sorted);

}  // namespace Tool
