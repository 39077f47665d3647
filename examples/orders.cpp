// An example of Orvex used from a program of its own: it defines a table of
// orders in a directory, appends records field by field, sorts them on their
// key, finds one, and then opens the table again to read it back.
//
// Build it against Orvex installed under a prefix P, with its CMake package:
//   cmake -S examples -B build-example -DCMAKE_PREFIX_PATH=P && cmake --build build-example
// or with pkg-config (the rpath lets it find the libraries unless P is a
// system prefix; LD_LIBRARY_PATH=P/lib does as well):
//   export PKG_CONFIG_PATH=P/lib/pkgconfig
//   g++ -std=c++17 examples/orders.cpp -o orders_example $(pkg-config --cflags --libs orvex) -Wl,-rpath,P/lib
// Run it as `orders_example DIR`: DIR is made if missing, and a table "orders"
// in it is replaced. `orvex dump DIR orders` shows the table afterwards.
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "Core/Orvex/__table.h"
#include "host/directory_file_set.h"
#include "host/module_loader.h"
#include "orvex/version.h"

using namespace Orvex;

namespace {

struct Order {
    unsigned long id;
    const char* customer;
    int quantity;
    double price;
};

const Order kOrders[] = {
    {1003, "Chloe Park", 1, 19.99},
    {1001, "Ada Lovelace", 12, 4.50},
    {1004, "Ben Dubois", 3, 120.00},
    {1002, "Chloe Park", 250, 0.75},
};

void print(const TRecord& record) {
    std::cout << "  " << record["id"].get<unsigned long>() << "  " << record["customer"].get<std::string>() << "  "
              << record["qty"].get<int>() << "  " << record["price"].get<fixed_point>() << "\n";
}

// Defines the table (binary form), fills it, sorts it and looks one order up.
// Returns false when the order is not found.
bool build(const std::string& directory) {
    // Holds the directory's lock until it goes, and makes the changes final
    // then, if the closing of the table has not already done so.
    Host::DirectoryFileSet files(directory);

    // id:u_long:32 | customer:str:16 qty:int:16 price:fixed:2:32, as the
    // orvex tool writes it: id is the key.
    TFields fields;
    fields += TField<unsigned long>("id", 32) | TEndOfKey() | TField<std::string>("customer", 16, false) |
              TField<int>("qty", 16) | TField<fixed_point>("price", 2, 32);
    const TTable table(files, "orders", fields, true);

    TOpenTable orders(table, true);  // true: start empty
    TRecord record(orders.fields());
    for (const Order& order : kOrders) {
        record["id"] = order.id;
        record["customer"] = order.customer;
        record["qty"] = order.quantity;
        record["price"] = fixed_point(2, order.price);
        orders.push_back(record);
    }
    orders.sort();

    TRecord key(orders.fields());
    key["id"] = 1002UL;
    const unsigned long position = orders.find(0, orders.size(), key);
    if (position == orders.size()) {
        std::cerr << "order 1002 not found\n";
        return false;
    }
    std::cout << "order 1002 is record " << position << ":\n";
    print(orders.at(position));
    return true;
}

// Opens the table again from its files and lists it.
void list(const std::string& directory) {
    Host::DirectoryFileSet files(directory);
    const TTable table(files, "orders", true);
    const TOpenTable orders(table, false);
    std::cout << orders.size() << " orders, sorted on id:\n";
    for (unsigned long i = 0; i < orders.size(); ++i) print(orders.at(i));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: orders_example DIR\n";
        return 2;
    }
    std::cout << "Orvex " << libraryVersion() << " (compiled against " << ORVEX_VERSION_STRING << ")\n";
    try {
        // A host lets the library finish its registration before using it.
        Host::ModuleLoader::instance().initializeModules();
        std::filesystem::create_directories(argv[1]);
        if (!build(argv[1])) return 1;
        list(argv[1]);
    } catch (const std::exception& e) {
        std::cerr << "orders_example: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
