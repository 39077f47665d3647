#include "tools/usage.h"

#include <algorithm>

#include "support/number_text.h"

namespace Tool {

Arguments::Arguments(const std::string& command, const std::vector<std::string>& words,
                     const std::vector<std::string>& switches, const std::vector<std::string>& valued)
    : m_command(command) {
    auto known = [](const std::vector<std::string>& list, const std::string& flag) {
        return std::find(list.begin(), list.end(), flag) != list.end();
    };
    bool flagsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (flagsEnded || word.compare(0, 2, "--") != 0 || word == "--") {
            if (!flagsEnded && word == "--")
                flagsEnded = true;
            else if (word == "-h")
                m_help = true;
            else
                m_positionals.push_back(word);
            continue;
        }
        const std::string::size_type equals = word.find('=');
        const std::string flag = word.substr(0, equals);
        if (flag == "--help") {
            m_help = true;
        } else if (known(switches, flag) && equals == std::string::npos) {
            m_flags[flag] = std::string();
        } else if (known(valued, flag)) {
            if (equals != std::string::npos)
                m_flags[flag] = word.substr(equals + 1);
            else if (i + 1 < words.size())
                m_flags[flag] = words[++i];
            else
                throw UsageError(command + ": " + flag + " needs a value");
            m_every[flag].push_back(m_flags[flag]);
        } else {
            throw UsageError(command + ": unknown option " + word);
        }
    }
}

std::string Arguments::value(const std::string& flag, const std::string& fallback) const {
    const auto found = m_flags.find(flag);
    return found == m_flags.end() ? fallback : found->second;
}

std::vector<std::string> Arguments::values(const std::string& flag) const {
    const auto found = m_every.find(flag);
    return found == m_every.end() ? std::vector<std::string>() : found->second;
}

unsigned long Arguments::count(const std::string& flag, unsigned long fallback, unsigned long min,
                               unsigned long max) const {
    if (!has(flag)) return fallback;
    long long v = 0;
    if (readInteger(value(flag, ""), v) != NumberText::ok || v < static_cast<long long>(min) || v > static_cast<long long>(max))
        throw UsageError(m_command + ": " + flag + " must be a number from " + std::to_string(min) + " to " +
                         std::to_string(max));
    return static_cast<unsigned long>(v);
}

void Arguments::expect(std::size_t min, std::size_t max, const std::string& what) const {
    if (m_positionals.size() < min || m_positionals.size() > max)
        throw UsageError(m_command + ": expects " + what);
}

}  // namespace Tool
