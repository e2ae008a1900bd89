#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "results/duplicate_index.h"

using kestrel::DuplicateIndex;

namespace {

// The positions the index finds for a hash, asked through `contains` with an
// equality that records every position it is offered and accepts none.
std::vector<size_t> offered(DuplicateIndex& index, uint64_t h) {
    std::vector<size_t> seen;
    index.contains(h, [&](size_t at) {
        seen.push_back(at);
        return false;
    });
    std::sort(seen.begin(), seen.end());
    return seen;
}

}  // namespace

// Positions added one by one, with lookups between runs of adds of every
// length (the table grows many times, sometimes with positions still to be
// placed), must be found exactly where a plain scan of the hashes finds them:
// every position with an equal hash, none other, shared hashes included.
TEST(DuplicateIndex, LookupsBetweenAddsFindEveryPositionOfTheHash) {
    std::mt19937_64 rng(5);
    DuplicateIndex index;
    std::vector<uint64_t> added;
    // Few distinct values: many positions share a hash, and the low bits
    // that pick a slot collide even more often.
    const auto nextHash = [&] { return (rng() % 700) * 0x10000 + (rng() % 3); };
    for (int round = 0; round < 60; ++round) {
        const size_t run = rng() % (round < 30 ? 40 : 400);
        for (size_t i = 0; i < run; ++i) {
            added.push_back(nextHash());
            index.add(added.back());
        }
        ASSERT_EQ(index.size(), added.size());
        for (int q = 0; q < 20; ++q) {
            const uint64_t h = q % 2 == 0 && !added.empty() ? added[rng() % added.size()] : nextHash();
            std::vector<size_t> expected;
            for (size_t p = 0; p < added.size(); ++p)
                if (added[p] == h) expected.push_back(p);
            ASSERT_EQ(offered(index, h), expected) << "round " << round << ", hash " << h;
        }
    }
    // A hit ends the lookup with true; a list that shrank starts over.
    ASSERT_FALSE(added.empty());
    EXPECT_TRUE(index.contains(added.front(), [](size_t at) { return at == 0; }));
    std::vector<const uint64_t*> list;
    for (size_t p = 0; p < 10; ++p) list.push_back(&added[p]);
    index.catchUp(list, [](const uint64_t& h) { return h; });
    EXPECT_EQ(index.size(), 10u);
    std::vector<size_t> expected;
    for (size_t p = 0; p < 10; ++p)
        if (added[p] == added[3]) expected.push_back(p);
    EXPECT_EQ(offered(index, added[3]), expected);
}
