// Helpers the test programs share: the text of a raised exception, byte
// strings, the two stored forms of anything that writes them, structures
// and records built in one expression, field widths, progress recorders and
// temporary directories on disk.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core/Orvex/__field.h"
#include "fileset/TProgress.h"
#include "host/memory_file_set.h"
#include "support/serial.h"

namespace TestSupport {

// The text of the exception of type E that `action` raises; "<no error>"
// when it raises nothing and "<wrong type> ..." for another exception, so
// that a comparison with the expected text fails on either.
template <class E = std::exception, class F>
std::string message(F action) {
    try {
        action();
    } catch (const E& e) {
        return e.what();
    } catch (...) {
        try {
            throw;
        } catch (const std::exception& e) {
            return std::string("<wrong type> ") + e.what();
        } catch (...) {
            return "<wrong type>";
        }
    }
    return "<no error>";
}

// ------------------------------------------------------------ file sets

// Every file of a memory file set, by name: what a test compares before and
// after an operation, and what it puts into a fresh set to start again.
typedef std::map<std::string, std::string> Files;

inline Files filesOf(const Host::MemoryFileSet& fs) {
    Files files;
    for (const std::string& name : fs.list()) files[name] = fs.contents(name);
    return files;
}

inline void putFiles(Host::MemoryFileSet& fs, const Files& files) {
    for (const auto& file : files) fs.put(file.first, file.second);
}

// ------------------------------------------------------------------ bytes

inline std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

inline std::string u16(unsigned v) { return bytes({static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF)}); }

inline std::string le32(std::uint32_t v) { return u16(v & 0xFFFF) + u16(v >> 16); }

// A string in the binary form: 32-bit length, then the characters.
inline std::string sstr(const std::string& s) { return le32(static_cast<std::uint32_t>(s.size())) + s; }

// ----------------------------------------------------------- stored forms

template <class T>
std::string textOf(const T& x) {
    std::ostringstream os;
    x.to_stream(os);
    return os.str();
}

template <class T>
auto writeBinary(const T& x, std::ostream& os, int) -> decltype(x.serial_write(os), void()) {
    x.serial_write(os);
}
template <class T>
void writeBinary(const T& x, std::ostream& os, long) {
    serial::serial_out out(os);
    x.serial_write(out);
}

// Whether x writes to a stream or to a serial_out.
template <class T>
std::string binaryOf(const T& x) {
    std::ostringstream os;
    writeBinary(x, os, 0);
    return os.str();
}

// -------------------------------------------------- structures and records

inline Orvex::TFields fieldsOf(const Orvex::TFieldsElement& e) {
    Orvex::TFields f;
    f += e;
    return f;
}

// A record of `f` with its first fields set to `values`, in order.
template <class... V>
Orvex::TRecord recordOf(const Orvex::TFields& f, const V&... values) {
    Orvex::TRecord r(f);
    unsigned i = 0;
    ((r[i++] = values), ...);
    return r;
}

inline pointer<Orvex::field_transformer_base::args> argsPtr(Orvex::field_transformer_base::args* a) {
    return pointer<Orvex::field_transformer_base::args>(a);
}

// Bits of a number field, length of a string field.
inline unsigned widthOf(const Orvex::TFieldInfo& f) {
    using namespace Orvex;
    const std::string& type = f.Type();
    if (type == "str") return static_cast<const TField<std::string>&>(f).length();
    if (type == "fixed") return static_cast<const TField<fixed_point>&>(f).bits();
    if (type == "int") return static_cast<const TField<int>&>(f).bits();
    if (type == "u_int") return static_cast<const TField<unsigned int>&>(f).bits();
    if (type == "long") return static_cast<const TField<long>&>(f).bits();
    return static_cast<const TField<unsigned long>&>(f).bits();
}

// "name type width", with ".precision" for a fixed-point field and
// " packed" for a packed string: a descriptor's shape in one comparison.
inline std::string shapeOf(const Orvex::TFieldInfo& f) {
    using namespace Orvex;
    std::string s = f.name() + " " + f.Type() + " " + std::to_string(widthOf(f));
    if (f.Type() == "fixed") s += "." + std::to_string(static_cast<const TField<fixed_point>&>(f).Precision());
    if (f.Type() == "str" && static_cast<const TField<std::string>&>(f).Packed()) s += " packed";
    return s;
}

// ---------------------------------------------------------------- progress

// Writes down every call: "start", "finish" or the percentage.
class RecordingProgress : public Console::TProgress {
public:
    std::vector<std::string> calls;
    void onStart() override { calls.push_back("start"); }
    void onFinish() override { calls.push_back("finish"); }
    void onUpdate(int percent) override { calls.push_back(std::to_string(percent)); }
};

// ------------------------------------------------------------ files on disk

// A directory of its own under the temporary directory ($TMPDIR when set),
// removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "orvex-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace TestSupport
