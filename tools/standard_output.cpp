#include "tools/standard_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <streambuf>

#include "support/Utils.h"

namespace Tool {

namespace {

// A buffer over a descriptor that remembers why a write failed; after one
// has, every later write fails too, so no later part of the output appears
// without the part before it.
class DescriptorOutput : public std::streambuf {
public:
    explicit DescriptorOutput(int descriptor) : m_descriptor(descriptor) { setp(m_buffer, m_buffer + sizeof m_buffer); }
    int error() const { return m_error; }

protected:
    int_type overflow(int_type c) override {
        if (sync() != 0) return traits_type::eof();
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
        return c;
    }

    int sync() override {
        const char* next = pbase();
        std::size_t left = static_cast<std::size_t>(pptr() - pbase());
        while (left > 0 && m_error == 0) {
            const ssize_t put = ::write(m_descriptor, next, left);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                m_error = put < 0 ? errno : EIO;
                break;
            }
            next += put;
            left -= static_cast<std::size_t>(put);
        }
        setp(m_buffer, m_buffer + sizeof m_buffer);
        return m_error == 0 ? 0 : -1;
    }

private:
    char m_buffer[1 << 16];
    int m_descriptor;
    int m_error = 0;
};

// Never destroyed: std::cout is flushed at exit, after the statics made
// since it was would be gone.
DescriptorOutput& standardOutput() {
    static DescriptorOutput* output = new DescriptorOutput(STDOUT_FILENO);
    return *output;
}

}  // namespace

bool openStandardDescriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is the one that is closed.
        if (::open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY) != descriptor) return false;
    }
    return true;
}

void useStandardOutput() {
    std::cout.rdbuf(&standardOutput());
    // A write that fails ends the command at once, instead of letting it
    // read on (a whole table, for a dump piped into head) for nothing.
    std::cout.exceptions(std::ios::badbit);
}

std::string reasonText(int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::string outputProblem() {
    if (std::cout.rdbuf() == &standardOutput() && standardOutput().error() != 0)
        return reasonText(standardOutput().error());
    return std::cout ? std::string() : std::string("output error");
}

void requireOutputWritten() {
    std::cout.flush();
    const std::string problem = outputProblem();
    if (!problem.empty()) Utils::raise_runtime_error("Couldn't write to standard output: " + problem);
}

}  // namespace Tool
