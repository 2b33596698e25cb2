#include "soak/intel_ledger.h"

#include <limits>

IntelLedger::Slot &IntelLedger::SlotFor(uint64_t seq)
{
    const size_t chunk = seq / chunk_slots;
    while (chunks.size() <= chunk)
        chunks.push_back(std::make_unique<Chunk>());
    return (*chunks[chunk])[seq % chunk_slots];
}

void IntelLedger::Owe(uint64_t seq, uint8_t mask, uint8_t may)
{
    std::lock_guard<std::mutex> guard(lock);
    Slot &slot = SlotFor(seq);
    slot.known = true;
    slot.owed = mask;
    slot.allowed = mask | may;
    owed_pairs += static_cast<uint64_t>(__builtin_popcount(mask));
}

void IntelLedger::Received(uint64_t seq, size_t stable)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        Slot &slot = SlotFor(seq);
        stable_entries++;
        const bool owed = (slot.owed >> stable) & 1;
        if (!((slot.allowed >> stable) & 1))
            unexpected_entries++;
        else if (owed && slot.received[stable] == 0)
            delivered_owed++;
        if (slot.received[stable] < std::numeric_limits<uint8_t>::max())
            slot.received[stable]++;
    }
    changed.notify_all();
}

void IntelLedger::Id(uint64_t id)
{
    std::lock_guard<std::mutex> guard(lock);
    if (id_count == 0)
        first_id = id;
    else if (id <= last_id)
        ids_out_of_order++;
    if (run_ids++ == 0)
        run_first_id = id;
    id_count++;
    last_id = id;
}

void IntelLedger::StartRun()
{
    std::lock_guard<std::mutex> guard(lock);
    run_ids = 0;
    run_first_id = 0;
}

void IntelLedger::Other()
{
    std::lock_guard<std::mutex> guard(lock);
    other_entries++;
}

uint64_t IntelLedger::Outstanding() const
{
    std::lock_guard<std::mutex> guard(lock);
    return owed_pairs - delivered_owed;
}

bool IntelLedger::WaitOutstandingAtMost(uint64_t limit, std::chrono::milliseconds deadline) const
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, deadline, [&] { return owed_pairs - delivered_owed <= limit; });
}

IntelLedger::Figures IntelLedger::Tally() const
{
    std::lock_guard<std::mutex> guard(lock);
    Figures figures;
    figures.owed = owed_pairs;
    figures.stable = stable_entries;
    figures.other = other_entries;
    figures.unexpected = unexpected_entries;
    figures.ids = id_count;
    figures.first_id = first_id;
    figures.last_id = last_id;
    figures.ids_out_of_order = ids_out_of_order;
    figures.run_first_id = run_first_id;
    for (const auto &chunk : chunks) {
        for (const Slot &slot : *chunk) {
            if (!slot.known)
                continue;
            figures.flows++;
            for (size_t stable = 0; stable < max_stable; stable++) {
                const bool owed = (slot.owed >> stable) & 1;
                const bool allowed = (slot.allowed >> stable) & 1;
                if (owed && slot.received[stable] == 0)
                    figures.lost++;
                if (allowed && slot.received[stable] > 1)
                    figures.duplicates += slot.received[stable] - 1u;
            }
        }
    }
    return figures;
}
