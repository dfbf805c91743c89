// The in-memory registry store.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "registry_store.h"

namespace host {

std::string FoldCase(std::string_view text)
{
    std::string folded(text);
    for (char &c : folded)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return folded;
}

namespace {

// Lower-cases one ASCII letter.
inline unsigned char FoldChar(char c)
{
    return (unsigned char)(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// The comparisons below walk long key paths on every lookup; they only read within the
// strings' sizes, so the address checks a sanitizer build would add to each byte are left
// out, as they made the comparisons most of a fuzzing run's time.
#define NO_ADDRESS_CHECKS __attribute__((no_sanitize("address")))

// True if `a` orders before `b` as their folded forms would: registry names compare
// case-insensitively.
NO_ADDRESS_CHECKS bool CaseLess(std::string_view a, std::string_view b)
{
    const char *x = a.data(), *y = b.data();
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i] && FoldChar(x[i]) != FoldChar(y[i]))
            return FoldChar(x[i]) < FoldChar(y[i]);
    }
    return a.size() < b.size();
}

// A hash of the text's length and its last eight characters, equal for texts that are equal
// ignoring case: setting bit 5 of every byte lower-cases letters (and maps some other
// characters together, which only makes a collision that the comparison settles). Sibling
// keys differ at the end, and a shared tail only costs a comparison.
NO_ADDRESS_CHECKS size_t CaseHash(std::string_view text)
{
    const uint64_t kLowerCase = 0x2020202020202020ull;
    uint64_t tail = 0;
    size_t n = text.size();
    if (n >= 8)
        memcpy(&tail, text.data() + n - 8, 8);
    else
        for (size_t i = 0; i < n; ++i)
            tail = tail << 8 | (unsigned char)text[i];
    uint64_t hash = (tail | kLowerCase) ^ (n * 0x9E3779B97F4A7C15ull);
    hash *= 0xFF51AFD7ED558CCDull;
    return (size_t)(hash ^ (hash >> 32));
}

// True if the first `n` characters of `a` and `b` are equal ignoring case. Names are mostly
// looked up as they were written, so equal runs of eight bytes are passed over at once.
NO_ADDRESS_CHECKS bool CaseEqualPrefix(const char *a, const char *b, size_t n)
{
    size_t i = 0;
    for (uint64_t x, y; i + 8 <= n; i += 8) {
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x != y)
            break;
    }
    for (; i < n; ++i)
        if (a[i] != b[i] && FoldChar(a[i]) != FoldChar(b[i]))
            return false;
    return true;
}

// True if `a` and `b` are equal ignoring case. Sibling keys differ at the end, so the last
// characters are compared first.
bool CaseEqual(std::string_view a, std::string_view b)
{
    size_t n = a.size();
    return n == b.size() && (n == 0 || FoldChar(a[n - 1]) == FoldChar(b[n - 1])) &&
           CaseEqualPrefix(a.data(), b.data(), n);
}

// True if `path` names a key below `parent` (at any depth); the root "" is above every key.
bool IsBelow(std::string_view path, std::string_view parent)
{
    if (parent.empty())
        return !path.empty();
    return path.size() > parent.size() && path[parent.size()] == '\\' &&
           CaseEqualPrefix(path.data(), parent.data(), parent.size());
}

struct Value {
    std::string name; // as first set
    RegValue value;
    bool live = false;
};

struct Key {
    std::string path;     // full path as first created
    size_t nameStart = 0; // where its last component starts in `path`
    size_t hash = 0;      // CaseHash(path)
    bool live = false;
    std::vector<Value> values; // in no order; dead entries are reused
};

// Slots of the last registry discarded. A machine reset discards its registry and makes a
// new one on every fuzzing input; taking over these slots, whose strings and buffers keep
// their room, lets the new registry fill itself without allocating. Never destroyed, so that
// a registry discarded during the process's exit still finds it.
std::mutex g_spareLock;
std::vector<Key> *g_spare = new std::vector<Key>();

// Keys in a table of slots, found by hash and comparison: a registry holds a few dozen keys,
// and a deleted key's slot, with its strings and values, is reused by the next key created,
// so that the steady state allocates nothing.
class MemoryRegistry : public RegistryStore {
public:
    MemoryRegistry()
    {
        {
            std::lock_guard<std::mutex> guard(g_spareLock);
            keys_.swap(*g_spare);
        }
        for (Key &key : keys_)
            key.live = false;
        Add("", 0);
    }

    ~MemoryRegistry() override
    {
        std::lock_guard<std::mutex> guard(g_spareLock);
        if (keys_.size() > g_spare->size())
            keys_.swap(*g_spare);
    }

    bool KeyExists(std::string_view path) override { return Find(path) != nullptr; }

    bool CreateKey(std::string_view path) override
    {
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find('\\', start);
            if (end == std::string_view::npos)
                end = path.size();
            if (!Find(path.substr(0, end)))
                Add(path.substr(0, end), start);
            start = end + 1;
        }
        return true;
    }

    bool GetValue(std::string_view path, std::string_view name, RegValue *value) override
    {
        return FindValue(path, name, value) == Lookup::Found;
    }

    Lookup FindValue(std::string_view path, std::string_view name, RegValue *value) override
    {
        Key *key = Find(path);
        if (!key)
            return Lookup::NoKey;
        Value *found = FindIn(key, name);
        if (!found)
            return Lookup::NoValue;
        *value = found->value;
        return Lookup::Found;
    }

    bool SetValue(std::string_view path, std::string_view name, const RegValue &value) override
    {
        Key *key = Find(path);
        if (!key)
            return false;
        Value *slot = FindIn(key, name);
        if (!slot) {
            for (Value &v : key->values)
                if (!v.live) {
                    slot = &v;
                    break;
                }
            if (!slot)
                slot = &key->values.emplace_back();
            slot->name.assign(name);
            slot->live = true;
        }
        slot->value = value;
        return true;
    }

    bool DeleteValue(std::string_view path, std::string_view name) override
    {
        Key *key = Find(path);
        Value *value = key ? FindIn(key, name) : nullptr;
        if (!value)
            return false;
        value->live = false;
        return true;
    }

    bool DeleteKey(std::string_view path) override
    {
        Key *key = path.empty() ? nullptr : Find(path);
        if (!key)
            return false;
        key->live = false;
        for (Key &other : keys_)
            if (other.live && IsBelow(other.path, path))
                other.live = false;
        return true;
    }

    std::vector<std::string> SubKeys(std::string_view path) override
    {
        size_t childStart = path.empty() ? 0 : path.size() + 1;
        std::vector<const Key *> children;
        for (const Key &key : keys_)
            if (key.live && IsBelow(key.path, path) &&
                key.path.find('\\', childStart) == std::string::npos)
                children.push_back(&key);
        std::sort(children.begin(), children.end(),
                  [](const Key *a, const Key *b) { return CaseLess(a->path, b->path); });
        std::vector<std::string> names;
        for (const Key *child : children)
            names.push_back(child->path.substr(child->nameStart));
        return names;
    }

    std::vector<std::pair<std::string, RegValue>> Values(std::string_view path) override
    {
        std::vector<std::pair<std::string, RegValue>> values;
        if (Key *key = Find(path))
            for (const Value &v : key->values)
                if (v.live)
                    values.emplace_back(v.name, v.value);
        std::sort(values.begin(), values.end(),
                  [](const auto &a, const auto &b) { return CaseLess(a.first, b.first); });
        return values;
    }

private:
    // The live key at `path`; null if none. Callers look up the same key many times in a
    // row (open it, then read its values), so the key found last is tried first.
    NO_ADDRESS_CHECKS Key *Find(std::string_view path)
    {
        if (last_ < keys_.size() && keys_[last_].live && CaseEqual(keys_[last_].path, path))
            return &keys_[last_];
        size_t hash = CaseHash(path);
        for (size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i].live && keys_[i].hash == hash && CaseEqual(keys_[i].path, path)) {
                last_ = i;
                return &keys_[i];
            }
        return nullptr;
    }

    // The live value of `key` called `name`; null if none.
    NO_ADDRESS_CHECKS static Value *FindIn(Key *key, std::string_view name)
    {
        for (Value &v : key->values)
            if (v.live && CaseEqual(v.name, name))
                return &v;
        return nullptr;
    }

    // Makes a key with no values at `path` in a free slot; its name starts at `nameStart`.
    void Add(std::string_view path, size_t nameStart)
    {
        Key *slot = nullptr;
        for (Key &key : keys_)
            if (!key.live) {
                slot = &key;
                break;
            }
        if (!slot)
            slot = &keys_.emplace_back();
        slot->path.assign(path);
        slot->nameStart = nameStart;
        slot->hash = CaseHash(path);
        slot->live = true;
        for (Value &v : slot->values)
            v.live = false;
    }

    std::vector<Key> keys_;
    size_t last_ = 0; // index of the key Find found last
};

} // namespace

std::unique_ptr<RegistryStore> MakeMemoryRegistry() { return std::make_unique<MemoryRegistry>(); }

} // namespace host
