// The bounded cache that gives up the record used longest ago: its use order against a model
// under random finds, uses and insertions (keys that share a hash too; down to one record), a
// place given up and taken again, and memory: refused only when the cache is made, never later.
#include "doctest.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/lru.h"
#include "platform/memory.h"

using namespace olv;

namespace {

struct Item {
    uint32_t key;
    uint32_t value;
};

using Hash = uint64_t (*)(uint32_t);

uint64_t Spread(uint32_t key) {
    return HashNumber(key);
}

// Four hashes for every key: lookups must compare keys, and an eviction must remove the entry
// of its own place among others of the same hash.
uint64_t Clumped(uint32_t key) {
    return key & 3u;
}

Item* Find(Lru<Item>* lru, uint32_t key, Hash hash) {
    return LruFind(lru, hash(key), [key](const Item& item) { return item.key == key; });
}

// Inserts key (not in the cache); *gone gets the key that gave up its place, or UINT32_MAX.
Item* Insert(Lru<Item>* lru, uint32_t key, uint32_t value, Hash hash, uint32_t* gone) {
    bool evicted = false;
    Item* item = LruInsert(lru, hash(key), &evicted);
    *gone = UINT32_MAX;
    if (item == nullptr) return nullptr;
    if (evicted)
        *gone = item->key;
    else
        CHECK((item->key == 0 && item->value == 0)); // a fresh place is zero
    *item = Item{key, value};
    return item;
}

// The keys from the one used last to the one used longest ago, as the links give them.
std::vector<uint32_t> Order(const Lru<Item>& lru) {
    std::vector<uint32_t> keys;
    for (uint32_t at = lru.newest; at != kLruNone && keys.size() <= lru.capacity;
         at = lru.links[at].older)
        keys.push_back(lru.values[at].key);
    return keys;
}

} // namespace

TEST_CASE("lru: the use order and the evictions agree with a model") {
    for (Hash hash : {Spread, Clumped}) {
        for (uint32_t capacity : {1u, 2u, 5u, 64u}) {
            CAPTURE(capacity);
            const int64_t live = LiveAllocationCount();
            Lru<Item> lru{};
            REQUIRE(LruInit(&lru, capacity));
            std::vector<uint32_t> model; // newest first
            std::mt19937 random(capacity);
            for (int step = 0; step < 5000; ++step) {
                const uint32_t key = 1 + random() % (capacity * 2 + 3);
                Item* found = Find(&lru, key, hash);
                const auto inModel = std::find(model.begin(), model.end(), key);
                REQUIRE((found != nullptr) == (inModel != model.end()));
                if (found != nullptr) {
                    REQUIRE(found->value == key * 7);
                    if (random() % 4 != 0) { // a find alone leaves the order; a use changes it
                        LruTouch(&lru, found);
                        model.erase(inModel);
                        model.insert(model.begin(), key);
                    }
                } else {
                    uint32_t gone = 0;
                    REQUIRE(Insert(&lru, key, key * 7, hash, &gone) != nullptr);
                    if (model.size() == capacity) {
                        CHECK(gone == model.back()); // the one used longest ago
                        model.pop_back();
                    } else {
                        CHECK(gone == UINT32_MAX);
                    }
                    model.insert(model.begin(), key);
                }
                REQUIRE(lru.count == model.size());
                if (step % 37 == 0) REQUIRE(Order(lru) == model);
            }
            std::vector<uint32_t> released;
            LruFree(&lru, [&](Item& item) { released.push_back(item.key); });
            CHECK(released == model); // every record in use, once
            CHECK(LiveAllocationCount() == live);
        }
    }
}

TEST_CASE("lru: a place given up is handed back with its record, then taken again") {
    // 1, 2, 3 in a cache of three; 1 used again; 4 takes 2's place, then 2 comes back in 3's.
    uint32_t gone = 0;
    Lru<Item> lru{};
    REQUIRE(LruInit(&lru, 3));
    for (uint32_t k : {1u, 2u, 3u})
        Insert(&lru, k, k, Clumped, &gone);
    Item* second = Find(&lru, 2, Clumped);
    LruTouch(&lru, Find(&lru, 1, Clumped));
    // The same place, its old record handed back for the caller to release.
    CHECK(Insert(&lru, 4, 4, Clumped, &gone) == second);
    CHECK(gone == 2);
    CHECK(Find(&lru, 2, Clumped) == nullptr);
    Insert(&lru, 2, 22, Clumped, &gone);
    CHECK(gone == 3);
    CHECK(Order(lru) == std::vector<uint32_t>{2, 4, 1});
    const Item* again = Find(&lru, 2, Clumped);
    const Item* fourth = Find(&lru, 4, Clumped);
    CHECK((again != nullptr && again->value == 22));
    CHECK((fourth != nullptr && fourth->value == 4));
    CHECK(Find(&lru, 3, Clumped) == nullptr);
    LruFree(&lru, [](Item&) {});
}

TEST_CASE("lru: memory is taken when the cache is made, and a refusal leaves nothing") {
    const int64_t live = LiveAllocationCount();
    Lru<Item> lru{};
    CHECK_FALSE(LruInit(&lru, 0));
    CHECK_FALSE(LruInit(&lru, kLruMaxCapacity + 1));
    // Each of the blocks refused in turn: no cache, nothing kept, and inserting gives nothing.
    for (int64_t nth = 1;; ++nth) {
        RefuseNthAllocation(nth);
        const bool made = LruInit(&lru, 8);
        const bool allAsked = !AllocationRefusalPending();
        ResetAllocationFaults();
        if (!allAsked) {
            CHECK(made);
            break;
        }
        CAPTURE(nth);
        CHECK_FALSE(made);
        CHECK(LiveAllocationCount() == live);
        bool evicted = true;
        CHECK(LruInsert(&lru, 1, &evicted) == nullptr);
        CHECK_FALSE(evicted);
        LruFree(&lru, [](Item&) {}); // safe on a cache made in vain
    }
    // Made: filling it and giving up places never asks for memory again.
    RefuseAllocationsAbove(1);
    uint32_t gone = 0;
    for (uint32_t k = 1; k <= 100; ++k)
        CHECK(Insert(&lru, k, k, Spread, &gone) != nullptr);
    ResetAllocationFaults();
    CHECK(Order(lru) == std::vector<uint32_t>{100, 99, 98, 97, 96, 95, 94, 93});
    LruFree(&lru, [](Item&) {});
    CHECK(LiveAllocationCount() == live);
}
