// A hash map that owns its values (heap objects): removing a key deletes its value.
#pragma once
#include <cstddef>
#include <type_traits>
#include <unordered_map>

namespace RYL {

template <class KEY, class ARG_KEY, class VALUE, class ARG_VALUE>
class CRylMap {
public:
    using Map = std::unordered_map<KEY, VALUE*>;

    CRylMap() = default;
    CRylMap(const CRylMap&) = delete;
    CRylMap& operator=(const CRylMap&) = delete;
    virtual ~CRylMap() { RemoveAll(); }

    size_t GetCount() const { return m_map.size(); }
    bool IsEmpty() const { return m_map.empty(); }

    bool Lookup(ARG_KEY key, VALUE*& value) const {
        auto it = m_map.find(ToKey(key));
        if (it == m_map.end()) return false;
        value = it->second;
        return true;
    }

    // Stores the value under the key; a different value stored there before is deleted.
    void SetAt(ARG_KEY key, VALUE* value) {
        VALUE*& slot = m_map[ToKey(key)];
        if (slot != value) delete slot;
        slot = value;
    }

    // Deletes the value stored under the key (when there is one), then removes the key.
    bool RemoveKey(ARG_KEY key) {
        auto it = m_map.find(ToKey(key));
        if (it == m_map.end()) return false;
        delete it->second;
        m_map.erase(it);
        return true;
    }

    void RemoveAll() {
        for (auto& entry : m_map) {
            delete entry.second;
            entry.second = nullptr;
        }
        m_map.clear();
    }

    typename Map::const_iterator begin() const { return m_map.begin(); }
    typename Map::const_iterator end() const { return m_map.end(); }

private:
    static KEY ToKey(ARG_KEY key) {
        if constexpr (std::is_pointer_v<ARG_KEY>) {
            if (!key) return KEY();
        }
        return KEY(key);
    }

    Map m_map;
};

}  // namespace RYL
