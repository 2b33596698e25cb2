// A set of names whose text is kept in a few large blocks rather than one
// allocation per name, so that a set of a million domains stays close to the
// size of its text; lookups take a view and build no string.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

class vdfNameSet
{
public:
    using Names = std::unordered_set<std::string_view>;

    vdfNameSet() = default;
    vdfNameSet(const vdfNameSet &) = delete;
    vdfNameSet &operator=(const vdfNameSet &) = delete;

    // Adds a copy of name; false when it is there already.
    bool insert(std::string_view name);
    bool contains(std::string_view name) const { return names.count(name) != 0; }
    // Room for count names without rehashing.
    void reserve(size_t count) { names.reserve(count); }

    size_t size() const { return names.size(); }
    bool empty() const { return names.empty(); }
    Names::const_iterator begin() const { return names.begin(); }
    Names::const_iterator end() const { return names.end(); }

private:
    // Copies text into the current block, starting a new one when it is full.
    std::string_view Store(std::string_view text);

    Names names;
    std::vector<std::unique_ptr<char[]>> blocks;
    size_t block_used = 0;
    size_t block_size = 0;
};
