// Record access through our file sets, side by side with std::filebuf.
//
// An open table reads and writes one record at a time: a seek to 4 + i * R
// and R bytes. Here R = 11 and the file holds a million records (11 MB); the
// positions are random, so nothing is helped by reading ahead. Each set is
// measured at the buffer (what a stream adapter hands to the library) and,
// for the directory set, also through the library's vfstream as an open
// table uses it.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fileset/vfstream.h"
#include "host/directory_file_set.h"
#include "host/memory_file_set.h"

namespace {

constexpr std::size_t recordSize = 11;
constexpr std::size_t recordCount = 1000000;
constexpr std::size_t headerSize = 4;
const char* const fileName = "table.bin";

// The table file, made once in a directory of its own and removed at exit.
struct Workspace {
    std::filesystem::path dir;
    std::string bytes;
    std::vector<std::streamoff> positions;  // random record offsets

    Workspace() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvex-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        dir = pattern;
        std::mt19937 rng(42);
        bytes.resize(headerSize + recordSize * recordCount);
        for (char& c : bytes) c = static_cast<char>(rng());
        std::ofstream(dir / fileName, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        positions.resize(1 << 16);
        for (auto& p : positions) p = static_cast<std::streamoff>(headerSize + (rng() % recordCount) * recordSize);
    }
    ~Workspace() {
        std::error_code error;
        std::filesystem::remove_all(dir, error);
    }
};

Workspace& workspace() {
    static Workspace w;
    return w;
}

// One way of reaching the file: open gives a buffer, close puts it away.
struct DirectorySet {
    Host::DirectoryFileSet set{workspace().dir.string()};
    std::streambuf* buffer = set.open(fileName, std::ios::in | std::ios::out | std::ios::binary, 0, 1);
    ~DirectorySet() { set.close(buffer); }
};

struct MemorySet {
    Host::MemoryFileSet set;
    std::streambuf* buffer = nullptr;
    MemorySet() {
        set.put(fileName, workspace().bytes);
        buffer = set.open(fileName, std::ios::in | std::ios::out | std::ios::binary, 0, 1);
    }
    ~MemorySet() { set.close(buffer); }
};

struct PlainFilebuf {
    std::filebuf file;
    std::streambuf* buffer =
        file.open((workspace().dir / fileName).string(), std::ios::in | std::ios::out | std::ios::binary);
};

template <class Access>
void SeekRead(benchmark::State& state) {
    Access access;
    if (!access.buffer) return state.SkipWithError("open failed");
    const auto& positions = workspace().positions;
    char record[recordSize];
    std::size_t i = 0;
    for (auto _ : state) {
        access.buffer->pubseekpos(positions[i++ & (positions.size() - 1)]);
        benchmark::DoNotOptimize(access.buffer->sgetn(record, recordSize));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

template <class Access>
void SeekWrite(benchmark::State& state) {
    Access access;
    if (!access.buffer) return state.SkipWithError("open failed");
    const auto& positions = workspace().positions;
    char record[recordSize] = "0123456789";
    std::size_t i = 0;
    for (auto _ : state) {
        access.buffer->pubseekpos(positions[i++ & (positions.size() - 1)]);
        record[0] = static_cast<char>(i);
        benchmark::DoNotOptimize(access.buffer->sputn(record, recordSize));
    }
    state.SetItemsProcessed(state.iterations());
}

// As an open table does it: seekg and read, or seekp and write, on the
// contents stream over the directory set.
template <bool writing>
void StreamSeekAccess(benchmark::State& state) {
    Host::DirectoryFileSet set(workspace().dir.string());
    FileSet::vfstream stream(set);
    stream.open(fileName, std::ios::binary);
    if (!stream.is_open()) return state.SkipWithError("open failed");
    const auto& positions = workspace().positions;
    char record[recordSize] = "0123456789";
    std::size_t i = 0;
    for (auto _ : state) {
        const std::streamoff at = positions[i++ & (positions.size() - 1)];
        if (writing) {
            stream.seekp(at);
            stream.write(record, recordSize);
        } else {
            stream.seekg(at);
            stream.read(record, recordSize);
        }
        benchmark::ClobberMemory();
    }
    if (!stream.good()) state.SkipWithError("stream failed");
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_TEMPLATE(SeekRead, DirectorySet);
BENCHMARK_TEMPLATE(SeekRead, MemorySet);
BENCHMARK_TEMPLATE(SeekRead, PlainFilebuf);
BENCHMARK_TEMPLATE(SeekWrite, DirectorySet);
BENCHMARK_TEMPLATE(SeekWrite, MemorySet);
BENCHMARK_TEMPLATE(SeekWrite, PlainFilebuf);
BENCHMARK_TEMPLATE(StreamSeekAccess, false)->Name("StreamSeekRead/DirectorySet");
BENCHMARK_TEMPLATE(StreamSeekAccess, true)->Name("StreamSeekWrite/DirectorySet");

}  // namespace

BENCHMARK_MAIN();
