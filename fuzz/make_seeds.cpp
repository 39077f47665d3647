// Writes the seed corpora of the fuzz targets: a handful of valid inputs per
// target, made by the library itself (its own writers over a memory file
// set), into <dir>/<target>/seed-NN. Every seed is first run through its
// target's reader and must be accepted, so a seed that stops being valid
// input is noticed here rather than silently fuzzing nothing.
//
//   make_seeds fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Reffixer.h"
#include "Core/Orvex/__field.h"
#include "Core/Orvex/__table.h"
#include "fuzz/readers.h"
#include "host/memory_file_set.h"

using namespace Orvex;

namespace {

typedef pointer<field_transformer_base::args> Args;

TFields menu(unsigned which) { return Fuzz::menuStructure(which); }

// Attaches range and reference arguments (the categories a transformer
// file can hold) to the fields of a menu structure.
void attachArguments(TFields& f, unsigned which) {
    switch (which) {
        case 0:
            f["id"].transformer(Args(new ref_fixer_args("other")));
            f["qty"].transformer(Args(new range_fixer_args(1L, 500L)));
            f["price"].transformer(Args(new range_fixer_args(fixed_point(2, 0L), fixed_point(2, 99.99))));
            f["name"].transformer(Args(new range_fixer_args(4L)));
            break;
        case 1:
            f["k"].transformer(Args(new range_fixer_args(7UL)));
            f["v"].transformer(Args(new range_fixer_args(-4000L, 4000L)));
            break;
        case 2:
            f["a"].transformer(Args(new range_fixer_args(-10, 10)));
            break;
        case 3:
            f["s"].transformer(Args(new range_fixer_args(3UL)));
            break;
        case 4:
            f["x"].transformer(Args(new ref_fixer_args("t")));
            break;
        case 5:
            f["f"].transformer(Args(new range_fixer_args(-1.5, 2.25)));
            f["g"].transformer(Args(new range_fixer_args(-100000L, 100000L)));
            break;
        default:
            f["z"].transformer(Args(new range_fixer_args(0L)));
            break;
    }
}

// A small deterministic generator for record bytes.
struct Bytes {
    std::uint32_t state;
    explicit Bytes(std::uint32_t seed) : state(seed) {}
    char next() {
        state = state * 1103515245u + 12345u;
        return static_cast<char>(state >> 16);
    }
};

// Records of arbitrary bits: every bit pattern of a record is a value.
TRecord randomRecord(const TFields& f, Bytes& gen) {
    std::string bytes;
    for (unsigned i = 0; i < f.byteSize(); ++i) bytes += gen.next();
    TRecord r(f);
    std::istringstream in(bytes);
    r.serial_read(in);
    return r;
}

std::string u8(unsigned v) { return std::string(1, static_cast<char>(v)); }

class Seeds {
public:
    void add(const std::string& target, const std::string& bytes) { m_seeds[target].push_back(bytes); }
    // Checks every seed against its reader, then writes them; false when a
    // seed is refused.
    bool write(const std::filesystem::path& dir) const {
        bool ok = true;
        for (const Fuzz::Target& t : Fuzz::targets()) {
            auto found = m_seeds.find(t.name);
            if (found == m_seeds.end()) {
                std::fprintf(stderr, "no seeds for %s\n", t.name);
                ok = false;
                continue;
            }
            std::filesystem::create_directories(dir / t.name);
            unsigned n = 0;
            for (const std::string& s : found->second) {
                const auto* data = reinterpret_cast<const std::uint8_t*>(s.data());
                if (t.run(data, s.size()) != Fuzz::Outcome::Accepted) {
                    std::fprintf(stderr, "%s: seed %u is not accepted\n", t.name, n);
                    ok = false;
                }
                char name[16];
                std::snprintf(name, sizeof name, "seed-%02u", n++);
                std::ofstream(dir / t.name / name, std::ios::binary) << s;
            }
        }
        return ok;
    }

private:
    std::map<std::string, std::vector<std::string>> m_seeds;
};

void structureSeeds(Seeds& seeds) {
    for (unsigned m = 0; m < Fuzz::menuStructureCount(); ++m) {
        Host::MemoryFileSet fs;
        TTable text(fs, "t", menu(m), false);
        TTable binary(fs, "u", menu(m), true);
        seeds.add("structure_text", fs.contents(text.descFileName()));
        seeds.add("structure_binary", fs.contents(binary.descFileName()));

        TFields withArgs = menu(m);
        attachArguments(withArgs, m);
        TTable textArgs(fs, "v", withArgs, false);
        TTable binaryArgs(fs, "w", withArgs, true);
        seeds.add("transformers_text", u8(m) + fs.contents(textArgs.transFileName()));
        seeds.add("transformers_binary", u8(m) + fs.contents(binaryArgs.transFileName()));
    }
}

// Lists of the tables that the list readers' file set holds.
void listSeeds(Seeds& seeds) {
    Host::MemoryFileSet fs;
    TTable a(fs, "a", menu(0), true), b(fs, "b", menu(2), false), c(fs, "c", menu(1), true);
    const std::vector<std::vector<const char*>> lists = {{}, {"a"}, {"b", "a"}, {"a", "b", "c"}, {"c", "a", "c"}};
    for (const auto& names : lists) {
        TTables set(fs);
        for (const char* n : names) set.append(n, std::string(n) != "b");
        std::ostringstream text, binary;
        set.to_stream(text);
        set.serial_write(binary);
        seeds.add("table_list_text", text.str());
        seeds.add("table_list_binary", binary.str());
    }
}

void contentsSeeds(Seeds& seeds) {
    const unsigned counts[] = {0, 1, 2, 3, 7, 12, 5};
    for (unsigned m = 0; m < Fuzz::menuStructureCount(); ++m) {
        Host::MemoryFileSet fs;
        TTable t(fs, "t", menu(m), true);
        Bytes gen(m + 1);
        {
            TOpenTable open(t, true);
            for (unsigned i = 0; i < counts[m]; ++i) open.push_back(randomRecord(t.fields(), gen));
            // Keys repeat, so that searches meet runs of equal keys.
            if (counts[m] > 1) open.push_back(open.at(0));
        }
        seeds.add("contents", u8(m) + fs.contents(t.contentsFileName()));

        TRecord r = randomRecord(t.fields(), gen);
        std::ostringstream line;
        r.to_stream(line);
        seeds.add("value_line", u8(m) + line.str() + "\n");
    }
}

// Table "a" (menu 0 with a range on qty) and "b" (menu 2 referring to a),
// every value inside what its arguments declare.
void stripSeeds(Seeds& seeds) {
    for (unsigned form = 0; form < 4; ++form) {
        Host::MemoryFileSet fs;
        TFields fa = menu(0), fb = menu(2);
        fa["qty"].transformer(Args(new range_fixer_args(1L, 500L)));
        fb["b"].transformer(Args(new ref_fixer_args("a")));
        TTable a(fs, "a", fa, (form & 1) != 0), b(fs, "b", fb, (form & 2) != 0);
        {
            TOpenTable oa(a, true), ob(b, true);
            TRecord ra(a.fields()), rb(b.fields());
            for (unsigned i = 0; i < 3 + form; ++i) {
                ra[0] = 1000UL + i * 7;
                ra[1] = static_cast<int>(1 + i * 100);
                ra[2] = fixed_point(2, 1.25 * i);
                ra[3] = std::string("ab", i % 3);
                oa.push_back(ra);
                rb[0] = static_cast<int>(i) - 2;
                rb[1] = static_cast<unsigned long>(i % 3);
                rb[2] = static_cast<unsigned int>(i);
                ob.push_back(rb);
            }
        }
        const std::string sep = Fuzz::kPartSeparator;
        std::string input = u8(form);
        const TTable* tables[] = {&a, &b};
        for (const TTable* t : tables) {
            if (t != &a) input += sep;
            input += fs.contents(t->descFileName()) + sep + fs.contents(t->transFileName()) + sep +
                     fs.contents(t->contentsFileName());
        }
        seeds.add("strip", input);
    }
}

void typeNameSeeds(Seeds& seeds) {
    for (const char* n : {"int", "u_int", "long", "u_long", "str", "fixed"}) seeds.add("type_name", n);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIRECTORY\n");
        return 2;
    }
    Seeds seeds;
    structureSeeds(seeds);
    listSeeds(seeds);
    contentsSeeds(seeds);
    stripSeeds(seeds);
    typeNameSeeds(seeds);
    return seeds.write(argv[1]) ? 0 : 1;
}
