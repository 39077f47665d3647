// How the orvex tool tells a user that the command line was wrong, and how it
// reads one command's words into positional arguments and flags.
//
// A usage error ends the program with one line on standard error and exit
// status 2; every other failure (the library's errors, bad input data) ends
// it with exit status 1.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tool {

// A command line that does not say what to do.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

// Bad input data (a malformed CSV line, a value that does not fit): exit 1.
class InputError : public std::runtime_error {
public:
    explicit InputError(const std::string& message) : std::runtime_error(message) {}
};

// One command's words, split into positionals and flags. A flag is a word
// starting with "--" (or "-h"); "--name=value" and "--name value" both give a
// value to a flag declared as taking one. Words such as "-5" are positional,
// so negative keys need no escaping. "--" ends the flags.
class Arguments {
public:
    // `switches` take no value, `valued` take one; anything else starting
    // with "--" raises UsageError. "--help" and "-h" are always accepted.
    Arguments(const std::string& command, const std::vector<std::string>& words,
              const std::vector<std::string>& switches, const std::vector<std::string>& valued);

    bool help() const { return m_help; }
    bool has(const std::string& flag) const { return m_flags.count(flag) != 0; }
    // The flag's value, or `fallback` when absent.
    std::string value(const std::string& flag, const std::string& fallback) const;
    // Every value of a flag given more than once, in order.
    std::vector<std::string> values(const std::string& flag) const;
    // The flag's value as a count in [min, max]; UsageError otherwise.
    unsigned long count(const std::string& flag, unsigned long fallback, unsigned long min,
                        unsigned long max) const;

    const std::vector<std::string>& positionals() const { return m_positionals; }
    // UsageError "<command>: expects <what>" unless min <= count <= max.
    void expect(std::size_t min, std::size_t max, const std::string& what) const;

private:
    std::string m_command;
    std::vector<std::string> m_positionals;
    std::map<std::string, std::string> m_flags;
    std::map<std::string, std::vector<std::string>> m_every;
    bool m_help = false;
};

// The help texts: the program's and each command's, both made from the
// command table (command_table.cpp). commandHelp gives "" for an unknown
// command.
std::string programHelp();
std::string commandHelp(const std::string& command);

}  // namespace Tool
