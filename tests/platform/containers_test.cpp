// The hash table and the growth rule every table and growing array of the program uses: a model
// comparison under random insertions and removals (removal must keep every other key reachable),
// growth up to its limit, and refused memory leaving the table or array as it was.
#include "doctest.h"

#include <cstdint>
#include <map>
#include <random>

#include "platform/growth.h"
#include "platform/hash_table.h"
#include "platform/memory.h"

using namespace olv;

namespace {

struct Pair {
    uint32_t key;
    uint32_t value;
};

// A weak hash on purpose (the low bits of the key), so that keys pile up in long runs and
// removals have to move entries back across the end of the slots.
uint64_t Clumped(uint32_t key) {
    return key & 0xFu;
}

Pair* Find(HashTable<Pair>* t, uint32_t key, uint64_t (*hash)(uint32_t)) {
    return HashFind(t, hash(key), [key](const Pair& p) { return p.key == key; });
}

bool Put(HashTable<Pair>* t, uint32_t key, uint32_t value, uint64_t (*hash)(uint32_t),
         uint32_t maxSlots = 1u << 20) {
    Pair* p = Find(t, key, hash);
    if (p == nullptr) p = HashInsert(t, hash(key), 8, maxSlots);
    if (p == nullptr) return false;
    *p = Pair{key, value};
    return true;
}

uint64_t Spread(uint32_t key) {
    return HashNumber(key);
}

} // namespace

TEST_CASE("hash table: random insertions and removals agree with a map") {
    for (uint64_t (*hash)(uint32_t) : {Clumped, Spread}) {
        const int64_t live = LiveAllocationCount();
        HashTable<Pair> t{};
        std::map<uint32_t, uint32_t> model;
        std::mt19937 random(7);
        for (int step = 0; step < 20000; ++step) {
            const uint32_t key = random() % 300; // key 0 hashes to 0 under Clumped: stored as 1
            if (random() % 3 == 0) {
                Pair* p = Find(&t, key, hash);
                CHECK((p != nullptr) == (model.count(key) == 1));
                if (p != nullptr) HashErase(&t, p);
                model.erase(key);
            } else {
                REQUIRE(Put(&t, key, static_cast<uint32_t>(step), hash));
                model[key] = static_cast<uint32_t>(step);
            }
            if (step % 97 == 0) {
                REQUIRE(t.count == model.size());
                for (uint32_t k = 0; k < 300; ++k) {
                    const Pair* p = Find(&t, k, hash);
                    const auto m = model.find(k);
                    REQUIRE((p != nullptr) == (m != model.end()));
                    if (p != nullptr) REQUIRE(p->value == m->second);
                }
            }
        }
        CHECK(t.capacity >= 2 * t.count);
        HashClear(&t);
        CHECK(t.count == 0);
        CHECK(Find(&t, 5, hash) == nullptr);
        CHECK(Put(&t, 5, 1, hash)); // a cleared table takes entries again in the same slots
        HashFree(&t);
        CHECK(LiveAllocationCount() == live);
    }
}

TEST_CASE("hash table: growth stops at its slot limit and refused memory changes nothing") {
    HashTable<Pair> t{};
    // 16 slots at most: 8 entries, the ninth is refused, the rest stay.
    for (uint32_t k = 0; k < 8; ++k)
        REQUIRE(Put(&t, k, k, Spread, 16));
    CHECK_FALSE(Put(&t, 100, 1, Spread, 16));
    CHECK(t.count == 8);
    CHECK(t.capacity == 16);

    // The growth's block refused: still 8 entries, every one found; then the growth succeeds.
    RefuseNthAllocation(1);
    CHECK_FALSE(Put(&t, 100, 1, Spread));
    ResetAllocationFaults();
    CHECK(t.capacity == 16);
    for (uint32_t k = 0; k < 8; ++k)
        CHECK(Find(&t, k, Spread) != nullptr);
    CHECK(Put(&t, 100, 1, Spread));
    CHECK(t.capacity == 32);

    // Removing a pointer that is not in the table, or a slot already empty, does nothing.
    Pair outside{};
    HashErase(&t, &outside);
    CHECK(t.count == 9);
    HashFree(&t);

    RefuseNthAllocation(1);
    CHECK_FALSE(Put(&t, 1, 1, Spread)); // the first block refused: the table stays empty
    ResetAllocationFaults();
    CHECK((t.capacity == 0 && t.hashes == nullptr && Find(&t, 1, Spread) == nullptr));
}

TEST_CASE("growth: doubling to what is needed, the records kept, refusals change nothing") {
    const int64_t live = LiveAllocationCount();
    int32_t* values = nullptr;
    int32_t capacity = 0;
    REQUIRE(GrowArray(&values, &capacity, 0, 1, 4, 1000));
    CHECK(capacity == 4);
    for (int32_t i = 0; i < 4; ++i)
        values[i] = i + 1;
    REQUIRE(GrowArray(&values, &capacity, 4, 4, 4, 1000)); // room already: the same block
    CHECK(capacity == 4);
    REQUIRE(GrowArray(&values, &capacity, 4, 13, 4, 1000)); // doubled twice: 16
    CHECK(capacity == 16);
    CHECK((values[0] == 1 && values[3] == 4 && values[4] == 0 && values[15] == 0));

    RefuseNthAllocation(1);
    CHECK_FALSE(GrowArray(&values, &capacity, 4, 17, 4, 1000));
    ResetAllocationFaults();
    CHECK((capacity == 16 && values[3] == 4));

    // The limit: 512 is within 1000, 1024 is not, however much memory there is.
    REQUIRE(GrowArray(&values, &capacity, 4, 500, 4, 1000));
    CHECK(capacity == 512);
    CHECK_FALSE(GrowArray(&values, &capacity, 4, 513, 4, 1000));
    CHECK(capacity == 512);

    // A narrow count type clips the limit: an int8_t capacity never passes 127.
    int8_t small = 0;
    uint8_t* bytes = nullptr;
    CHECK(GrowArray(&bytes, &small, 0, 64, 1, 1000));
    CHECK_FALSE(GrowArray(&bytes, &small, 0, 65, 1, 1000));
    CHECK(small == 64);
    FreeBlock(bytes);
    FreeBlock(values);
    CHECK(LiveAllocationCount() == live);

    CHECK(GrownCapacity(0, 5, 0, 100) == 0); // no first capacity: nothing to double
    CHECK(GrownCapacity(SIZE_MAX / 2 + 1, SIZE_MAX, 1, SIZE_MAX) == 0); // would overflow
}
