// The in-memory registry store.
#include <algorithm>
#include <map>
#include <unordered_map>

#include "registry_store.h"

namespace host {

std::string FoldCase(const std::string &text)
{
    std::string folded = text;
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

// Orders names as their folded forms would order, without making them: registry names
// compare case-insensitively.
struct CaseLess {
    using is_transparent = void;
    NO_ADDRESS_CHECKS bool operator()(const std::string &a, const std::string &b) const
    {
        const char *x = a.data(), *y = b.data();
        size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i) {
            if (x[i] != y[i] && FoldChar(x[i]) != FoldChar(y[i]))
                return FoldChar(x[i]) < FoldChar(y[i]);
        }
        return a.size() < b.size();
    }
};

// Hashes and compares key paths case-insensitively, for the table of keys.
struct CaseHash {
    NO_ADDRESS_CHECKS size_t operator()(const std::string &text) const
    {
        size_t hash = 14695981039346656037ull;
        const char *c = text.data();
        for (size_t i = 0, n = text.size(); i < n; ++i)
            hash = (hash ^ FoldChar(c[i])) * 1099511628211ull;
        return hash;
    }
};
struct CaseEqual {
    NO_ADDRESS_CHECKS bool operator()(const std::string &a, const std::string &b) const
    {
        if (a.size() != b.size())
            return false;
        const char *x = a.data(), *y = b.data();
        for (size_t i = a.size(); i-- > 0;) // key paths differ most often at the end
            if (x[i] != y[i] && FoldChar(x[i]) != FoldChar(y[i]))
                return false;
        return true;
    }
};

// True if `text` starts with `prefix`, ignoring case.
NO_ADDRESS_CHECKS bool StartsWithFolded(const std::string &text, const std::string &prefix)
{
    if (text.size() < prefix.size())
        return false;
    const char *x = text.data(), *y = prefix.data();
    for (size_t i = 0, n = prefix.size(); i < n; ++i)
        if (FoldChar(x[i]) != FoldChar(y[i]))
            return false;
    return true;
}

struct Key {
    std::string name; // last path component as created
    std::map<std::string, RegValue, CaseLess> values; // by name as first set
};

// Keys by full path as first created, in a hash table; lookups take the caller's string as
// it is.
class MemoryRegistry : public RegistryStore {
public:
    MemoryRegistry() { keys_[""] = Key{}; }

    bool KeyExists(const std::string &path) override { return keys_.find(path) != keys_.end(); }

    bool CreateKey(const std::string &path) override
    {
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find('\\', start);
            if (end == std::string::npos)
                end = path.size();
            std::string prefix = path.substr(0, end);
            if (keys_.find(prefix) == keys_.end())
                keys_.emplace(prefix, Key{path.substr(start, end - start), {}});
            start = end + 1;
        }
        return true;
    }

    bool GetValue(const std::string &path, const std::string &name, RegValue *value) override
    {
        auto key = keys_.find(path);
        if (key == keys_.end())
            return false;
        auto it = key->second.values.find(name);
        if (it == key->second.values.end())
            return false;
        *value = it->second;
        return true;
    }

    bool SetValue(const std::string &path, const std::string &name, const RegValue &value) override
    {
        auto key = keys_.find(path);
        if (key == keys_.end())
            return false;
        auto it = key->second.values.find(name);
        if (it == key->second.values.end())
            key->second.values.emplace(name, value);
        else
            it->second = value;
        return true;
    }

    bool DeleteValue(const std::string &path, const std::string &name) override
    {
        auto key = keys_.find(path);
        if (key == keys_.end())
            return false;
        auto it = key->second.values.find(name);
        if (it == key->second.values.end())
            return false;
        key->second.values.erase(it);
        return true;
    }

    bool DeleteKey(const std::string &path) override
    {
        auto key = keys_.find(path);
        if (path.empty() || key == keys_.end())
            return false;
        keys_.erase(key);
        std::string prefix = path + "\\";
        for (auto it = keys_.begin(); it != keys_.end();) {
            if (StartsWithFolded(it->first, prefix))
                it = keys_.erase(it);
            else
                ++it;
        }
        return true;
    }

    std::vector<std::string> SubKeys(const std::string &path) override
    {
        std::string prefix = path.empty() ? "" : path + "\\";
        std::vector<const std::pair<const std::string, Key> *> children;
        for (auto &entry : keys_)
            if (entry.first.size() > prefix.size() && StartsWithFolded(entry.first, prefix) &&
                entry.first.find('\\', prefix.size()) == std::string::npos)
                children.push_back(&entry);
        std::sort(children.begin(), children.end(),
                  [](auto *a, auto *b) { return CaseLess()(a->first, b->first); });
        std::vector<std::string> names;
        for (auto *child : children)
            names.push_back(child->second.name);
        return names;
    }

    std::vector<std::pair<std::string, RegValue>> Values(const std::string &path) override
    {
        std::vector<std::pair<std::string, RegValue>> values;
        auto key = keys_.find(path);
        if (key != keys_.end())
            for (auto &entry : key->second.values)
                values.push_back(entry);
        return values;
    }

private:
    std::unordered_map<std::string, Key, CaseHash, CaseEqual> keys_;
};

} // namespace

std::unique_ptr<RegistryStore> MakeMemoryRegistry() { return std::make_unique<MemoryRegistry>(); }

} // namespace host
