// What the soak owes and what it got: for every flow handed in, which of the
// stable indicators must report it, and how many times each did; plus the
// order of the event ids of every intel entry delivered.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class IntelLedger
{
public:
    // Indicators whose intel is checked exactly (bits of a flow's mask).
    static constexpr size_t max_stable = 8;

    // Records that flow seq was handed in and which stable indicators
    // (mask bits) owe it one intel entry; call before the hand-in, so that
    // its intel cannot arrive first. Those of may (a superset) may report it
    // once without owing it: a flow handed in while the plug-in stops.
    void Owe(uint64_t seq, uint8_t mask, uint8_t may);
    // One entry of stable indicator `stable` for flow seq.
    void Received(uint64_t seq, size_t stable);
    // An entry with event id id, in delivery order.
    void Id(uint64_t id);
    // An entry of any other indicator.
    void Other();
    // A new run of the plug-in begins: its first id is noted.
    void StartRun();

    // Owed entries not delivered yet.
    uint64_t Outstanding() const;
    // Waits until at most limit owed entries are outstanding; false at the
    // deadline.
    bool WaitOutstandingAtMost(uint64_t limit, std::chrono::milliseconds deadline) const;

    struct Figures {
        uint64_t flows = 0;        // flows recorded
        uint64_t owed = 0;         // (flow, stable indicator) pairs owed
        uint64_t stable = 0;       // stable entries delivered
        uint64_t other = 0;        // entries of other indicators
        uint64_t lost = 0;         // owed pairs with no entry
        uint64_t duplicates = 0;   // entries beyond the first of an owed pair
        uint64_t unexpected = 0;   // entries for a pair neither owed nor allowed
        uint64_t ids = 0;          // entries with an id
        uint64_t first_id = 0;
        uint64_t last_id = 0;
        uint64_t ids_out_of_order = 0;  // not above the id before
        uint64_t run_first_id = 0;      // the first id since StartRun
    };
    // Walks every flow; call once no more intel can arrive.
    Figures Tally() const;

private:
    struct Slot {
        uint8_t owed = 0;
        uint8_t allowed = 0;
        bool known = false;
        std::array<uint8_t, max_stable> received{};
    };
    static constexpr size_t chunk_slots = 1 << 16;
    using Chunk = std::array<Slot, chunk_slots>;

    // Grows the table to hold seq; the caller holds lock.
    Slot &SlotFor(uint64_t seq);

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<std::unique_ptr<Chunk>> chunks;
    uint64_t owed_pairs = 0;
    uint64_t delivered_owed = 0;  // first deliveries of owed pairs
    uint64_t stable_entries = 0;
    uint64_t unexpected_entries = 0;
    uint64_t other_entries = 0;
    uint64_t id_count = 0;
    uint64_t first_id = 0;
    uint64_t last_id = 0;
    uint64_t ids_out_of_order = 0;
    uint64_t run_ids = 0;
    uint64_t run_first_id = 0;
};
