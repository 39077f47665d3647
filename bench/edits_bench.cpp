// Many updates in one command, each side in a fresh process: `orvex update
// --csv` on the demo's orders beside the sqlite3 shell making the same
// updates to the same records in one transaction.
//
//   edits_bench [--orders N] [--updates U] [--rounds R]
//       N orders (1000000 unless given) made by `orvex demo` in a temporary
//       directory, removed at the end; U updates (10000) of qty and status
//       of random order ids, from std::mt19937 seeded 20261206; each side's
//       time the best of R rounds (3), so that a neighbour's passing load on
//       a shared machine weighs on both alike.
//
// The SQLite table holds what `orvex dump --csv` writes, with id as its
// INTEGER PRIMARY KEY, so that both find a record by its key in a sorted
// structure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

double bestSeconds(const std::string& command, int rounds) {
    double best = 1e9;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        run(command);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

unsigned long option(int argc, char** argv, const std::string& name, unsigned long fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return std::strtoul(argv[i + 1], nullptr, 10);
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long orders = option(argc, argv, "--orders", 1000000);
    const unsigned long updates = option(argc, argv, "--updates", 10000);
    const int rounds = static_cast<int>(option(argc, argv, "--rounds", 3));
    char pattern[] = "/tmp/orvex-edits-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return std::perror("mkdtemp"), 1;
    const std::string dir = pattern, orvex = ORVEX_TOOL, sqlite = SQLITE3_SHELL;

    run(orvex + " demo " + dir + "/set --orders " + std::to_string(orders) + " > /dev/null");
    run(orvex + " dump " + dir + "/set orders --csv > " + dir + "/orders.csv");
    run(sqlite + " " + dir +
        "/orders.db 'CREATE TABLE orders(id INTEGER PRIMARY KEY, customer INTEGER, "
        "qty INTEGER, price REAL, status TEXT, day INTEGER)' '.import --csv --skip 1 " +
        dir + "/orders.csv orders'");

    std::mt19937 random(20261206);
    const char* const statuses[] = {"NEW", "PAID", "SHIPPED", "RETURNED"};
    std::ofstream csv(dir + "/changes.csv"), sql(dir + "/changes.sql");
    csv << "id,qty,status\n";
    sql << "BEGIN;\n";
    for (unsigned long i = 0; i < updates; ++i) {
        const unsigned long id = 1 + random() % orders;
        const unsigned qty = 1 + random() % 500;
        const char* status = statuses[random() % 4];
        csv << id << ',' << qty << ',' << status << '\n';
        sql << "UPDATE orders SET qty = " << qty << ", status = '" << status << "' WHERE id = " << id << ";\n";
    }
    sql << "COMMIT;\n";
    csv.close();
    sql.close();

    const double byOrvex =
        bestSeconds(orvex + " update " + dir + "/set orders --csv < " + dir + "/changes.csv > /dev/null", rounds);
    const double bySqlite = bestSeconds(sqlite + " " + dir + "/orders.db < " + dir + "/changes.sql", rounds);
    run(orvex + " check " + dir + "/set > /dev/null");
    std::filesystem::remove_all(dir);

    std::printf("%lu updates of %lu orders, fresh process, best of %d\n", updates, orders, rounds);
    std::printf("%-28s %10s %10s %12s\n", "", "orvex s", "sqlite s", "orvex/sqlite");
    std::printf("%-28s %10.3f %10.3f %12.2f\n", "update --csv / transaction", byOrvex, bySqlite, byOrvex / bySqlite);
    return 0;
}
