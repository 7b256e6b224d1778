// The per-thread pseudo-random source.
#include "engine/random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

const std::vector<int> FIRST_DRAWS = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962};

std::vector<int> draw(std::size_t count) {
    std::vector<int> values;
    for (std::size_t i = 0; i < count; ++i)
        values.push_back(nextRandom());
    return values;
}

std::vector<int> drawInNewThread(std::size_t count) {
    std::vector<int> values;
    std::thread([&] { values = draw(count); }).join();
    return values;
}

TEST(NextRandom, EveryThreadStartsWithTheSameSequence) {
    EXPECT_EQ(drawInNewThread(FIRST_DRAWS.size()), FIRST_DRAWS);
    EXPECT_EQ(drawInNewThread(FIRST_DRAWS.size()), FIRST_DRAWS) << "a new thread starts again";
}

TEST(NextRandom, ThreadsDoNotDisturbEachOther) {
    std::vector<int> first, second, nested;
    std::thread([&] {
        first = draw(4);
        nested = drawInNewThread(FIRST_DRAWS.size()); // many draws elsewhere meanwhile
        std::vector<int> more = draw(FIRST_DRAWS.size() - 4);
        first.insert(first.end(), more.begin(), more.end());
    }).join();
    EXPECT_EQ(first, FIRST_DRAWS) << "the thread's sequence runs on where it was";
    EXPECT_EQ(nested, FIRST_DRAWS);
}

TEST(NextRandom, DrawsFromZeroTo32767) {
    std::thread([] {
        // The sequence is fixed; a million draws reach both ends of the range.
        int lowest = 32767, highest = 0;
        for (int i = 0; i < 1000000; ++i) {
            const int r = nextRandom();
            lowest = std::min(lowest, r);
            highest = std::max(highest, r);
        }
        EXPECT_EQ(lowest, 0);
        EXPECT_EQ(highest, 32767);
    }).join();
}

} // namespace
