// demo: the worked example. A customers table and an orders table whose
// customer field is a record number in customers ("sizeForRef") and whose
// quantity has a declared range ("sizeForRange") are filled with generated
// records (fixed seed, so every run makes the same data), orders is sorted
// on its key, a few keys are looked up, the set is stripped and the keys are
// looked up again. The report gives each step's time and each table's
// records, bits per record and contents bytes before and after stripping.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>

#include "Core/Orvex/__table.h"
#include "support/Utils.h"
#include "tools/catalog.h"
#include "tools/commands.h"
#include "tools/field_syntax.h"
#include "tools/report.h"
#include "tools/sorted_tables.h"
#include "tools/table_view.h"
#include "tools/usage.h"

using namespace Orvex;

namespace Tool {

namespace {

const char* const kCustomers = "customers";
const unsigned long kProgressStep = 4096;  // records between progress updates
const char* const kOrders = "orders";
const char* const kCustomerFields = "id:u_long:32 | name:str:24 city:str:16:packed since:u_int:32";
const char* const kOrderFields =
    "id:u_long:32 | customer:u_long:32@ref=customers qty:int:16@range=1..500 price:fixed:2:32 "
    "status:str:8:packed day:u_int:32";

const char* const kFirstNames[] = {"Ada", "Ben", "Chloe", "Dmitri", "Elena", "Farid", "Greta", "Hugo",
                                   "Ines", "Jonas", "Keiko", "Liam", "Maya", "Nils", "Olga", "Pavel"};
const char* const kLastNames[] = {"Abbott", "Bergstrom", "Castillo", "Dubois", "Eriksen", "Fontaine",
                                  "Gallagher", "Hartmann", "Ivanova", "Jovanovic", "Kowalski", "Lindqvist"};
const char* const kCities[] = {"OSLO", "LYON", "PORTO", "GRAZ", "TURKU", "GENT", "BRNO", "CORK", "BERGEN", "MALMO"};
const char* const kStatuses[] = {"NEW", "PAID", "SHIPPED", "RETURNED"};

template <class T, std::size_t N>
const T& pick(const T (&list)[N], std::mt19937& random) {
    return list[random() % N];
}

std::string makeDirectory(const std::vector<std::string>& positionals) {
    if (!positionals.empty()) {
        const std::filesystem::path directory(positionals[0]);
        makeSetDirectory(positionals[0]);
        if (!std::filesystem::is_empty(directory))
            throw InputError(positionals[0] + " is not empty; the demo needs a new or empty directory");
        return positionals[0];
    }
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvex-demo-XXXXXX";
    if (!::mkdtemp(&pattern[0])) Utils::raise_runtime_error("Couldn't make a directory like " + pattern);
    return pattern;
}

struct TableState {
    unsigned long records = 0;
    unsigned bits = 0;
    unsigned long long bytes = 0;
};

TableState stateOf(Catalog& catalog, const std::string& name) {
    const pointer<TTable> table = defineTable(catalog, name);
    TableState state;
    state.records = TOpenTable(*table, false).size();
    state.bits = table->fields().bitSize();
    state.bytes = fileBytes(catalog, table->contentsFileName());
    return state;
}

void fillCustomers(const TTable& table, unsigned long count, std::mt19937& random) {
    TOpenTable open(table, true);
    TRecord record(open.fields());
    for (unsigned long i = 0; i < count; ++i) {
        record[0] = i + 1;
        record[1] = std::string(pick(kFirstNames, random)) + " " + pick(kLastNames, random);
        record[2] = pick(kCities, random);
        record[3] = static_cast<unsigned int>(random() % 3650);
        open.push_back(record);
    }
}

void fillOrders(const TTable& table, unsigned long count, unsigned long customers, std::mt19937& random) {
    std::vector<unsigned long> ids(count);
    std::iota(ids.begin(), ids.end(), 1UL);
    std::shuffle(ids.begin(), ids.end(), random);
    const pointer<Console::TProgress> progress = progressBar("Generating orders");
    if (progress) progress->start(static_cast<int>(count));
    TOpenTable open(table, true);
    TRecord record(open.fields());
    for (unsigned long i = 0; i < count; ++i) {
        if (progress && i % kProgressStep == 0) progress->update(static_cast<int>(i));
        record[0] = ids[i];
        record[1] = static_cast<unsigned long>(random() % customers);
        record[2] = static_cast<int>(1 + random() % 20 * (random() % 25 + 1));  // mostly small, up to 500
        fixed_point price(2);
        price.raw = static_cast<int>(50 + random() % 99950);  // 0.50 .. 999.99
        record[3] = price;
        record[4] = pick(kStatuses, random);
        record[5] = static_cast<unsigned int>(random() % 1826);
        open.push_back(record);
    }
    if (progress) progress->finish();
}

// For each key: what find, lower_bound and upper_bound say, and the record
// found, as one line.
std::vector<std::string> lookUp(Catalog& catalog, const std::vector<unsigned long>& keys) {
    const pointer<TTable> table = defineTable(catalog, kOrders);
    TOpenTable open(*table, false);
    TRecord key(open.fields());
    std::vector<std::string> lines;
    for (unsigned long id : keys) {
        key[0] = id;
        const unsigned long end = open.size();
        const unsigned long exact = open.find(0, end, key);
        const unsigned long lower = open.lower_bound(0, end, key);
        const unsigned long upper = open.upper_bound(0, end, key);
        std::ostringstream line;
        line << "id " << id << ": ";
        if (exact == end)
            line << "not found (lower and upper bound " << lower << ", " << upper << ")";
        else
            line << "found at " << exact << ": " << recordText(open.at(exact));
        lines.push_back(line.str());
    }
    return lines;
}

void strip(Catalog& catalog) {
    std::unique_ptr<TTables> set = catalog.openSet();
    for (unsigned i = 0; i < set->size(); ++i)
        set->at(i).strip(*set, progressBar("Stripping " + set->at(i).name()));
}

}  // namespace

int demoCommand(const Words& words) {
    Arguments args("demo", words, {}, {"--orders", "--customers"});
    if (args.help()) return std::cout << commandHelp("demo"), 0;
    args.expect(0, 1, "[DIR]");
    const unsigned long orders = args.count("--orders", 1000000, 1, 20000000);
    const unsigned long customers = args.count("--customers", 10000, 1, 1000000);
    const std::string directory = makeDirectory(args.positionals());
    std::cout << "Orvex demo: " << customers << " customers, " << orders << " orders in " << directory << "\n\n"
              << std::flush;

    Catalog catalog(directory, Access::write);
    TextTable steps({"step", "time"}, "lr");
    Stopwatch total;
    std::mt19937 random(20240601);

    Stopwatch clock;
    {
        const TTable customerTable(catalog.files(), kCustomers, parseFieldList({kCustomerFields}), true);
        const TTable orderTable(catalog.files(), kOrders, parseFieldList({kOrderFields}), true);
        catalog.add(TableEntry{kCustomers, true});
        catalog.add(TableEntry{kOrders, true});
        steps.add({"create tables customers and orders", secondsText(clock.seconds())});
        clock = Stopwatch();
        fillCustomers(customerTable, customers, random);
        fillOrders(orderTable, orders, customers, random);
        steps.add({"generate and load the records", secondsText(clock.seconds())});
    }

    clock = Stopwatch();
    {
        const pointer<TTable> table = defineTable(catalog, kOrders);
        TOpenTable open(*table, false);
        open.progress(progressBar("Sorting orders"));
        open.sort();
    }
    steps.add({"sort orders on id", secondsText(clock.seconds())});

    const std::vector<unsigned long> keys = {1, orders / 3 + 1, orders / 2 + 1, orders, orders + 1};
    clock = Stopwatch();
    const std::vector<std::string> found = lookUp(catalog, keys);
    steps.add({"look up " + std::to_string(keys.size()) + " order ids", secondsText(clock.seconds())});

    const TableState customersBefore = stateOf(catalog, kCustomers), ordersBefore = stateOf(catalog, kOrders);
    clock = Stopwatch();
    strip(catalog);
    steps.add({"strip customers and orders", secondsText(clock.seconds())});
    const TableState customersAfter = stateOf(catalog, kCustomers), ordersAfter = stateOf(catalog, kOrders);

    clock = Stopwatch();
    const std::vector<std::string> foundAgain = lookUp(catalog, keys);
    steps.add({"look up the same ids again", secondsText(clock.seconds())});
    noteSorted(catalog, {defineTable(catalog, kOrders)->contentsFileName()});
    catalog.commit();
    steps.add({"total", secondsText(total.seconds())});

    steps.print(std::cout, "  ");
    std::cout << "\n";
    TextTable tables({"table", "records", "bits/record before", "after", "file bytes before", "after"}, "lrrrrr");
    tables.add({kCustomers, std::to_string(customersAfter.records), std::to_string(customersBefore.bits),
                std::to_string(customersAfter.bits), std::to_string(customersBefore.bytes),
                std::to_string(customersAfter.bytes)});
    tables.add({kOrders, std::to_string(ordersAfter.records), std::to_string(ordersBefore.bits),
                std::to_string(ordersAfter.bits), std::to_string(ordersBefore.bytes), std::to_string(ordersAfter.bytes)});
    tables.print(std::cout, "  ");

    std::cout << "\nLookups in orders (sorted on id):\n";
    for (const std::string& line : found) std::cout << "  " << line << "\n";
    const bool same = found == foundAgain;
    std::cout << (same ? "After stripping the same lookups found the same records.\n"
                       : "After stripping the lookups found different records:\n");
    if (!same)
        for (const std::string& line : foundAgain) std::cout << "  " << line << "\n";

    std::cout << "\nThe tables stay in " << directory << "; try:\n"
              << "  orvex info " << directory << " orders\n"
              << "  orvex find " << directory << " orders " << orders / 2 << "\n"
              << "  orvex check " << directory << "\n";
    return same ? 0 : 1;
}

}  // namespace Tool
