// The registry's in-memory tree, shared by the kernel routines and the
// export-file reader and writer.
#pragma once

#include "host/kernel_internal.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kv::kernel::detail {

// Limits of the real registry.
inline constexpr size_t kMaximumKeyNameLength = 255;      // characters per component
inline constexpr size_t kMaximumValueNameLength = 16383;  // characters
inline constexpr size_t kMaximumKeyDepth = 512;           // keys below \REGISTRY
// Far beyond what a driver stores; keeps a wild length from exhausting the host.
inline constexpr size_t kMaximumValueData = size_t{16} << 20;

struct RegValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    Key* parent = nullptr;
    std::map<std::u16string, std::shared_ptr<Key>> children;  // by folded name
    std::vector<RegValue> values;                             // in creation order
    // Folded value name -> its place in `values`, so that a key with many
    // values is filled in linear time. Kept by SetValue and DeleteValue.
    std::unordered_map<std::u16string, size_t> valueIndex;
    bool isVolatile = false;
    bool deleted = false;

    RegValue* FindValue(std::u16string_view valueName);
    std::shared_ptr<Key> Child(std::u16string_view childName) const;
    std::shared_ptr<Key> AddChild(std::u16string_view childName, bool volatileKey);
    void SetValue(std::u16string_view valueName, ULONG type, std::vector<uint8_t> data);
    bool DeleteValue(std::u16string_view valueName);
    // Detaches this key and its whole subtree from the tree.
    void MarkDeleted();
    std::u16string Path() const;  // \REGISTRY\...
};

// The registry lock, held by every access to the tree and the handle table.
std::recursive_mutex& RegistryMutex();
std::shared_ptr<Key>& RegistryRoot();

// A fresh tree holding only the base keys.
std::shared_ptr<Key> NewBaseTree();
std::shared_ptr<Key> CloneTree(const Key& key, Key* parent);

// Splits a relative path into components; false when a component is empty
// or longer than a key name may be.
bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string>* parts);
// Walks from `from`; null when a component is missing.
std::shared_ptr<Key> Walk(const std::shared_ptr<Key>& from, const std::vector<std::u16string>& parts);
// Creates every missing component (non-volatile).
std::shared_ptr<Key> WalkCreate(const std::shared_ptr<Key>& from, const std::vector<std::u16string>& parts);

size_t OpenHandleCountLocked();

}  // namespace kv::kernel::detail
