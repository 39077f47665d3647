// Standard output as the commands write it, and the process's standard
// descriptors.
//
// Output goes through a buffer of our own written with write(2), so that a
// write that fails leaves its reason ("no space left on device", "broken
// pipe") for the message; the stream's state alone would only say that it
// failed.
#pragma once

#include <string>

namespace Tool {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the program opens later takes their place (records written to
// "standard output" would land in it). Returns false if one can't be.
bool openStandardDescriptors();

// Points std::cout at descriptor 1 through the buffer described above; a
// write that fails raises std::ios_base::failure from the stream.
void useStandardOutput();

// Flushes std::cout; raises "Couldn't write to standard output: <reason>"
// if anything written to it was lost.
void requireOutputWritten();

// "" while every write to standard output went, else the system's reason
// for the first that failed, in lower case ("no space left on device").
std::string outputProblem();

// The system's text for `error`, starting in lower case, as the tool's
// messages put it after a colon.
std::string reasonText(int error);

}  // namespace Tool
