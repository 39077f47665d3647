// A small first look at the library until the command-line tool exists:
// packs a few values into a record the way tables store them.
#include <cstdio>

#include "Core/Orvex/__bfield.h"
#include "support/fixed_point.h"

int main() {
    Orvex::bit_buffer record(81);
    Orvex::bit_field key(0, 24), qty(24, 13), price(37, 20);
    key.set_u_long(record, 1234567);
    qty.set_long(record, -42);
    price.set_long(record, fixed_point(2, 19.99).raw);
    std::printf("record of %u bytes:", record.size());
    for (unsigned i = 0; i < record.size(); ++i) std::printf(" %02X", static_cast<unsigned char>(*record(i)));
    std::printf("\nkey %lu, qty %ld, price raw %ld\n", key.get_u_long(record), qty.get_long(record),
                price.get_long(record));
    return 0;
}
