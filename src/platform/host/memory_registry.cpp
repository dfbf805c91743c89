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

struct Key {
    std::string name; // last path component as created
    std::map<std::string, std::pair<std::string, RegValue>> values; // folded name -> (name, value)
};

class MemoryRegistry : public RegistryStore {
public:
    MemoryRegistry() { keys_[""] = Key{}; }

    bool KeyExists(const std::string &path) override { return keys_.count(FoldCase(path)) != 0; }

    bool CreateKey(const std::string &path) override
    {
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find('\\', start);
            if (end == std::string::npos)
                end = path.size();
            std::string prefix = FoldCase(path.substr(0, end));
            if (!keys_.count(prefix))
                keys_[prefix] = Key{path.substr(start, end - start), {}};
            start = end + 1;
        }
        return true;
    }

    bool GetValue(const std::string &path, const std::string &name, RegValue *value) override
    {
        auto key = keys_.find(FoldCase(path));
        if (key == keys_.end())
            return false;
        auto it = key->second.values.find(FoldCase(name));
        if (it == key->second.values.end())
            return false;
        *value = it->second.second;
        return true;
    }

    bool SetValue(const std::string &path, const std::string &name, const RegValue &value) override
    {
        auto key = keys_.find(FoldCase(path));
        if (key == keys_.end())
            return false;
        auto &slot = key->second.values[FoldCase(name)];
        if (slot.first.empty())
            slot.first = name;
        slot.second = value;
        return true;
    }

    bool DeleteValue(const std::string &path, const std::string &name) override
    {
        auto key = keys_.find(FoldCase(path));
        return key != keys_.end() && key->second.values.erase(FoldCase(name)) != 0;
    }

    bool DeleteKey(const std::string &path) override
    {
        std::string folded = FoldCase(path);
        if (folded.empty() || !keys_.erase(folded))
            return false;
        std::string prefix = folded + "\\";
        for (auto it = keys_.lower_bound(prefix); it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
            it = keys_.erase(it);
        return true;
    }

    std::vector<std::string> SubKeys(const std::string &path) override
    {
        std::string folded = FoldCase(path);
        std::string prefix = folded.empty() ? "" : folded + "\\";
        std::vector<std::string> names;
        for (auto it = keys_.lower_bound(prefix); it != keys_.end(); ++it) {
            if (it->first.compare(0, prefix.size(), prefix) != 0)
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
        auto key = keys_.find(FoldCase(path));
        if (key != keys_.end())
            for (auto &entry : key->second.values)
                values.push_back(entry.second);
        return values;
    }

private:
    std::map<std::string, Key> keys_;
};

} // namespace

std::unique_ptr<RegistryStore> MakeMemoryRegistry() { return std::make_unique<MemoryRegistry>(); }

} // namespace host
