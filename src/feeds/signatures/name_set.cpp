#include "feeds/signatures/name_set.h"

#include <algorithm>
#include <cstring>

namespace {

// Large enough that the per-block overhead vanishes, small enough that a
// small set wastes little.
constexpr size_t name_block_size = 256 * 1024;

}  // namespace

bool vdfNameSet::insert(std::string_view name)
{
    if (contains(name))
        return false;
    names.insert(Store(name));
    return true;
}

std::string_view vdfNameSet::Store(std::string_view text)
{
    if (text.empty())
        return std::string_view();
    if (blocks.empty() || block_size - block_used < text.size()) {
        // A name longer than a block gets a block of its own size.
        block_size = std::max(name_block_size, text.size());
        blocks.push_back(std::make_unique_for_overwrite<char[]>(block_size));
        block_used = 0;
    }
    char *stored = blocks.back().get() + block_used;
    std::memcpy(stored, text.data(), text.size());
    block_used += text.size();
    return std::string_view(stored, text.size());
}
