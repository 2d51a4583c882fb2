// KeyTable: a chained hash table from a string key to a value.
//
// Keys are copied into the table and compared byte for byte. Values are held
// as given: a table of pointers never frees what they point to; a table of
// std::string owns its texts. The hash is h := (h * 26 + c) mod buckets over
// the name's bytes; bytes above 127 are folded back into the bucket range.
// The table has no lock of its own.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <vector>

template <class V>
struct KeyTable {
    struct Entry {
        std::string name;
        V value;
    };
    // Each bucket is its chain; the first element is the bucket head.
    std::vector<std::list<Entry>> buckets;
};

// The bucket of a name in a table of the given size.
std::size_t KeyTableHash(std::string_view name, std::size_t bucketCount);

template <class V>
bool KeyTableInit(KeyTable<V>& table, int bucketCount) {
    table.buckets.assign(bucketCount > 0 ? static_cast<std::size_t>(bucketCount) : 10, {});
    return true;
}

template <class V>
typename KeyTable<V>::Entry* KeyTableFind(KeyTable<V>& table, std::string_view name) {
    if (table.buckets.empty()) return nullptr;
    for (auto& entry : table.buckets[KeyTableHash(name, table.buckets.size())])
        if (entry.name == name) return &entry;
    return nullptr;
}

template <class V>
const typename KeyTable<V>::Entry* KeyTableFind(const KeyTable<V>& table, std::string_view name) {
    return KeyTableFind(const_cast<KeyTable<V>&>(table), name);
}

// Replaces the value of an existing name (the old value is not released when
// it is a pointer) or appends a new entry at the end of the name's chain.
template <class V>
bool KeyTablePut(KeyTable<V>& table, std::string_view name, V value) {
    if (table.buckets.empty()) return false;
    if (auto* entry = KeyTableFind(table, name)) {
        entry->value = std::move(value);
        return true;
    }
    table.buckets[KeyTableHash(name, table.buckets.size())].push_back(
        {std::string(name), std::move(value)});
    return true;
}

template <class V>
bool KeyTableHas(const KeyTable<V>& table, std::string_view name) {
    return KeyTableFind(table, name) != nullptr;
}

// The value stored under a name, or none.
template <class V>
const V* KeyTableGet(const KeyTable<V>& table, std::string_view name) {
    const auto* entry = KeyTableFind(table, name);
    return entry ? &entry->value : nullptr;
}

template <class V>
V* KeyTableGet(KeyTable<V>& table, std::string_view name) {
    auto* entry = KeyTableFind(table, name);
    return entry ? &entry->value : nullptr;
}

// Unlinks the entry; the next one in the chain becomes the head when the head goes.
template <class V>
bool KeyTableRemove(KeyTable<V>& table, std::string_view name) {
    if (table.buckets.empty()) return false;
    auto& chain = table.buckets[KeyTableHash(name, table.buckets.size())];
    for (auto it = chain.begin(); it != chain.end(); ++it) {
        if (it->name == name) {
            chain.erase(it);
            return true;
        }
    }
    return false;
}

template <class V>
std::size_t KeyTableCount(const KeyTable<V>& table) {
    std::size_t count = 0;
    for (const auto& chain : table.buckets) count += chain.size();
    return count;
}

// The names in bucket order and chain order.
template <class V>
std::vector<std::string> KeyTableKeys(const KeyTable<V>& table) {
    std::vector<std::string> keys;
    for (const auto& chain : table.buckets)
        for (const auto& entry : chain) keys.push_back(entry.name);
    return keys;
}

template <class V>
void KeyTableFree(KeyTable<V>& table) {
    for (auto& chain : table.buckets) chain.clear();
}

// Puts every key of the source that the target lacks into the target with
// the source's value; never overwrites a key the target already has.
template <class V>
bool KeyTableMerge(const KeyTable<V>& source, KeyTable<V>& target) {
    if (source.buckets.empty() || target.buckets.empty()) return false;
    for (const auto& chain : source.buckets)
        for (const auto& entry : chain)
            if (!KeyTableHas(target, entry.name)) KeyTablePut(target, entry.name, entry.value);
    return true;
}
