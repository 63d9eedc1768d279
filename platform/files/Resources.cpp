#include "Resources.h"

#include <mutex>
#include <vector>

namespace plat {
namespace {

struct Table {
    std::mutex lock;
    std::vector<ResourceEntry> entries;
};

Table& GetTable() {
    static Table table;
    return table;
}

template <typename Match>
bool Find(const std::wstring& type, Match match, const unsigned char** data, size_t* size) {
    Table& t = GetTable();
    std::lock_guard<std::mutex> guard(t.lock);
    for (const ResourceEntry& e : t.entries) {
        if (type == e.type && match(e)) {
            if (data) *data = e.data;
            if (size) *size = e.size;
            return true;
        }
    }
    return false;
}

}  // namespace

void RegisterResources(const ResourceEntry* entries, size_t count) {
    Table& t = GetTable();
    std::lock_guard<std::mutex> guard(t.lock);
    t.entries.insert(t.entries.end(), entries, entries + count);
}

bool FindResource(const std::wstring& type, int id, const unsigned char** data, size_t* size) {
    if (id == 0) return false;
    return Find(type, [id](const ResourceEntry& e) { return e.id == id && e.name[0] == 0; }, data,
                size);
}

bool FindResource(const std::wstring& type, const std::wstring& name, const unsigned char** data,
                  size_t* size) {
    if (name.empty()) return false;
    return Find(type, [&name](const ResourceEntry& e) { return name == e.name; }, data, size);
}

}  // namespace plat
