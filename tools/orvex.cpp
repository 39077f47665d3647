// orvex: the command-line tool over Orvex table sets (directories).
//
// Exit status, which says what happened to the set:
//   0  success; a command that writes has made its change;
//   1  an error, and the set is as it was: the message goes to standard
//      error as one line "orvex: <message>" (also when check finds
//      problems, which it lists on standard output);
//   2  bad usage, one line "orvex: <what was wrong>"; nothing changed;
//   3  the change was made (committed), but what came after failed, most
//      often the report on standard output (a full device, a closed pipe):
//      "orvex: the change to DIR was made, but its report couldn't be
//      written: <reason>". A script must not repeat such a command.
// A command that writes decides its success by its commit, so its report is
// written only after it. SIGPIPE and SIGXFSZ are ignored: a closed pipe or a
// file-size limit is then a failed write with its message (rolled back
// before the commit), never a death that hides which side of it came.
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "host/module_loader.h"
#include "orvex/version.h"
#include "support/number_text.h"
#include "tools/catalog.h"
#include "tools/command_table.h"
#include "tools/standard_output.h"
#include "tools/usage.h"

namespace {

// Takes the options every command accepts (--wait SECONDS, --no-sync) out of
// the command's words, before any "--".
Tool::Words takeSetOptions(const Tool::Words& words) {
    Tool::Words rest;
    bool flagsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (flagsEnded || word == "--") {
            flagsEnded = true;
            rest.push_back(word);
        } else if (word == "--no-sync") {
            Tool::setOptions().sync = false;
        } else if (word == "--wait" || word.compare(0, 7, "--wait=") == 0) {
            std::string value;
            if (word != "--wait")
                value = word.substr(7);
            else if (i + 1 < words.size())
                value = words[++i];
            else
                throw Tool::UsageError("--wait needs a value");
            fixed_point seconds;
            if (readDecimal(value, seconds) != NumberText::ok || seconds.to_double() < 0 || seconds.to_double() > 86400)
                throw Tool::UsageError("--wait must be a number of seconds from 0 to 86400");
            Tool::setOptions().waitSeconds = seconds.to_double();
        } else {
            rest.push_back(word);
        }
    }
    return rest;
}

// Messages are shown on one line.
std::string oneLine(std::string message) {
    for (char& c : message)
        if (c == '\n' || c == '\r') c = ' ';
    return message;
}

int fail(int status, const std::string& message) {
    std::cout.exceptions(std::ios::goodbit);  // standard output may be what failed
    std::cout.flush();
    std::cerr << "orvex: " << oneLine(message) << std::endl;
    return status;
}

// A command that failed: after its commit that is exit 3, since the set
// was changed all the same.
int failed(int status, const std::string& message) {
    const std::string& changed = Tool::committedDirectory();
    if (changed.empty()) return fail(status, message);
    return fail(3, "the change to " + changed + " was made, but its report couldn't be written: " + message);
}

int outputFailed(const std::string& problem) {
    return Tool::committedDirectory().empty() ? fail(1, "Couldn't write to standard output: " + problem)
                                               : failed(1, problem);
}

int run(const std::vector<std::string>& words) {
    if (words.empty()) return fail(2, "no command given (orvex --help lists them)");
    const std::string& name = words[0];
    if (name == "--help" || name == "-h" || name == "help") {
        const std::string help = words.size() > 1 ? Tool::commandHelp(words[1]) : std::string();
        std::cout << (help.empty() ? Tool::programHelp() : help);
        return 0;
    }
    // The version of the library the tool runs with, which is the tool's own.
    if (name == "--version" || name == "version") {
        std::cout << "orvex " << Orvex::libraryVersion() << "\n";
        return 0;
    }
    const Tool::Command* command = Tool::commandNamed(name);
    if (!command || !command->run) return fail(2, "unknown command '" + name + "' (orvex --help lists them)");
    try {
        const int status = command->run(takeSetOptions(Tool::Words(words.begin() + 1, words.end())));
        std::cout.flush();
        const std::string problem = Tool::outputProblem();
        return problem.empty() ? status : outputFailed(problem);
    } catch (const std::ios_base::failure&) {
        // Standard output failed part way (a closed pipe, a full device):
        // the command stopped there rather than produce what nobody reads.
        return outputFailed(Tool::outputProblem());
    } catch (const Tool::UsageError& e) {
        return failed(2, e.what());
    } catch (const std::exception& e) {
        return failed(1, e.what());
    } catch (...) {
        return failed(1, "unexpected error");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else is opened, so nothing takes a closed one's place.
    if (!Tool::openStandardDescriptors()) return 1;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    std::ios_base::sync_with_stdio(false);
    Tool::useStandardOutput();
    // A host lets the modules it loaded finish their registration before use.
    Host::ModuleLoader::instance().initializeModules();
    return run(std::vector<std::string>(argv + 1, argv + argc));
}
