// The orvex commands as one table: each row holds what the program's help
// lists for a command, the command's own help and the function that runs it.
// The help texts and the dispatch are all made from it, so a new command is
// one row in command_table.cpp and its function (declared in commands.h).
#pragma once

#include <string>
#include <vector>

#include "tools/commands.h"

namespace Tool {

struct Command {
    const char* name;
    // The command's forms as the program's help lists them, one a line.
    std::vector<const char*> usages;
    // The list's right-hand column, one entry a line.
    std::vector<const char*> summary;
    // The text of `orvex NAME --help`, its usage first and its example last;
    // null where the command has none of its own.
    const char* help;
    // Null for a command that the program answers itself (version).
    int (*run)(const Words& words);
};

// In the order the program's help lists them.
const std::vector<Command>& commandTable();
// The row of the command called `name`, or null.
const Command* commandNamed(const std::string& name);

}  // namespace Tool
