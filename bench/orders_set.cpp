// The orders table of tables_bench as a table set the tool and the Python
// package open, and the C++ side of python_bench.py: the fastest scan of
// that set, into one array per field.
//
//   orders_set write DIR [--n N]
//       makes the set in DIR (new or empty): table "orders", the fields and
//       records of tables_bench (same generator and seed), sorted on its key
//   orders_set scan DIR numbers|all [ROUNDS]
//       reads every record of DIR's orders through forEachBytes and field
//       handles into new arrays, as a program would to hand columns on: the
//       numeric fields, or every field (the string as std::string), from
//       opening the table (the set and its definition are open already).
//       Prints the seconds of the first scan, which finds the memory as a
//       first read does, and the best of ROUNDS (3 unless given) more.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "tools/catalog.h"
#include "tools/sorted_tables.h"
#include "tools/table_view.h"

using namespace Orvex;

namespace {

const char* const kTable = "orders";

// tables_bench's structure: key u_int 24 | qty int 13, price fixed(2) 20,
// code str 4 packed.
TFields ordersFields() {
    TFields f;
    f += TField<unsigned int>("key", 24) | TEndOfKey() | TField<int>("qty", 13) | TField<fixed_point>("price", 2, 20) |
         TField<std::string>("code", 4, true);
    return f;
}

// tables_bench's records, drawn in the same order from the same seed.
void fill(const TTable& table, unsigned long n) {
    std::mt19937 rng(20261205);
    std::uniform_int_distribution<unsigned> key(0, (1u << 24) - 1);
    std::uniform_int_distribution<int> qty(-4096, 4095);
    std::uniform_int_distribution<int> price(0, (1 << 19) - 1);
    std::uniform_int_distribution<int> letter(0, 25);
    TOpenTable open(table, true);
    TRecord r(open.fields());
    fixed_point value(2);
    for (unsigned long i = 0; i < n; ++i) {
        r[0] = key(rng);
        r[1] = qty(rng);
        value.raw = price(rng);
        r[2] = value;
        std::string code(4, ' ');
        for (char& c : code) c = static_cast<char>('A' + letter(rng));
        r[3] = code;
        open.push_back(r);
    }
}

int write(const std::string& directory, unsigned long n) {
    Tool::makeSetDirectory(directory);
    if (!std::filesystem::is_empty(directory)) {
        std::fprintf(stderr, "%s is not empty\n", directory.c_str());
        return 1;
    }
    Tool::Catalog catalog(directory, Tool::Access::write);
    {
        const TTable table(catalog.files(), kTable, ordersFields(), true);
        catalog.add(Tool::TableEntry{kTable, true});
        fill(table, n);
    }
    const pointer<TTable> table = Tool::defineTable(catalog, kTable);
    TOpenTable(*table, false).sort();
    Tool::noteSorted(catalog, {table->contentsFileName()});
    catalog.commit();
    return 0;
}

volatile double g_sink;  // keeps the arrays' contents alive

template <class T>
std::unique_ptr<T[]> array(unsigned long n) {
    return std::unique_ptr<T[]>(new T[n]);
}

double scan(const std::string& directory, bool strings) {
    Tool::Catalog catalog(directory, Tool::Access::read);
    const pointer<TTable> table = Tool::defineTable(catalog, kTable);
    const auto start = std::chrono::steady_clock::now();
    TOpenTable open(*table, false);
    const unsigned long n = open.size();
    const TFields& fields = open.fields();
    const auto keyHandle = fields.handle<unsigned int>("key");
    const auto qtyHandle = fields.handle<int>("qty");
    const auto priceHandle = fields.handle<fixed_point>("price");
    const auto codeHandle = fields.handle<std::string>("code");
    auto key = array<std::uint32_t>(n);
    auto qty = array<std::int32_t>(n);
    auto price = array<double>(n);
    std::vector<std::string> code(strings ? n : 0);
    if (strings)
        open.forEachBytes(0, n, [&](unsigned long i, const unsigned char* r) {
            key[i] = keyHandle.get(r);
            qty[i] = qtyHandle.get(r);
            price[i] = static_cast<double>(priceHandle.get(r).raw) / 100;
            code[i] = codeHandle.get(r);
        });
    else
        open.forEachBytes(0, n, [&](unsigned long i, const unsigned char* r) {
            key[i] = keyHandle.get(r);
            qty[i] = qtyHandle.get(r);
            price[i] = static_cast<double>(priceHandle.get(r).raw) / 100;
        });
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (n) g_sink = key[n - 1] + qty[n / 2] + price[0] + static_cast<double>(strings ? code[n - 1].size() : 0);
    return took;
}

int usage() {
    std::fprintf(stderr, "usage: orders_set write DIR [--n N] | orders_set scan DIR numbers|all [ROUNDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) return usage();
    const std::string command = argv[1], directory = argv[2];
    const std::string option = argc >= 4 ? argv[3] : "";
    const long value = argc == 5 ? std::strtol(argv[4], nullptr, 10) : 0;
    try {
        if (command == "write" && (argc == 3 || (argc == 5 && option == "--n" && value >= 0)))
            return write(directory, argc == 3 ? 1000000 : static_cast<unsigned long>(value));
        if (command == "scan" && argc >= 4 && (option == "numbers" || option == "all") && (argc == 4 || value > 0)) {
            const bool strings = option == "all";
            const double first = scan(directory, strings);
            double warm = 1e9;
            for (long round = 0; round < (argc == 4 ? 3 : value); ++round) warm = std::min(warm, scan(directory, strings));
            std::printf("%.6f %.6f\n", first, warm);
            return 0;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "orders_set: %s\n", error.what());
        return 1;
    }
    return usage();
}
