// Bitwise radix tree of network prefixes: the IPv4/IPv6 prefix key and the container that
// answers which stored prefix is the longest one containing an address.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "vd_addr.h"
#include "vd_common.h"

#include "feeds/radix/node_arena.h"

// Bit storage of an N-bit key: a compact form held in keys and nodes, and a wide unsigned
// integer all arithmetic is done in. Position 0 is the most significant bit.
template <std::size_t N> struct vdRadixBits;

template <> struct vdRadixBits<32> {
    using storage = uint32_t;
    using wide = uint32_t;
    static wide load(storage bits) { return bits; }
    static storage store(wide bits) { return bits; }
    static int leading_zeros(wide bits) { return std::countl_zero(bits); }
};

template <> struct vdRadixBits<128> {
    // Two words, most significant first: 8-byte alignment keeps keys and nodes small, and the
    // array's own ordering is the numeric one.
    using storage = std::array<uint64_t, 2>;
    using wide = unsigned __int128;
    static wide load(const storage &bits) { return (wide(bits[0]) << 64) | bits[1]; }
    static storage store(wide bits) { return {uint64_t(bits >> 64), uint64_t(bits)}; }
    static int leading_zeros(wide bits)
    {
        const auto high = uint64_t(bits >> 64);
        return high != 0 ? std::countl_zero(high) : 64 + std::countl_zero(uint64_t(bits));
    }
};

// An N-bit network prefix (N = 32 for IPv4, 128 for IPv6): the address as a big-endian
// number and the count of significant leading bits. Also the tree's sub-keys (edge labels).
template <std::size_t N> struct vdRadixNetworkEntry {
    static_assert(N == 32 || N == 128, "radix keys are IPv4 (32) or IPv6 (128) prefixes");

    using bits_type = vdRadixBits<N>;
    using bits_storage = typename bits_type::storage;
    using wide = typename bits_type::wide;
    static constexpr std::size_t width = N;

    bits_storage addr{};      // the prefix bits; zero beyond prefix_len when made here
    uint16_t prefix_len = 0;  // significant leading positions

    wide bits() const { return bits_type::load(addr); }
    std::size_t length() const { return prefix_len; }
    // The bit at a position, 0 being the most significant; false past the last position.
    bool operator[](std::size_t position) const { return position < N && bit_of(bits(), position); }

    friend bool operator==(const vdRadixNetworkEntry &, const vdRadixNetworkEntry &) = default;
    // Numeric order of the bits; on equal bits the shorter prefix first.
    friend bool operator<(const vdRadixNetworkEntry &a, const vdRadixNetworkEntry &b)
    {
        return a.addr != b.addr ? a.bits() < b.bits() : a.prefix_len < b.prefix_len;
    }

    // Mask of the first `count` positions (count <= N).
    static wide top_mask(std::size_t count) { return count == 0 ? wide(0) : wide(~wide(0)) << (N - count); }
    static bool bit_of(wide bits, std::size_t position) { return ((bits >> (N - 1 - position)) & 1) != 0; }

    static vdRadixNetworkEntry FromBits(wide bits, std::size_t length)
    {
        return {bits_type::store(bits & top_mask(length)), static_cast<uint16_t>(length)};
    }

    // Key of a stored prefix: the address with the bits past its prefix length cleared; a
    // length of 0 (none given) means the full length. False, after a debug line, when the
    // address is not of this key's family or the length is too long.
    static bool Create(vdRadixNetworkEntry &entry, const vdAddr &address)
    {
        if (!OfThisFamily(address)) {
            vd_dprintf("Invalid radix address.\n");
            return false;
        }
        return CreateFromBits(entry, AddressBits(address), address.prefix_length);
    }

    // Key of a lookup: the whole address, full length.
    static bool CreateQuery(vdRadixNetworkEntry &entry, const vdAddr &address)
    {
        if (!OfThisFamily(address)) {
            vd_dprintf("Invalid radix address.\n");
            return false;
        }
        entry = FromBits(AddressBits(address), N);
        return true;
    }

    // IPv4 key of a stored prefix from a host-order address and a length (0 means 32), as
    // Create does for a parsed address.
    static bool CreateIPv4(vdRadixNetworkEntry &entry, uint32_t address_host_order,
                           unsigned prefix_length) requires(N == 32)
    {
        return CreateFromBits(entry, address_host_order, prefix_length);
    }

    // IPv4 lookup key of a host-order address.
    static vdRadixNetworkEntry QueryIPv4(uint32_t address_host_order) requires(N == 32)
    {
        return FromBits(address_host_order, N);
    }

private:
    static bool OfThisFamily(const vdAddr &address)
    {
        return address.family == (N == 32 ? vdAddr::ipv4 : vdAddr::ipv6);
    }

    static wide AddressBits(const vdAddr &address)
    {
        if constexpr (N == 32) {
            return address.GetIPv4();
        } else {
            wide bits = 0;
            for (uint8_t byte : address.addr.bytes)
                bits = (bits << 8) | byte;
            return bits;
        }
    }

    static bool CreateFromBits(vdRadixNetworkEntry &entry, wide bits, unsigned prefix_length)
    {
        const std::size_t length = prefix_length == 0 ? N : prefix_length;
        if (length > N) {
            vd_dprintf("Invalid radix address prefix length.\n");
            return false;
        }
        entry = FromBits(bits, length);
        return true;
    }
};

// The sub-key of `num` positions starting at `begin`, moved to position 0, with length `num`.
// Positions past the end of the key's bits read as zero.
template <std::size_t N>
vdRadixNetworkEntry<N> radix_substr(const vdRadixNetworkEntry<N> &entry, std::size_t begin, std::size_t num)
{
    using Entry = vdRadixNetworkEntry<N>;
    const std::size_t length = num < N ? num : N;
    const typename Entry::wide shifted = begin < N ? entry.bits() << begin : 0;
    return Entry::FromBits(shifted, length);
}

// A node of the tree. Nodes and stored pairs live in the tree's own stores and refer to each
// other by 32-bit index; a node has at most three children, kept in fixed slots in the order
// the comparator gives them: the leaf under the empty key (the stored key that ends at this
// node, an index into the stored pairs), then the edge whose first bit is 0, then the edge
// whose first bit is 1.
template <typename K, typename T, typename Compare> struct radix_tree_node {
    static constexpr uint32_t none = UINT32_MAX;
    static constexpr std::size_t leaf_slot = 0;
    static_assert(K::width <= UINT8_MAX, "depths are kept in 8 bits");

    // Positions 0 to depth + key_len - 1 shared by every key below this node, zero beyond:
    // the labels of all edges from the root down to and including this node's.
    typename K::bits_storage path{};
    std::array<uint32_t, 3> children{none, none, none};
    uint8_t depth = 0;    // positions consumed above this node's edge
    uint8_t key_len = 0;  // the length of this node's edge

    std::size_t end() const { return std::size_t(depth) + key_len; }
    bool has_leaf() const { return children[leaf_slot] != none; }
    static std::size_t edge_slot(bool first_bit) { return first_bit ? 2 : 1; }
    // The edge label: the edge's bits moved to position 0, with the edge's length.
    K key() const { return radix_substr(K{path, uint16_t(K::width)}, depth, key_len); }
};

// A radix tree over bit-string keys (vdRadixNetworkEntry) answering longest-prefix matches.
// Nothing is removed; the tree is dropped whole. Nodes refer to each other by index, not by
// pointer, so copying, moving and destroying a tree are flat loops over its stores (nodes,
// stored pairs, jump index), never a recursion down the levels. Stored pairs never move:
// references and iterators stay valid while the tree grows. No locks: const lookups may run
// together, any insertion needs the tree to itself.
template <typename K, typename T, typename Compare = std::less<K>> class radix_tree
{
public:
    using key_type = K;
    using mapped_type = T;
    using value_type = std::pair<const K, T>;
    using size_type = std::size_t;
    using key_compare = Compare;
    using node_type = radix_tree_node<K, T, Compare>;
    // Stored keys from which lookups use a jump index over 16 positions (512 KiB) after those
    // all keys share; it widens by a position each time the keys double, up to 20, keeping
    // to at most 4 entries of 8 bytes per key.
    static constexpr size_type jump_index_threshold = 16384;

    // Designates a stored pair (a leaf); the end iterator designates nothing.
    template <bool is_const> class basic_iterator
    {
    public:
        using value_type = std::conditional_t<is_const, const radix_tree::value_type, radix_tree::value_type>;
        using reference = value_type &;
        using pointer = value_type *;

        basic_iterator() = default;
        explicit basic_iterator(pointer leaf) : leaf(leaf) {}
        operator basic_iterator<true>() const { return basic_iterator<true>(leaf); }

        reference operator*() const { return *leaf; }
        pointer operator->() const { return leaf; }
        friend bool operator==(const basic_iterator &, const basic_iterator &) = default;

    private:
        pointer leaf = nullptr;
    };
    using iterator = basic_iterator<false>;
    using const_iterator = basic_iterator<true>;

    radix_tree() = default;
    explicit radix_tree(const Compare &compare) : compare(compare) {}

    size_type size() const { return values.size(); }
    bool empty() const { return values.empty(); }
    iterator end() { return iterator(); }
    const_iterator end() const { return const_iterator(); }
    key_compare key_comp() const { return compare; }
    // Nodes allocated, the root included (leaves are stored pairs, not nodes).
    size_type node_count() const { return nodes.size(); }

    // Stores a key with its value. False, with the stored one, when the key is there already
    // (its value unchanged). Throws std::invalid_argument for a key longer than N bits.
    std::pair<iterator, bool> insert(const value_type &value)
    {
        return insert_with(value.first, [&] { return value; });
    }
    std::pair<iterator, bool> insert(value_type &&value)
    {
        const K key = value.first;
        return insert_with(key, [&] { return std::move(value); });
    }

    // The value of a stored key, storing the key with a default value first when absent.
    T &operator[](const K &key)
    {
        return insert_with(key, [&] { return value_type(key, T()); }).first->second;
    }

    // The stored key equal to `key`, or end().
    iterator find(const K &key) { return iterator(const_cast<value_type *>(find_pair(key))); }
    const_iterator find(const K &key) const { return const_iterator(find_pair(key)); }

    // The longest stored key that is a prefix of `key` (the first `prefix_len` positions of
    // both agree), or end().
    iterator longest_match(const K &key) { return iterator(const_cast<value_type *>(match_pair(key))); }
    const_iterator longest_match(const K &key) const { return const_iterator(match_pair(key)); }

    // The root node; null while the tree is empty.
    node_type *root() { return nodes.empty() ? nullptr : &nodes.front(); }
    const node_type *root() const { return nodes.empty() ? nullptr : &nodes.front(); }

    // The descent shared by the operations above, from `node` whose path the key matches up
    // to `depth`. Returns the node where the key ends or that has no edge for the key's next
    // bit (its path a prefix of the key), or else the child whose edge the key leaves or ends
    // inside. The key is stored when the result's end() equals the key's length and it has a
    // leaf.
    node_type *find_node(const K &key, node_type *node, int32_t depth)
    {
        return const_cast<node_type *>(std::as_const(*this).find_node(key, node, depth));
    }
    const node_type *find_node(const K &key, const node_type *node, int32_t depth) const
    {
        if (node == nullptr || depth < 0)
            return node;
        return &nodes[descend(key, position_of(*node).node, std::size_t(depth)).node];
    }

    // The two ways insert attaches a new leaf. append: below `parent`, whose path the key
    // matches whole. prepend: splitting the edge of `node`, which the key leaves or ends
    // inside. Called directly they check that the key belongs there (std::invalid_argument,
    // or std::runtime_error "overlapping network detected" for a key that does not split
    // `node`'s edge); a key already stored is not stored twice (std::invalid_argument).
    iterator append(node_type *parent, const value_type &value)
    {
        check_key(value.first);
        if (parent == nullptr || !path_matches(*parent, value.first.bits(), value.first.length()))
            throw std::invalid_argument("radix tree: append below a node the key does not pass through");
        return iterator(&values[appended(position_of(*parent).node, value.first, [&] { return value; })]);
    }
    iterator prepend(node_type *node, const value_type &value)
    {
        check_key(value.first);
        const descent_end where = node == nullptr ? descent_end{none, none, false} : position_of(*node);
        if (where.parent == none || value.first.length() <= node->depth ||
            !path_matches(nodes[where.parent], value.first.bits(), value.first.length()))
            throw std::invalid_argument("radix tree: prepend at a node the key does not reach");
        return iterator(&values[prepended(where, value.first, [&] { return value; })]);
    }

private:
    static constexpr uint32_t none = node_type::none;
    using wide = typename K::wide;

    // Where a descent stopped, and the node above: `matched` when the node's whole path is a
    // prefix of the key.
    struct descent_end {
        uint32_t node;
        uint32_t parent;
        bool matched;
    };

    static void check_key(const K &key)
    {
        if (key.length() > K::width)
            throw std::invalid_argument("radix tree: key longer than its address");
    }

    static bool path_matches(const node_type &node, wide bits, std::size_t length)
    {
        return node.end() <= length && ((bits ^ K::bits_type::load(node.path)) & K::top_mask(node.end())) == 0;
    }

    // A node's index and its parent's, found by following the node's own path from the root.
    // Throws std::invalid_argument for a node of another tree.
    descent_end position_of(const node_type &node) const
    {
        const wide path = K::bits_type::load(node.path);
        descent_end where{0, none, true};
        while (!nodes.empty() && &nodes[where.node] != &node && nodes[where.node].end() < node.end()) {
            const uint32_t child =
                nodes[where.node].children[node_type::edge_slot(K::bit_of(path, nodes[where.node].end()))];
            if (child == none)
                break;
            where = {child, where.node, true};
        }
        if (nodes.empty() || &nodes[where.node] != &node)
            throw std::invalid_argument("radix tree: a node of another tree");
        return where;
    }

    // An edge is taken only when the key reaches the edge's end and agrees with it all along:
    // a key that ends inside an edge stops there, so that a shorter prefix stored after a
    // longer one splits the edge at its own end.
    descent_end descend(const K &key, uint32_t index, std::size_t depth) const
    {
        const wide bits = key.bits();
        const std::size_t length = key.length();
        uint32_t parent = none;
        for (;;) {
            if (depth >= length)
                return {index, parent, true};
            const uint32_t child = nodes[index].children[node_type::edge_slot(K::bit_of(bits, depth))];
            if (child == none)
                return {index, parent, true};
            const node_type &next = nodes[child];
            if (!path_matches(next, bits, length))
                return {child, index, false};
            parent = index;
            index = child;
            depth = next.end();
        }
    }

    const value_type *find_pair(const K &key) const
    {
        if (nodes.empty() || key.length() > K::width)
            return nullptr;
        const descent_end stop = descend(key, 0, 0);
        const node_type &node = nodes[stop.node];
        if (!stop.matched || node.end() != key.length() || !node.has_leaf())
            return nullptr;
        return &values[node.children[node_type::leaf_slot]];
    }

    // The descent again, remembering the deepest leaf met on the way: the leaves hanging
    // from the nodes whose paths the key matches are exactly the stored prefixes of the key,
    // so this is the answer a walk back up through the ancestors would find.
    const value_type *match_pair(const K &key) const
    {
        if (nodes.empty() || key.length() > K::width)
            return nullptr;
        const wide bits = key.bits();
        const std::size_t length = key.length();
        uint32_t best = none;
        const node_type *node = &nodes.front();
        if (jumps.bits != 0 && length >= jumps.skip + jumps.bits &&
            ((bits ^ K::bits_type::load(jumps.skip_path)) & K::top_mask(jumps.skip)) == 0) {
            const jump_entry &jump = jumps.entries[jump_index(bits)];
            best = jump.best;
            node = &nodes[jump.node];
        }
        for (;;) {
            if (node->has_leaf())
                best = node->children[node_type::leaf_slot];
            if (node->end() >= length)
                break;
            const uint32_t child = node->children[node_type::edge_slot(K::bit_of(bits, node->end()))];
            if (child == none || !path_matches(nodes[child], bits, length))
                break;
            node = &nodes[child];
        }
        return best == none ? nullptr : &values[best];
    }

    template <typename Make> std::pair<iterator, bool> insert_with(const K &key, Make &&make)
    {
        check_key(key);
        if (nodes.empty())
            nodes.emplace_back();
        const descent_end stop = descend(key, 0, 0);
        const node_type &node = nodes[stop.node];
        if (stop.matched && node.end() == key.length() && node.has_leaf())
            return {iterator(&values[node.children[node_type::leaf_slot]]), false};
        const uint32_t leaf = stop.matched ? appended(stop.node, key, make) : prepended(stop, key, make);
        return {iterator(&values[leaf]), true};
    }

    // append_at and prepend_at, then the jump index brought up to date below the highest
    // node that is new (the new edge, or the split node) or got the leaf.
    template <typename Make> uint32_t appended(uint32_t parent_index, const K &key, Make &&make)
    {
        const std::size_t first_new = nodes.size();
        const uint32_t leaf = append_at(parent_index, key, make);
        update_jumps(first_new < nodes.size() ? uint32_t(first_new) : parent_index);
        return leaf;
    }
    template <typename Make> uint32_t prepended(const descent_end &where, const K &key, Make &&make)
    {
        const std::size_t first_new = nodes.size();
        const uint32_t leaf = prepend_at(where, key, make);
        update_jumps(uint32_t(first_new));
        return leaf;
    }

    // The jump index: for each value of the `bits` positions after the `skip` positions all
    // stored keys share, the deepest node whose path is a prefix of them (ending within them)
    // and the deepest leaf on the way there. Lookups that agree with the shared positions
    // start there instead of at the root, skipping the levels every lookup walks. Built once
    // the tree is large enough for its size to pay off, rebuilt wider as the tree doubles or
    // when the shared positions change, and kept current by refilling the range below each
    // node changed within the indexed positions.
    struct jump_entry {
        uint32_t node;
        uint32_t best;
    };
    static constexpr unsigned min_jump_bits = 16, max_jump_bits = K::width < 20 ? unsigned(K::width) : 20;

    // Empty, with 0 bits, below jump_index_threshold keys; a moved-from table is empty too.
    struct jump_table {
        std::vector<jump_entry> entries;
        unsigned bits = 0;
        unsigned skip = 0;
        typename K::bits_storage skip_path{};  // the shared positions, zero beyond skip

        jump_table() = default;
        jump_table(const jump_table &) = default;
        jump_table &operator=(const jump_table &) = default;
        jump_table(jump_table &&other) noexcept { *this = std::move(other); }
        jump_table &operator=(jump_table &&other) noexcept
        {
            entries = std::move(other.entries);
            bits = std::exchange(other.bits, 0);
            skip = other.skip;
            skip_path = other.skip_path;
            return *this;
        }
    };

    std::size_t jump_index(wide bits) const { return std::size_t((bits << jumps.skip) >> (K::width - jumps.bits)); }

    // The root's only child when the root holds no leaf: every stored key passes its edge.
    uint32_t shared_node() const
    {
        const node_type &root = nodes.front();
        const uint32_t zero = root.children[1], one = root.children[2];
        if (root.has_leaf() || (zero != none) == (one != none))
            return none;
        return zero != none ? zero : one;
    }

    // The positions the index skips for `bits` indexed ones.
    unsigned wanted_skip(unsigned bits) const
    {
        const uint32_t shared = shared_node();
        return shared == none ? 0 : unsigned(std::min<std::size_t>(nodes[shared].end(), K::width - bits));
    }

    // floor(log2(4 * keys)) within the bounds, or 0 (no index) for a small tree.
    static unsigned wanted_jump_bits(size_type keys)
    {
        if (keys < jump_index_threshold)
            return 0;
        const auto bits = unsigned(std::bit_width(uint64_t(keys) * 4)) - 1;
        return std::clamp(bits, min_jump_bits, max_jump_bits);
    }

    void update_jumps(uint32_t changed)
    {
        const unsigned wanted = wanted_jump_bits(size());
        if (wanted > jumps.bits || (jumps.bits != 0 && wanted_skip(jumps.bits) != jumps.skip)) {
            rebuild_jumps(std::max(wanted, jumps.bits));
        } else if (jumps.bits != 0 && nodes[changed].end() <= jumps.skip + jumps.bits) {
            fill_jumps(changed, leaf_above(changed));
        }
    }

    void rebuild_jumps(unsigned bits)
    {
        if (bits != jumps.bits) {
            try {
                std::vector<jump_entry> fresh(std::size_t(1) << bits, jump_entry{0, none});
                jumps.entries.swap(fresh);
                jumps.bits = bits;
            } catch (const std::bad_alloc &) {
                if (jumps.bits == 0)
                    return;  // lookups work without the index, or with the narrower one
            }
        }
        jumps.skip = wanted_skip(jumps.bits);
        const uint32_t shared = shared_node();
        jumps.skip_path = shared == none ? typename K::bits_storage{} : nodes[shared].path;
        fill_jumps(0, none);
    }

    // The deepest leaf hanging above a node, on its path from the root.
    uint32_t leaf_above(uint32_t target) const
    {
        const wide path = K::bits_type::load(nodes[target].path);
        uint32_t best = none;
        for (uint32_t index = 0; index != target;) {
            const node_type &node = nodes[index];
            if (node.has_leaf())
                best = node.children[node_type::leaf_slot];
            index = node.children[node_type::edge_slot(K::bit_of(path, node.end()))];
        }
        return best;
    }

    // Points the node's whole range at it, then the children's ranges at them; a node ending
    // within the skipped positions owns every entry. Recursion depth is at most the indexed
    // positions + 2: every level ends deeper, none past them.
    void fill_jumps(uint32_t index, uint32_t best)
    {
        const node_type &node = nodes[index];
        if (node.has_leaf())
            best = node.children[node_type::leaf_slot];
        const std::size_t indexed_end = jumps.skip + jumps.bits;
        const std::size_t first = node.end() <= jumps.skip ? 0 : jump_index(K::bits_type::load(node.path));
        const std::size_t count = std::size_t(1) << (indexed_end - std::max<std::size_t>(node.end(), jumps.skip));
        std::fill_n(jumps.entries.begin() + std::ptrdiff_t(first), count, jump_entry{index, best});
        for (std::size_t slot : {std::size_t(1), std::size_t(2)}) {
            const uint32_t child = node.children[slot];
            if (child != none && nodes[child].end() <= indexed_end)
                fill_jumps(child, best);
        }
    }

    // Stores the pair and `extra_nodes` fresh nodes, or nothing when an allocation fails.
    template <typename Make> uint32_t store_pair(Make &make, std::size_t extra_nodes)
    {
        if (values.size() >= none || nodes.size() + extra_nodes >= none)
            throw std::length_error("radix tree: too many entries");
        values.emplace_back(make());
        const std::size_t nodes_before = nodes.size();
        try {
            for (std::size_t i = 0; i < extra_nodes; ++i)
                nodes.emplace_back();
        } catch (...) {
            while (nodes.size() > nodes_before)
                nodes.pop_back();
            values.pop_back();
            throw;
        }
        return uint32_t(values.size() - 1);
    }

    // Attaches the key below `parent_index`, whose path the key matches whole: as its leaf
    // when the key ends there, else through a new edge carrying the rest of the key.
    template <typename Make> uint32_t append_at(uint32_t parent_index, const K &key, Make &&make)
    {
        const std::size_t start = nodes[parent_index].end();
        const std::size_t rest = key.length() - start;
        const bool first_bit = rest > 0 && K::bit_of(key.bits(), start);
        const uint32_t slot = rest == 0 ? node_type::leaf_slot : node_type::edge_slot(first_bit);
        if (nodes[parent_index].children[slot] != none)
            throw std::invalid_argument("radix tree: append where the key's place is taken");
        const std::size_t first_new = nodes.size();
        const uint32_t leaf = store_pair(make, rest == 0 ? 0 : 1);
        if (rest == 0) {
            nodes[parent_index].children[node_type::leaf_slot] = leaf;
            return leaf;
        }
        node_type &edge = nodes[first_new];
        edge.path = K::FromBits(key.bits(), key.length()).addr;
        edge.depth = uint8_t(start);
        edge.key_len = uint8_t(rest);
        edge.children[node_type::leaf_slot] = leaf;
        nodes[parent_index].children[slot] = uint32_t(first_new);
        return leaf;
    }

    // Splits the edge of `node_index` where the key leaves it or ends: a new node A takes the
    // shared part, the old node keeps the remainder below A, and the key's leaf hangs from A
    // (the key ends there) or from a new edge B below A with the key's remaining bits.
    template <typename Make> uint32_t prepend_at(const descent_end &where, const K &key, Make &&make)
    {
        const uint32_t node_index = where.node;
        const node_type &old = nodes[node_index];
        const wide bits = key.bits();
        const std::ptrdiff_t edge_len = old.key_len;
        const std::ptrdiff_t key_rest = std::ptrdiff_t(key.length()) - old.depth;
        const wide differing = (bits ^ K::bits_type::load(old.path)) << old.depth;
        const std::ptrdiff_t agreed =
            std::min<std::ptrdiff_t>({K::bits_type::leading_zeros(differing), edge_len, key_rest});
        // The descent never stops on an edge whose first bit differs from the key's, nor on
        // one the key matches whole.
        if (agreed <= 0 || agreed >= edge_len || where.parent == none)
            throw std::runtime_error("overlapping network detected");
        const bool ends_at_split = agreed == key_rest;
        const std::size_t first_new = nodes.size();
        const uint32_t leaf = store_pair(make, ends_at_split ? 1 : 2);

        node_type &split = nodes[first_new];
        node_type &shortened = nodes[node_index];
        const std::size_t split_end = shortened.depth + std::size_t(agreed);
        split.path = K::FromBits(K::bits_type::load(shortened.path), split_end).addr;
        split.depth = shortened.depth;
        split.key_len = uint8_t(agreed);
        nodes[where.parent].children[node_type::edge_slot(K::bit_of(bits, split.depth))] = uint32_t(first_new);

        shortened.depth = uint8_t(split_end);
        shortened.key_len = uint8_t(edge_len - agreed);
        split.children[node_type::edge_slot(K::bit_of(K::bits_type::load(shortened.path), split_end))] = node_index;

        if (ends_at_split) {
            split.children[node_type::leaf_slot] = leaf;
            return leaf;
        }
        node_type &branch = nodes[first_new + 1];
        branch.path = K::FromBits(bits, key.length()).addr;
        branch.depth = uint8_t(split_end);
        branch.key_len = uint8_t(key.length() - split_end);
        branch.children[node_type::leaf_slot] = leaf;
        split.children[node_type::edge_slot(K::bit_of(bits, split_end))] = uint32_t(first_new + 1);
        return leaf;
    }

    radix_node_arena<node_type> nodes;  // nodes[0] is the root once anything is stored
    jump_table jumps;
    std::deque<value_type> values;  // the stored pairs, in insertion order; leaves by index
    [[no_unique_address]] Compare compare{};
};
