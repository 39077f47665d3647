// Field access through the library against hand-written shift-and-mask code
// for the same layout, in one run.
//
//   fields_bench [N]      (N records, default 1,000,000)
//
// Structure: key u_int 24 | end of key | qty int 13, price fixed(2) 20,
// code str 4 packed: 81 bits, 11 bytes per record. Values come from
// std::mt19937 seeded 20240607. Pack: the four values of each record are
// written into a record and its 11 bytes stored in a flat array; unpack:
// each record's bytes are loaded and the four values read back. The hand
// code does the same range checks and character coding as the library.
// Both sides must produce identical bytes and checksums, or the run fails.
// The library hands the code back as a std::string; the hand-written
// unpack is timed twice, leaving the code in a char array ("chars") and
// building the same std::string ("string"), the like-for-like figure.
// The library is also timed through field handles kept for the loop. The
// hand-written code is word-wide (the record as one 128-bit number).
// Each timing is the best of five passes; printed as ns per record.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core/Orvex/__field.h"

using namespace Orvex;

namespace {

const unsigned kRecordBytes = 11;

struct Input {
    std::vector<unsigned> key;
    std::vector<int> qty;
    std::vector<fixed_point> price;
    std::vector<std::string> code;
};

Input makeInput(std::size_t n) {
    Input in;
    std::mt19937 random(20240607);
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcxyz-_ ";
    for (std::size_t i = 0; i < n; ++i) {
        in.key.push_back(random() & 0xFFFFFF);
        in.qty.push_back(static_cast<int>(random() % 8192) - 4096);
        fixed_point p(2);
        p.raw = static_cast<int>(random() % (1 << 20)) - (1 << 19);
        in.price.push_back(p);
        std::string c;
        const unsigned length = 1 + random() % 4;
        for (unsigned k = 0; k < length; ++k) c += alphabet[random() % (sizeof alphabet - 1)];
        in.code.push_back(c);
    }
    return in;
}

// ------------------------------------------------------------ by hand

typedef unsigned __int128 u128;

[[noreturn]] void refuse() { throw std::out_of_range("value does not fit"); }

unsigned packedCode(unsigned char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
    const int code = c - 32;
    return code < 0 || code > 63 ? 63u : static_cast<unsigned>(code);
}

// Bits are numbered from the top of byte 0; the record is the top 81 bits
// of a 128-bit big-endian number.
inline void handPack(unsigned char* out, unsigned key, int qty, const fixed_point& price, const std::string& code) {
    if (key > 0xFFFFFF) refuse();
    if (qty < -4096 || qty > 4095) refuse();
    int raw;
    if (!fixed_point::convert(2, price, raw) || raw < -(1 << 19) || raw >= (1 << 19)) refuse();
    if (code.size() > 4) refuse();
    u128 v = static_cast<u128>(key) << (128 - 24);
    v |= static_cast<u128>(static_cast<unsigned>(qty) & 0x1FFF) << (128 - 37);
    v |= static_cast<u128>(static_cast<unsigned>(raw) & 0xFFFFF) << (128 - 57);
    for (unsigned i = 0; i < 4; ++i) {
        const unsigned c = i < code.size() ? static_cast<unsigned char>(code[i]) : 0u;
        v |= static_cast<u128>(packedCode(static_cast<unsigned char>(c))) << (128 - 63 - 6 * i);
    }
    for (unsigned b = 0; b < kRecordBytes; ++b) out[b] = static_cast<unsigned char>(v >> (120 - 8 * b));
}

struct Unpacked {
    unsigned key;
    int qty;
    int raw;
    char code[4];
};

inline Unpacked handUnpack(const unsigned char* in) {
    u128 v = 0;
    for (unsigned b = 0; b < kRecordBytes; ++b) v |= static_cast<u128>(in[b]) << (120 - 8 * b);
    Unpacked u;
    u.key = static_cast<unsigned>(v >> (128 - 24)) & 0xFFFFFF;
    u.qty = static_cast<int>(static_cast<unsigned>(v >> (128 - 37)) << 19) >> 19;
    u.raw = static_cast<int>(static_cast<unsigned>(v >> (128 - 57)) << 12) >> 12;
    for (unsigned i = 0; i < 4; ++i) u.code[i] = static_cast<char>(((v >> (128 - 63 - 6 * i)) & 0x3F) + 32);
    return u;
}

// ---------------------------------------------------------- timing

template <class F>
double bestNsPerRecord(std::size_t n, F pass) {
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        pass();
        const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / static_cast<double>(n));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const Input in = makeInput(n);

    TFields fields;
    fields += TField<unsigned int>("key", 24) | TEndOfKey() | TField<int>("qty", 13) |
              TField<fixed_point>("price", 2, 20) | TField<std::string>("code", 4, true);
    if (fields.bitSize() != 81 || fields.byteSize() != kRecordBytes) {
        std::fprintf(stderr, "unexpected layout: %u bits\n", fields.bitSize());
        return 1;
    }

    std::vector<unsigned char> libBytes(n * kRecordBytes), handBytes(n * kRecordBytes);
    unsigned long long libSum = 0, handSum = 0;

    const double libPack = bestNsPerRecord(n, [&] {
        TRecord r(fields);
        for (std::size_t i = 0; i < n; ++i) {
            r[0] = in.key[i];
            r[1] = in.qty[i];
            r[2] = in.price[i];
            r[3] = in.code[i];
            std::memcpy(&libBytes[i * kRecordBytes], r.data()(0), kRecordBytes);
        }
    });
    // The same through field handles, resolved once before the loop.
    const field_handle<unsigned int> key = fields.handle<unsigned int>("key");
    const field_handle<int> qty = fields.handle<int>("qty");
    const field_handle<fixed_point> price = fields.handle<fixed_point>("price");
    const field_handle<std::string> code = fields.handle<std::string>("code");
    std::vector<unsigned char> handleBytes(n * kRecordBytes);
    const double handlePack = bestNsPerRecord(n, [&] {
        TRecord r(fields);
        for (std::size_t i = 0; i < n; ++i) {
            key.set(r, in.key[i]);
            qty.set(r, in.qty[i]);
            price.set(r, in.price[i]);
            code.set(r, in.code[i]);
            std::memcpy(&handleBytes[i * kRecordBytes], r.data()(0), kRecordBytes);
        }
    });
    const double handPackNs = bestNsPerRecord(n, [&] {
        for (std::size_t i = 0; i < n; ++i)
            handPack(&handBytes[i * kRecordBytes], in.key[i], in.qty[i], in.price[i], in.code[i]);
    });
    if (libBytes != handBytes || handleBytes != handBytes) {
        std::fprintf(stderr, "library and hand-written bytes differ\n");
        return 1;
    }

    const double libUnpack = bestNsPerRecord(n, [&] {
        TRecord r(fields);
        unsigned long long sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(r.data()(0), &libBytes[i * kRecordBytes], kRecordBytes);
            const TRecord& c = r;
            sum += c[0].get<unsigned int>();
            sum += static_cast<unsigned long long>(c[1].get<int>());
            sum += static_cast<unsigned long long>(c[2].get<fixed_point>().raw);
            const std::string code = c[3].get<std::string>();
            for (char ch : code) sum = sum * 31 + static_cast<unsigned char>(ch);
        }
        libSum = sum;
    });
    unsigned long long handleSum = 0;
    const double handleUnpack = bestNsPerRecord(n, [&] {
        TRecord r(fields);
        unsigned long long sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(r.data()(0), &libBytes[i * kRecordBytes], kRecordBytes);
            sum += key.get(r);
            sum += static_cast<unsigned long long>(qty.get(r));
            sum += static_cast<unsigned long long>(price.get(r).raw);
            const std::string text = code.get(r);
            for (char ch : text) sum = sum * 31 + static_cast<unsigned char>(ch);
        }
        handleSum = sum;
    });
    const double handUnpackNs = bestNsPerRecord(n, [&] {
        unsigned long long sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Unpacked u = handUnpack(&handBytes[i * kRecordBytes]);
            sum += u.key;
            sum += static_cast<unsigned long long>(u.qty);
            sum += static_cast<unsigned long long>(u.raw);
            for (char ch : u.code) sum = sum * 31 + static_cast<unsigned char>(ch);
        }
        handSum = sum;
    });
    unsigned long long handStringSum = 0;
    const double handStringNs = bestNsPerRecord(n, [&] {
        unsigned long long sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Unpacked u = handUnpack(&handBytes[i * kRecordBytes]);
            sum += u.key;
            sum += static_cast<unsigned long long>(u.qty);
            sum += static_cast<unsigned long long>(u.raw);
            const std::string code(u.code, sizeof u.code);
            for (char ch : code) sum = sum * 31 + static_cast<unsigned char>(ch);
        }
        handStringSum = sum;
    });
    if (libSum != handSum || handStringSum != handSum || handleSum != handSum) {
        std::fprintf(stderr, "checksums differ: %llu %llu %llu\n", libSum, handSum, handStringSum);
        return 1;
    }

    std::printf("fields_bench: %zu records, 81-bit layout (u_int 24 | int 13, fixed(2) 20, str 4 packed)\n", n);
    std::printf("%-16s %12s %12s %8s\n", "", "library", "by hand", "ratio");
    std::printf("%-16s %9.1f ns %9.1f ns %7.2fx\n", "pack", libPack, handPackNs, libPack / handPackNs);
    std::printf("%-16s %9.1f ns %9.1f ns %7.2fx\n", "unpack (string)", libUnpack, handStringNs,
                libUnpack / handStringNs);
    std::printf("%-16s %9.1f ns %9.1f ns %7.2fx\n", "unpack (chars)", libUnpack, handUnpackNs,
                libUnpack / handUnpackNs);
    std::printf("%-16s %9.1f ns %9.1f ns %7.2fx\n", "pack (handles)", handlePack, handPackNs, handlePack / handPackNs);
    std::printf("%-16s %9.1f ns %9.1f ns %7.2fx\n", "unpack (handles)", handleUnpack, handStringNs,
                handleUnpack / handStringNs);
    std::printf("checksum %llu\n", handSum);
    return 0;
}
