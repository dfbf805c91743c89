// The in-memory registry store.
#include <map>

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

// Orders names as their folded forms would order, without making them: registry names
// compare case-insensitively.
struct CaseLess {
    using is_transparent = void;
    bool operator()(const std::string &a, const std::string &b) const
    {
        size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i) {
            unsigned char x = FoldChar(a[i]), y = FoldChar(b[i]);
            if (x != y)
                return x < y;
        }
        return a.size() < b.size();
    }
};

// True if `text` starts with `prefix`, ignoring case.
bool StartsWithFolded(const std::string &text, const std::string &prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (FoldChar(text[i]) != FoldChar(prefix[i]))
            return false;
    return true;
}

struct Key {
    std::string name; // last path component as created
    std::map<std::string, RegValue, CaseLess> values; // by name as first set
};

// Keys by full path as first created; lookups take the caller's string as it is.
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
        for (auto it = keys_.lower_bound(prefix);
             it != keys_.end() && StartsWithFolded(it->first, prefix);)
            it = keys_.erase(it);
        return true;
    }

    std::vector<std::string> SubKeys(const std::string &path) override
    {
        std::string prefix = path.empty() ? "" : path + "\\";
        std::vector<std::string> names;
        for (auto it = keys_.lower_bound(prefix); it != keys_.end(); ++it) {
            if (!StartsWithFolded(it->first, prefix))
                break;
            if (it->first.size() > prefix.size() &&
                it->first.find('\\', prefix.size()) == std::string::npos)
                names.push_back(it->second.name);
        }
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
    std::map<std::string, Key, CaseLess> keys_;
};

} // namespace

std::unique_ptr<RegistryStore> MakeMemoryRegistry() { return std::make_unique<MemoryRegistry>(); }

} // namespace host
