// Resources embedded into the program's own file, keyed by type and name or integer id.
#pragma once
#include <cstddef>
#include <string>

namespace plat {

struct ResourceEntry {
    const wchar_t* type;       // e.g. L"APK", L"BITMAP", L"ICON"
    const wchar_t* name;       // empty for a resource known by its integer id
    int id;                    // 0 for a named resource
    const unsigned char* data;
    size_t size;
};

// Called by the sources that zelk_add_resources() generates, before main().
void RegisterResources(const ResourceEntry* entries, size_t count);

// The resource of the type with that integer id or name; false when there is none.
bool FindResource(const std::wstring& type, int id, const unsigned char** data, size_t* size);
bool FindResource(const std::wstring& type, const std::wstring& name, const unsigned char** data,
                  size_t* size);

}  // namespace plat
