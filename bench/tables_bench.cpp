// The table workload through the library on the directory file set, beside
// the same work in SQLite and by hand on an in-memory array (the limit).
//
//   tables_bench [--n N] [--dir DIR] [--rounds R]
//       without DIR: a temporary directory, removed at the end; R rounds
//       (3 unless given) of the three workloads in turn, each step's time
//       the best of its rounds and its memory that of the first round, so
//       that a neighbour's load on a shared machine, which comes and goes
//       within seconds, weighs on both sides of a ratio alike
//
// Structure: key u_int 24 | qty int 13, price fixed(2) 20, code str 4 packed
// (81 bits, 11 bytes). Values from std::mt19937 seeded 20261205 in that
// order. Steps: load (push_back all), sort, lookups of random keys
// (lower_bound, then read the record), full scan reading every field, text
// dump and reload, and opening the sorted table and finding one key in a
// new process (as `orvex find` does). Prints one table with each step's
// time and the ratios, and the peak memory each step added to the process.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Core/Orvex/__table.h"
#include "fileset/vfstream.h"
#include "host/directory_file_set.h"

using namespace Orvex;

namespace {

struct Row {
    unsigned key;
    int qty;
    int priceRaw;
    char code[5];
};

std::vector<Row> generate(unsigned long n) {
    std::mt19937 rng(20261205);
    std::uniform_int_distribution<unsigned> key(0, (1u << 24) - 1);
    std::uniform_int_distribution<int> qty(-4096, 4095);
    std::uniform_int_distribution<int> price(0, (1 << 19) - 1);
    std::uniform_int_distribution<int> letter(0, 25);
    std::vector<Row> rows(n);
    for (Row& r : rows) {
        r.key = key(rng);
        r.qty = qty(rng);
        r.priceRaw = price(rng);
        for (int i = 0; i < 4; ++i) r.code[i] = static_cast<char>('A' + letter(rng));
        r.code[4] = 0;
    }
    return rows;
}

std::vector<unsigned> lookupKeys(unsigned long n) {
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<unsigned> key(0, (1u << 24) - 1);
    std::vector<unsigned> keys(n);
    for (unsigned& k : keys) k = key(rng);
    return keys;
}

// A line "Field:   123 kB" of /proc/self/status, in KiB; -1 if missing.
long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, field.size(), field) == 0) return std::strtol(line.c_str() + field.size(), nullptr, 10);
    return -1;
}

// Peak resident memory a piece of work added, in KiB: the high-water mark
// is reset before it starts (where the kernel allows), so each step is
// measured on its own.
struct Timing {
    double seconds = 0;
    long peakKiB = 0;
};

Timing measure(const std::function<void()>& work) {
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    const long before = statusKiB("VmRSS:");
    auto start = std::chrono::steady_clock::now();
    work();
    Timing t;
    t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    t.peakKiB = statusKiB("VmHWM:") - before;
    return t;
}

double seconds(const std::function<void()>& work) { return measure(work).seconds; }

volatile long g_sink;  // keeps results alive

// ------------------------------------------------------------------ library

// A plain pass over a contents file: read it twice and write it once, one
// record at a time through stdio (`recordSize` bytes after the 4-byte
// header), or in 64 KiB blocks when recordSize is 0.
void readTwiceWriteOnce(const std::string& from, const std::string& to, std::size_t recordSize) {
    std::vector<char> chunk(recordSize ? recordSize : 1 << 16);
    long sum = 0;
    for (int pass = 0; pass < 2; ++pass) {
        std::FILE* in = std::fopen(from.c_str(), "rb");
        std::FILE* out = pass == 1 ? std::fopen(to.c_str(), "wb") : nullptr;
        if (!in) return;
        char header[4];
        if (recordSize && std::fread(header, 1, 4, in) == 4 && out) std::fwrite(header, 1, 4, out);
        for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0;) {
            sum += chunk[n / 2];
            if (out) std::fwrite(chunk.data(), 1, n, out);
        }
        std::fclose(in);
        if (out) std::fclose(out);
    }
    std::remove(to.c_str());
    g_sink = sum;
}

Host::DirectoryFileSet::Options syncing(bool sync) {
    Host::DirectoryFileSet::Options options;
    options.sync = sync;
    return options;
}

TFields ordersFields() {
    TFields f;
    f += TField<unsigned int>("key", 24) | TEndOfKey() | TField<int>("qty", 13) | TField<fixed_point>("price", 2, 20) |
         TField<std::string>("code", 4, true);
    return f;
}

// Handles on the four fields of the orders structure.
struct OrderHandles {
    explicit OrderHandles(const TFields& f)
        : key(f.handle<unsigned int>("key")), qty(f.handle<int>("qty")), price(f.handle<fixed_point>("price")),
          code(f.handle<std::string>("code")) {}
    field_handle<unsigned int> key;
    field_handle<int> qty;
    field_handle<fixed_point> price;
    field_handle<std::string> code;
};

struct LibraryRun {
    // Without syncing, as SQLite runs below (synchronous=OFF): the two then
    // do the same work. The cost of syncing is measured on its own.
    explicit LibraryRun(const std::string& dir, bool sync = false) : fs(dir, syncing(sync)) {
        table.reset(new TTable(fs, "orders", ordersFields(), true));
    }
    Host::DirectoryFileSet fs;
    std::unique_ptr<TTable> table;
};

// Empties the table and appends every row, field by field.
void appendRows(TTable& table, const std::vector<Row>& rows) {
    TOpenTable open(table, true);
    TRecord r(open.fields());
    fixed_point price(2);
    for (const Row& row : rows) {
        r[0] = row.key;
        r[1] = row.qty;
        price.raw = row.priceRaw;
        r[2] = price;
        r[3] = row.code;
        open.push_back(r);
    }
}

// Load (push_back all) into an empty table, then sort it; each ends with its
// commit, synced or not.
std::vector<double> loadAndSort(const std::string& dir, const std::vector<Row>& rows, bool sync) {
    LibraryRun run(dir, sync);
    TTable& table = *run.table;
    std::vector<double> t;
    t.push_back(seconds([&] {
        appendRows(table, rows);
    }));
    t.push_back(seconds([&] {
        TOpenTable open(table, false);
        open.sort();
    }));
    return t;
}

// `contentsPath` is set to the table's contents file.
std::vector<Timing> runLibrary(const std::string& dir, const std::vector<Row>& rows, const std::vector<unsigned>& keys,
                               std::string& contentsPath) {
    LibraryRun run(dir);
    TTable& table = *run.table;
    std::vector<Timing> t;
    t.push_back(measure([&] {
        appendRows(table, rows);
        table.getFileStream().flush();
    }));
    t.push_back(measure([&] {
        TOpenTable open(table, false);
        open.sort();
        table.getFileStream().flush();
    }));
    t.push_back(measure([&] {
        TOpenTable open(table, false);
        TRecord probe(open.fields());
        long sum = 0;
        for (unsigned k : keys) {
            probe[0] = k;
            unsigned long pos = open.lower_bound(0, open.size(), probe);
            if (pos < open.size()) {
                TRecord found = open.at(pos);
                sum += found[1].get<int>() + found[2].get<fixed_point>().raw;
            }
        }
        g_sink = sum;
    }));
    // The full scan through `at` and field handles, as a program reads a
    // table record by record; the same sum over the record bytes as
    // forEachBytes hands them out, the fastest scan, is timed beside it.
    t.push_back(measure([&] {
        TOpenTable open(table, false);
        const OrderHandles h(open.fields());
        long sum = 0;
        for (unsigned long i = 0; i < open.size(); ++i) {
            const TRecord r = open.at(i);
            sum += h.key.get(r) + h.qty.get(r) + h.price.get(r).raw + static_cast<long>(h.code.get(r).size());
        }
        g_sink = sum;
    }));
    const Timing byteScan = measure([&] {
        TOpenTable open(table, false);
        const OrderHandles h(open.fields());
        long sum = 0;
        open.forEachBytes(0, open.size(), [&](unsigned long, const unsigned char* r) {
            sum += h.key.get(r) + h.qty.get(r) + h.price.get(r).raw + static_cast<long>(h.code.get(r).size());
        });
        g_sink = sum;
    });
    t.push_back(measure([&] {
        {
            TOpenTable open(table, false);
            FileSet::ovfstream out(run.fs, "orders.txt", std::ios_base::openmode(), false, true);
            out << open;
        }
        {
            TOpenTable open(table, false);
            FileSet::ivfstream in(run.fs, "orders.txt", std::ios_base::openmode(), false, true);
            in >> open;
            if (open.size() != rows.size()) std::fprintf(stderr, "reload lost records\n");
        }
        table.getFileStream().flush();
    }));
    // Stripping the sorted table, beside a plain pass that reads the same
    // file twice and writes it once.
    table.getFileStream().close();
    const std::string contents = run.fs.path() + "/" + table.contentsFileName();
    contentsPath = contents;
    const std::size_t recordSize = table.fields().byteSize();
    t.push_back(measure([&] { readTwiceWriteOnce(contents, run.fs.path() + "/copy.bin", 0); }));
    t.push_back(measure([&] { readTwiceWriteOnce(contents, run.fs.path() + "/copy.bin", recordSize); }));
    TTables set(run.fs);
    set.append(pointer<TTable>(run.table.release()));
    t.push_back(measure([&] { set.strip(); }));
    t.push_back(byteScan);
    return t;
}

// ------------------------------------------------------------------- SQLite

void check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s: %s\n", what, sqlite3_errmsg(db));
        std::exit(1);
    }
}

void exec(sqlite3* db, const char* sql) { check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql); }

std::vector<Timing> runSqlite(const std::string& dir, const std::vector<Row>& rows, const std::vector<unsigned>& keys) {
    std::string path = dir + "/orders.db";
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db), db, "open");
    exec(db, "PRAGMA journal_mode=OFF");
    exec(db, "PRAGMA synchronous=OFF");
    exec(db, "PRAGMA cache_size=-1000000");  // about 1 GB: the whole database
    exec(db, "CREATE TABLE orders(key INTEGER, qty INTEGER, price INTEGER, code TEXT)");
    std::vector<Timing> t;
    auto insertAll = [&](const std::vector<Row>& source) {
        sqlite3_stmt* insert = nullptr;
        check(sqlite3_prepare_v2(db, "INSERT INTO orders VALUES(?,?,?,?)", -1, &insert, nullptr), db, "prepare");
        exec(db, "BEGIN");
        for (const Row& row : source) {
            sqlite3_bind_int(insert, 1, static_cast<int>(row.key));
            sqlite3_bind_int(insert, 2, row.qty);
            sqlite3_bind_int(insert, 3, row.priceRaw);
            sqlite3_bind_text(insert, 4, row.code, 4, SQLITE_STATIC);
            check(sqlite3_step(insert), db, "insert");
            sqlite3_reset(insert);
        }
        exec(db, "COMMIT");
        sqlite3_finalize(insert);
    };
    t.push_back(measure([&] { insertAll(rows); }));
    t.push_back(measure([&] { exec(db, "CREATE INDEX orders_key ON orders(key)"); }));
    t.push_back(measure([&] {
        sqlite3_stmt* query = nullptr;
        check(sqlite3_prepare_v2(db, "SELECT key, qty, price, code FROM orders WHERE key >= ? ORDER BY key LIMIT 1",
                                 -1, &query, nullptr),
              db, "prepare");
        exec(db, "BEGIN");
        long sum = 0;
        for (unsigned k : keys) {
            sqlite3_bind_int(query, 1, static_cast<int>(k));
            if (sqlite3_step(query) == SQLITE_ROW) sum += sqlite3_column_int(query, 1) + sqlite3_column_int(query, 2);
            sqlite3_reset(query);
        }
        exec(db, "COMMIT");
        sqlite3_finalize(query);
        g_sink = sum;
    }));
    t.push_back(measure([&] {
        sqlite3_stmt* scan = nullptr;
        check(sqlite3_prepare_v2(db, "SELECT key, qty, price, code FROM orders", -1, &scan, nullptr), db, "prepare");
        long sum = 0;
        while (sqlite3_step(scan) == SQLITE_ROW)
            sum += sqlite3_column_int(scan, 0) + sqlite3_column_int(scan, 1) + sqlite3_column_int(scan, 2) +
                   sqlite3_column_bytes(scan, 3);
        sqlite3_finalize(scan);
        g_sink = sum;
    }));
    t.push_back(measure([&] {
        std::string text = dir + "/orders.sql.txt";
        {
            std::ofstream out(text);
            sqlite3_stmt* scan = nullptr;
            check(sqlite3_prepare_v2(db, "SELECT key, qty, price, code FROM orders ORDER BY key", -1, &scan, nullptr),
                  db, "prepare");
            while (sqlite3_step(scan) == SQLITE_ROW)
                out << sqlite3_column_int(scan, 0) << '\t' << sqlite3_column_int(scan, 1) << '\t'
                    << sqlite3_column_int(scan, 2) << '\t' << sqlite3_column_text(scan, 3) << '\n';
            sqlite3_finalize(scan);
        }
        exec(db, "DELETE FROM orders");
        std::vector<Row> back;
        back.reserve(rows.size());
        std::ifstream in(text);
        Row r;
        std::string code;
        while (in >> r.key >> r.qty >> r.priceRaw >> code) {
            std::memcpy(r.code, code.c_str(), 5);
            back.push_back(r);
        }
        insertAll(back);
    }));
    sqlite3_close(db);
    return t;
}

// ------------------------------------------- open and find one key, new process

// Runs in a process of its own: opens the sorted table (or the database)
// and finds `key`, as `orvex find` does, then prints the time that took and
// the resident memory it added in KiB.
int findOneKey(const std::string& kind, const std::string& dir, unsigned key) {
    const long before = statusKiB("VmRSS:");
    long sum = 0;
    const double took = seconds([&] {
        if (kind == "orvex") {
            Host::DirectoryFileSet::Options readOnly;
            readOnly.writable = false;
            Host::DirectoryFileSet fs(dir, readOnly);
            TTable table(fs, "orders", ordersFields(), true);
            TOpenTable open(table, false);
            TRecord probe(open.fields());
            probe[0] = key;
            const unsigned long pos = open.lower_bound(0, open.size(), probe);
            if (pos < open.size()) sum = open.at(pos)[1].get<int>();
        } else {
            sqlite3* db = nullptr;
            check(sqlite3_open_v2((dir + "/orders.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), db, "open");
            sqlite3_stmt* query = nullptr;
            check(sqlite3_prepare_v2(db, "SELECT qty FROM orders WHERE key >= ? ORDER BY key LIMIT 1", -1, &query,
                                     nullptr),
                  db, "prepare");
            sqlite3_bind_int(query, 1, static_cast<int>(key));
            if (sqlite3_step(query) == SQLITE_ROW) sum = sqlite3_column_int(query, 0);
            sqlite3_finalize(query);
            sqlite3_close(db);
        }
    });
    std::printf("%.9f %ld %ld\n", took, statusKiB("VmHWM:") - before, sum);
    return 0;
}

struct FindRun {
    double inside = 1e9;   // opening and finding, as timed in the child
    double process = 1e9;  // the whole child, from fork to its end
    long peakKiB = 0;
    long found = 0;
};

// The best of `rounds` runs of findOneKey in a new process of this program.
FindRun findInNewProcess(const std::string& kind, const std::string& dir, unsigned key, int rounds = 5) {
    FindRun best;
    for (int round = 0; round < rounds; ++round) {
        int pipeEnds[2];
        if (::pipe(pipeEnds) != 0) return best;
        const std::string keyText = std::to_string(key);
        auto start = std::chrono::steady_clock::now();
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(pipeEnds[1], 1);
            ::close(pipeEnds[0]);
            ::close(pipeEnds[1]);
            ::execl("/proc/self/exe", "tables_bench", "--find-one-key", kind.c_str(), dir.c_str(), keyText.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipeEnds[1]);
        std::string out;
        char chunk[256];
        for (ssize_t got; (got = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<std::size_t>(got));
        ::close(pipeEnds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        const double process = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        FindRun run;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
            std::sscanf(out.c_str(), "%lf %ld %ld", &run.inside, &run.peakKiB, &run.found) != 3) {
            std::fprintf(stderr, "finding one key in a new process (%s) failed\n", kind.c_str());
            std::exit(1);
        }
        run.process = process;
        if (run.inside < best.inside) best = run;
    }
    return best;
}

// ------------------------------------------------------------- by hand, limit

const int kRecordBytes = 11;

void setBits(unsigned char* rec, int offset, int width, unsigned long v) {
    for (int i = 0; i < width; ++i) {
        int bit = offset + i;
        unsigned char mask = static_cast<unsigned char>(0x80 >> (bit % 8));
        if ((v >> (width - 1 - i)) & 1)
            rec[bit / 8] |= mask;
        else
            rec[bit / 8] &= static_cast<unsigned char>(~mask);
    }
}

unsigned long getBits(const unsigned char* rec, int offset, int width) {
    unsigned long v = 0;
    for (int i = 0; i < width; ++i) {
        int bit = offset + i;
        v = (v << 1) | ((rec[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return v;
}

struct Packed {
    unsigned char b[kRecordBytes];
};

Packed pack(const Row& row) {
    Packed p{};
    setBits(p.b, 0, 24, row.key);
    setBits(p.b, 24, 13, static_cast<unsigned long>(row.qty) & 0x1FFF);
    setBits(p.b, 37, 20, static_cast<unsigned long>(row.priceRaw));
    for (int i = 0; i < 4; ++i) setBits(p.b, 57 + 6 * i, 6, static_cast<unsigned long>(row.code[i] - 32));
    return p;
}

std::vector<Timing> runArray(const std::vector<Row>& rows, const std::vector<unsigned>& keys) {
    std::vector<Packed> table;
    std::vector<Timing> t;
    auto less = [](const Packed& a, const Packed& b) { return std::memcmp(a.b, b.b, 3) < 0; };
    t.push_back(measure([&] {
        for (const Row& row : rows) table.push_back(pack(row));
    }));
    t.push_back(measure([&] { std::sort(table.begin(), table.end(), less); }));
    t.push_back(measure([&] {
        long sum = 0;
        Packed probe{};
        for (unsigned k : keys) {
            setBits(probe.b, 0, 24, k);
            auto it = std::lower_bound(table.begin(), table.end(), probe, less);
            if (it != table.end()) sum += static_cast<long>(getBits(it->b, 24, 13) + getBits(it->b, 37, 20));
        }
        g_sink = sum;
    }));
    t.push_back(measure([&] {
        long sum = 0;
        for (const Packed& p : table) {
            sum += static_cast<long>(getBits(p.b, 0, 24) + getBits(p.b, 24, 13) + getBits(p.b, 37, 20));
            for (int i = 0; i < 4; ++i) sum += static_cast<long>(getBits(p.b, 57 + 6 * i, 6));
        }
        g_sink = sum;
    }));
    t.push_back(measure([&] {
        std::ostringstream out;
        for (const Packed& p : table) {
            long qty = static_cast<long>(getBits(p.b, 24, 13));
            if (qty & 0x1000) qty -= 0x2000;
            out << getBits(p.b, 0, 24) << '\t' << qty << '\t' << getBits(p.b, 37, 20) << '\t';
            for (int i = 0; i < 4; ++i) out << static_cast<char>(getBits(p.b, 57 + 6 * i, 6) + 32);
            out << '\n';
        }
        std::istringstream in(out.str());
        table.clear();
        Row r;
        std::string code;
        while (in >> r.key >> r.qty >> r.priceRaw >> code) {
            std::memcpy(r.code, code.c_str(), 5);
            table.push_back(pack(r));
        }
    }));
    return t;
}

// Each step's best time over the rounds so far; the memory of the first.
void keepBest(std::vector<Timing>& best, const std::vector<Timing>& round) {
    if (best.empty()) {
        best = round;
        return;
    }
    for (std::size_t i = 0; i < best.size() && i < round.size(); ++i)
        best[i].seconds = std::min(best[i].seconds, round[i].seconds);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long n = 1000000;
    int rounds = 3;
    std::string dir;
    if (argc == 5 && std::string(argv[1]) == "--find-one-key")
        return findOneKey(argv[2], argv[3], static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--n" && i + 1 < argc)
            n = std::strtoul(argv[++i], nullptr, 10);
        else if (arg == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (arg == "--rounds" && i + 1 < argc && std::atoi(argv[i + 1]) > 0)
            rounds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: tables_bench [--n N] [--dir DIR] [--rounds R]\n");
            return 2;
        }
    }
    const bool ownDirectory = dir.empty();
    if (ownDirectory) {
        char tmpl[] = "/tmp/orvex-bench-XXXXXX";
        if (!mkdtemp(tmpl)) return 1;
        dir = tmpl;
    }
    std::vector<Row> rows = generate(n);
    std::vector<unsigned> keys = lookupKeys(n);
    const unsigned probeKey = rows.empty() ? 0 : rows[rows.size() / 2].key;
    std::string contentsPath;
    std::vector<Timing> lib, sql, arr;
    for (int round = 0; round < rounds; ++round) {
        // Every round loads into an empty directory, as the first does.
        for (const auto& entry : std::filesystem::directory_iterator(dir)) std::filesystem::remove_all(entry.path());
        keepBest(lib, runLibrary(dir, rows, keys, contentsPath));
        keepBest(sql, runSqlite(dir, rows, keys));
        keepBest(arr, runArray(rows, keys));
    }
    std::error_code sizeError;
    const std::uintmax_t contentsBytes = std::filesystem::file_size(contentsPath, sizeError);
    const FindRun libFind = findInNewProcess("orvex", dir, probeKey);
    const FindRun sqlFind = findInNewProcess("sqlite", dir, probeKey);
    if (libFind.found != sqlFind.found) std::fprintf(stderr, "the two finds disagree\n");
    const char* steps[] = {"load", "sort / index", "lookups", "full scan", "text dump+reload"};
    std::printf("N = %lu records, 11 bytes each, directory %s, contents file %.1f MB, best of %d rounds\n", n,
                dir.c_str(), static_cast<double>(contentsBytes) / 1e6, rounds);
    std::printf("%-18s %10s %10s %10s %12s %12s %10s %10s\n", "step", "orvex s", "sqlite s", "array s", "orvex/sqlite",
                "orvex/array", "orvex MB", "sqlite MB");
    for (int i = 0; i < 5; ++i)
        std::printf("%-18s %10.3f %10.3f %10.3f %12.2f %12.2f %10.1f %10.1f\n", steps[i], lib[i].seconds, sql[i].seconds,
                    arr[i].seconds, lib[i].seconds / sql[i].seconds, lib[i].seconds / arr[i].seconds,
                    static_cast<double>(lib[i].peakKiB) / 1024, static_cast<double>(sql[i].peakKiB) / 1024);
    std::printf("(MB: the peak resident memory the step added to the process)\n");
    std::printf("%-18s %10.3f %10.3f %10.3f %12.2f %12.2f\n", "full scan, bytes", lib[8].seconds, sql[3].seconds,
                arr[3].seconds, lib[8].seconds / sql[3].seconds, lib[8].seconds / arr[3].seconds);
    std::printf("(full scan: at and field handles; full scan, bytes: forEachBytes and field handles)\n");
    std::printf("\nopen and find one key in a new process (best of 5)\n");
    std::printf("%-18s %10s %10s %12s\n", "", "orvex", "sqlite", "orvex/sqlite");
    std::printf("%-18s %10.3f %10.3f %12.2f\n", "open+find ms", libFind.inside * 1e3, sqlFind.inside * 1e3,
                libFind.inside / sqlFind.inside);
    std::printf("%-18s %10.3f %10.3f %12.2f\n", "whole process ms", libFind.process * 1e3, sqlFind.process * 1e3,
                libFind.process / sqlFind.process);
    std::printf("%-18s %10.2f %10.2f\n", "memory added MB", static_cast<double>(libFind.peakKiB) / 1024,
                static_cast<double>(sqlFind.peakKiB) / 1024);
    std::printf("\nstrip of the sorted table        %8.3f s   %8.1f MB\n", lib[7].seconds,
                static_cast<double>(lib[7].peakKiB) / 1024);
    std::printf("read twice, write once, records %8.3f s   strip / this %6.2f\n", lib[6].seconds,
                lib[7].seconds / lib[6].seconds);
    std::printf("read twice, write once, blocks  %8.3f s   strip / this %6.2f\n", lib[5].seconds,
                lib[7].seconds / lib[5].seconds);
    // Every change is journaled either way; syncing adds the fsyncs of the
    // journal, the contents and the directory.
    const std::vector<double> unsynced = loadAndSort(dir, rows, false);
    const std::vector<double> synced = loadAndSort(dir, rows, true);
    std::printf("\n%-18s %10s %10s %12s\n", "cost of syncing", "no-sync s", "sync s", "sync/no-sync");
    for (int i = 0; i < 2; ++i)
        std::printf("%-18s %10.3f %10.3f %12.2f\n", i == 0 ? "load" : "sort", unsynced[i], synced[i],
                    synced[i] / unsynced[i]);
    if (ownDirectory) std::filesystem::remove_all(dir);
    return 0;
}
