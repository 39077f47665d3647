// The host's pool of released file-image memory.
#include <gtest/gtest.h>

#include "host/file_image.h"
#include "host/memory_file_set.h"

namespace {

const std::size_t MiB = std::size_t(1) << 20;

class BufferPoolTest : public ::testing::Test {
protected:
    void SetUp() override { Host::BufferPool::release(); }
    void TearDown() override { Host::BufferPool::release(); }
};

TEST_F(BufferPoolTest, LargeVectorsComeBackSmallOnesDoNot) {
    std::vector<char> large(2 * MiB, 'x');
    const char* memory = large.data();
    Host::BufferPool::give(std::move(large));
    std::vector<char> again = Host::BufferPool::take(MiB);
    EXPECT_EQ(again.data(), memory);
    EXPECT_TRUE(again.empty());
    EXPECT_GE(again.capacity(), 2 * MiB);

    std::vector<char> small(1000);
    const char* smallMemory = small.data();
    Host::BufferPool::give(std::move(small));
    EXPECT_NE(Host::BufferPool::take(10).data(), smallMemory);
}

TEST_F(BufferPoolTest, TakeChoosesTheSmallestVectorThatFitsAndNeverATooSmallOne) {
    std::vector<char> two(2 * MiB), eight(8 * MiB);
    const char* twoMemory = two.data();
    const char* eightMemory = eight.data();
    Host::BufferPool::give(std::move(eight));
    Host::BufferPool::give(std::move(two));
    EXPECT_EQ(Host::BufferPool::take(3 * MiB).data(), eightMemory);
    EXPECT_GE(Host::BufferPool::take(4 * MiB).capacity(), 4 * MiB);  // fresh: the 2 MiB one is too small
    EXPECT_EQ(Host::BufferPool::take(MiB).data(), twoMemory);
}

TEST_F(BufferPoolTest, AtMostFourAreKeptPreferringTheLargest) {
    std::vector<const char*> memory;
    for (std::size_t size : {2, 3, 4, 5, 6}) {
        std::vector<char> v(size * MiB);
        memory.push_back(v.data());
        Host::BufferPool::give(std::move(v));
    }
    // The 2 MiB vector was dropped to make room; the others are all there.
    for (std::size_t size : {3, 4, 5, 6}) EXPECT_EQ(Host::BufferPool::take(size * MiB).data(), memory[size - 2]);
}

TEST_F(BufferPoolTest, ImagesGrowingThroughPooledMemoryKeepTheirBytes) {
    Host::MemoryFileSet fs;
    Host::BufferPool::give(std::vector<char>(4 * MiB));
    std::streambuf* b = fs.open("f", std::ios_base::out | std::ios_base::binary, 0, 1);
    ASSERT_NE(b, nullptr);
    std::string expected;
    for (int i = 0; i < 300000; ++i) {
        std::string chunk = std::to_string(i) + ",";
        ASSERT_EQ(b->sputn(chunk.data(), static_cast<std::streamsize>(chunk.size())),
                  static_cast<std::streamsize>(chunk.size()));
        expected += chunk;
    }
    fs.close(b);
    EXPECT_EQ(fs.contents("f"), expected);
}

}  // namespace
