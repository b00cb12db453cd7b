// The simulated registry's model: the key tree of a machine (sim::Registry,
// RegKey), its lookups and changes, as tests and images build it and as the
// ADVAPI32 functions (sim_advapi.cpp) work on it. Key and value names are
// Unicode (UTF-8), compare case-insensitively and keep the case they were
// created with; each key keeps its subkeys both sorted and in the order they
// were stored.
#include "platform/sim/sim_internal.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <stdexcept>

namespace sim {

// ---------------------------------------------------------------- KeyStore

namespace {

constexpr size_t kFullBlock = size_t{2} << 20;

// A block of memory for the store. A full-size one (2 MiB or more) is mapped
// on its own and offered to the kernel for huge pages: a large export's keys
// and lists take tens of megabytes, and faulting them in 4 KiB at a time
// costs as much as building them (Linux hosts; where the advice is off the
// block is an ordinary mapping). A smaller one comes from the heap.
struct Block {
    char* bytes = nullptr;
    size_t size = 0;
    bool mapped = false;
};

Block NewBlock(size_t size) {
    Block block;
    block.size = size;
    if (size >= kFullBlock) {
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped != MAP_FAILED) {
            madvise(mapped, size, MADV_HUGEPAGE);
            block.bytes = static_cast<char*>(mapped);
            block.mapped = true;
            return block;
        }
    }
    block.bytes = static_cast<char*>(::operator new(size));
    return block;
}

void FreeBlock(const Block& block) {
    if (block.mapped) munmap(block.bytes, block.size);
    else ::operator delete(block.bytes);
}

}  // namespace

// Keys are placed in blocks that never move, and the short lists of their
// values in blocks of their own, each block twice the one before up to
// 2 MiB. Nothing is given back before the store goes: a short list that
// grows leaves its old place behind, as a deleted key does (a long one
// lives on the heap, StoreAllocator).
struct KeyStore {
    static constexpr size_t kFirstKeys = 32;
    static constexpr size_t kKeysInFullBlock = kFullBlock / sizeof(RegKey);
    static constexpr size_t kFirstListBytes = 4096;

    struct KeyBlock {
        Block memory;
        size_t used = 0;
        size_t capacity = 0;
        RegKey* Keys() const { return reinterpret_cast<RegKey*>(memory.bytes); }
    };
    std::vector<KeyBlock> keyBlocks;
    std::vector<Block> listBlocks;
    char* next = nullptr;  // the free part of the last list block
    size_t left = 0;

    KeyStore() = default;
    KeyStore(const KeyStore&) = delete;
    KeyStore& operator=(const KeyStore&) = delete;
    ~KeyStore() {
        for (const KeyBlock& block : keyBlocks) {
            for (size_t i = 0; i < block.used; ++i) block.Keys()[i].~RegKey();
            FreeBlock(block.memory);
        }
        for (const Block& block : listBlocks) FreeBlock(block);
    }

    RegKey& New() {
        if (keyBlocks.empty() || keyBlocks.back().used == keyBlocks.back().capacity) {
            KeyBlock block;
            block.capacity = keyBlocks.empty() ? kFirstKeys : std::min(2 * keyBlocks.back().capacity, kKeysInFullBlock);
            // A full block of keys is the whole 2 MiB (its few last bytes unused).
            block.memory = NewBlock(block.capacity == kKeysInFullBlock ? kFullBlock : block.capacity * sizeof(RegKey));
            keyBlocks.push_back(block);
        }
        KeyBlock& block = keyBlocks.back();
        return *new (block.Keys() + block.used++) RegKey(this);
    }

    void* Allocate(size_t bytes) {
        bytes = (bytes + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
        if (bytes > left) {
            const size_t size =
                std::max(listBlocks.empty() ? kFirstListBytes : std::min(2 * listBlocks.back().size, kFullBlock), bytes);
            listBlocks.push_back(NewBlock(size));
            next = listBlocks.back().bytes;
            left = size;
        }
        void* at = next;
        next += bytes;
        left -= bytes;
        return at;
    }
};

void* StoreAllocate(KeyStore& store, size_t bytes) { return store.Allocate(bytes); }

namespace {

struct PredefinedKey {
    HKEY handle;
    const char* name;   // canonical, as KeyPath writes it
    const char* alias;  // short form accepted in paths, or nullptr
};

const PredefinedKey kPredefined[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
    {HKEY_USERS, "HKEY_USERS", "HKU"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"},
    {HKEY_DYN_DATA, "HKEY_DYN_DATA", nullptr},
};
constexpr size_t kPredefinedCount = sizeof kPredefined / sizeof kPredefined[0];

// Subkeys are kept in NameLess order (with no two names equal), so a binary
// search finds a name: keys of large machines have tens of thousands of them.
std::vector<RegKey*>::const_iterator SortedPlace(const RegKey& key, const std::string& name) {
    return std::lower_bound(key.subkeys.begin(), key.subkeys.end(), name,
                            [](const RegKey* k, const std::string& n) { return NameLess(k->name, n); });
}

RegKey* CopyTree(KeyStore& store, const RegKey& from, RegKey* parent) {
    RegKey& copy = store.New();
    copy.name = from.name;
    copy.values = from.values;
    copy.parent = parent;
    copy.deleted = from.deleted;
    copy.deniedAccess = from.deniedAccess;
    copy.subkeys.reserve(from.subkeys.size());
    for (const RegKey* sub : from.subkeys) copy.subkeys.push_back(CopyTree(store, *sub, &copy));
    // The stored order over the copies: the sorted order itself, as it
    // mostly is, or each key found again by its name.
    copy.stored.reserve(from.stored.size());
    for (size_t i = 0; i < from.stored.size(); ++i) {
        const size_t sorted = from.stored[i] == from.subkeys[i]
                                  ? i
                                  : SortedPlace(from, from.stored[i]->name) - from.subkeys.begin();
        copy.stored.push_back(copy.subkeys[sorted]);
    }
    return &copy;
}

// Marks a deleted subtree and cuts its upward links: a handle may keep any
// key of it alive after the keys above that key are gone.
void MarkDeleted(RegKey& key) {
    key.deleted = true;
    key.parent = nullptr;
    for (auto& sub : key.subkeys) MarkDeleted(*sub);
}

// A test-side path: root name, then key names. Trailing backslashes are
// ignored as the API does; an empty name in the middle makes the path invalid.
bool SplitPath(const std::string& path, size_t* root, std::vector<std::string>* names) {
    std::vector<std::string> parts;
    if (!SplitKeyNames(path, &parts)) return false;
    for (size_t i = 0; i < kPredefinedCount; ++i) {
        if (NamesEqual(parts[0], kPredefined[i].name) ||
            (kPredefined[i].alias != nullptr && NamesEqual(parts[0], kPredefined[i].alias))) {
            *root = i;
            names->assign(parts.begin() + 1, parts.end());
            return true;
        }
    }
    return false;
}

}  // namespace

RegKey* SubkeyOf(const RegKey& key, const std::string& name) {
    const auto at = SortedPlace(key, name);
    if (at != key.subkeys.end() && NamesEqual((*at)->name, name)) return *at;
    return nullptr;
}

void DetachKey(RegKey& key) {
    RegKey* parent = key.parent;
    MarkDeleted(key);  // before the erase, which may free the key
    if (parent == nullptr) return;
    auto& stored = parent->stored;
    stored.erase(std::find(stored.begin(), stored.end(), &key));
    auto& siblings = parent->subkeys;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), &key), siblings.end());
}

bool SplitKeyNames(std::string_view path, std::vector<std::string>* names) {
    names->clear();
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    bool whole = true;
    for (size_t start = 0;;) {
        const size_t end = path.find('\\', start);
        names->emplace_back(path.substr(start, end == std::string_view::npos ? end : end - start));
        whole = whole && !names->back().empty();
        if (end == std::string_view::npos) return whole;
        start = end + 1;
    }
}

// ---------------------------------------------------------------- RegValue, RegKey

bool operator==(const RegValue& a, const RegValue& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

RegKey* RegKey::FindSubkey(const std::string& subName) const { return SubkeyOf(*this, subName); }

RegKey* RegKey::EnumeratedSubkey(size_t index, Family family) const {
    if (index >= subkeys.size()) return nullptr;
    return family == Family::Win9x ? stored[index] : subkeys[index];
}

std::shared_ptr<RegKey> CopyKey(const RegKey& key) {
    auto store = std::make_shared<KeyStore>();
    RegKey* copy = CopyTree(*store, key, nullptr);
    return std::shared_ptr<RegKey>(std::move(store), copy);
}

RegValue* RegKey::FindValue(const std::string& valueName) {
    for (auto& value : values)
        if (NamesEqual(value.name, valueName)) return &value;
    return nullptr;
}

RegValue RegKey::NewValue(std::string valueName, DWORD type, const uint8_t* data, size_t size) const {
    const StoreAllocator<uint8_t> inStore(values.get_allocator());
    return RegValue{std::move(valueName), type, ValueData(data, data + size, inStore)};
}

const RegValue* RegKey::FindValue(const std::string& valueName) const {
    return const_cast<RegKey*>(this)->FindValue(valueName);
}

size_t RegKey::CountKeys() const {
    size_t count = 1;
    for (const auto& sub : subkeys) count += sub->CountKeys();
    return count;
}

size_t RegKey::CountValues() const {
    size_t count = values.size();
    for (const auto& sub : subkeys) count += sub->CountValues();
    return count;
}

// A deleted key has no parent any more: its path starts at the top of the
// deleted subtree.
std::string KeyPath(const RegKey& key) {
    std::string path = key.name;
    for (const RegKey* up = key.parent; up != nullptr; up = up->parent) path = up->name + "\\" + path;
    return path;
}

// ---------------------------------------------------------------- Registry

Registry::Registry() : store_(std::make_shared<KeyStore>()) {
    for (const auto& predefined : kPredefined) {
        RegKey& root = store_->New();
        root.name = predefined.name;
        roots_.push_back(&root);
    }
}

Registry::Registry(const Registry& other) : store_(std::make_shared<KeyStore>()) {
    for (const RegKey* root : other.roots_) roots_.push_back(CopyTree(*store_, *root, nullptr));
}

Registry& Registry::operator=(const Registry& other) {
    if (this != &other) {
        Registry copy(other);
        std::swap(store_, copy.store_);
        std::swap(roots_, copy.roots_);
    }
    return *this;
}

// A moved-from registry is an empty one, still usable.
Registry::Registry(Registry&& other) : Registry() {
    std::swap(store_, other.store_);
    std::swap(roots_, other.roots_);
}

Registry& Registry::operator=(Registry&& other) noexcept {
    std::swap(store_, other.store_);
    std::swap(roots_, other.roots_);
    return *this;
}

Registry::~Registry() = default;

RegKey& Registry::Subkey(RegKey& parent, const std::string& name) {
    // A name that sorts after every sibling (as in a sorted export) is
    // appended without a search.
    const bool last = parent.subkeys.empty() || NameLess(parent.subkeys.back()->name, name);
    auto at = parent.subkeys.cend();
    if (!last) {
        at = SortedPlace(parent, name);
        if (at != parent.subkeys.end() && NamesEqual((*at)->name, name)) return **at;
    }
    RegKey& created = NewKey(parent, name);
    parent.subkeys.insert(at, &created);
    parent.stored.push_back(&created);
    return created;
}

RegKey& Registry::NewKey(RegKey& parent, std::string_view name) {
    RegKey& created = store_->New();
    created.name.assign(name);
    created.parent = &parent;
    return created;
}

std::shared_ptr<RegKey> Registry::Hold(RegKey& key) const { return std::shared_ptr<RegKey>(store_, &key); }

RegKey* Registry::Find(const std::string& path) const {
    size_t root = 0;
    std::vector<std::string> names;
    if (!SplitPath(path, &root, &names)) return nullptr;
    RegKey* key = roots_[root];
    for (const auto& name : names) {
        key = key->FindSubkey(name);
        if (key == nullptr) return nullptr;
    }
    return key;
}

// A path that names no root, or has an empty name, is a mistake in the test
// that builds the machine: std::invalid_argument.
RegKey& Registry::Create(const std::string& path) {
    size_t root = 0;
    std::vector<std::string> names;
    if (!SplitPath(path, &root, &names)) throw std::invalid_argument("not a registry key path: " + path);
    RegKey* key = roots_[root];
    for (const auto& name : names) key = &Subkey(*key, name);
    return *key;
}

void Registry::SetValue(const std::string& path, const std::string& name, DWORD type,
                        std::vector<uint8_t> data) {
    RegKey& key = Create(path);
    if (RegValue* value = key.FindValue(name)) {
        value->type = type;
        value->data.assign(data.begin(), data.end());
    } else {
        key.values.push_back(key.NewValue(name, type, data.data(), data.size()));
    }
}

void Registry::SetString(const std::string& path, const std::string& name, const std::string& text,
                         DWORD type) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    SetValue(path, name, type, std::move(data));
}

void Registry::SetDword(const std::string& path, const std::string& name, DWORD value) {
    SetValue(path, name, REG_DWORD,
             {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

std::optional<RegValue> Registry::GetValue(const std::string& path, const std::string& name) const {
    const RegKey* key = Find(path);
    if (key == nullptr) return std::nullopt;
    const RegValue* value = key->FindValue(name);
    if (value == nullptr) return std::nullopt;
    return *value;
}

std::optional<std::string> Registry::GetString(const std::string& path, const std::string& name) const {
    auto value = GetValue(path, name);
    if (!value) return std::nullopt;
    const auto end = std::find(value->data.begin(), value->data.end(), 0);
    return std::string(value->data.begin(), end);
}

bool Registry::DeleteValue(const std::string& path, const std::string& name) {
    RegKey* key = Find(path);
    if (key == nullptr) return false;
    auto& values = key->values;
    const auto it = std::find_if(values.begin(), values.end(),
                                 [&](const RegValue& v) { return NamesEqual(v.name, name); });
    if (it == values.end()) return false;
    values.erase(it);
    return true;
}

bool Registry::DeleteTree(const std::string& path) {
    RegKey* key = Find(path);
    if (key == nullptr || key->parent == nullptr) return false;
    DetachKey(*key);
    return true;
}

std::vector<std::string> Registry::SubkeyNames(const std::string& path) const {
    std::vector<std::string> names;
    if (const RegKey* key = Find(path))
        for (const auto& sub : key->subkeys) names.push_back(sub->name);
    return names;
}

RegKey* Registry::Root(HKEY predefined) const {
    for (size_t i = 0; i < kPredefinedCount; ++i)
        if (kPredefined[i].handle == predefined) return roots_[i];
    return nullptr;
}

}  // namespace sim
