// The simulated registry's model: the key tree of a machine (sim::Registry,
// RegKey), its lookups and changes, as tests and images build it and as the
// ADVAPI32 functions (sim_advapi.cpp) work on it. Key and value names are
// Unicode (UTF-8), compare case-insensitively and keep the case they were
// created with; each key keeps its subkeys both sorted and in the order they
// were stored.
#include "platform/sim/sim_internal.h"

#include <algorithm>
#include <stdexcept>

namespace sim {

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
std::vector<std::shared_ptr<RegKey>>::const_iterator SortedPlace(const RegKey& key,
                                                                  const std::string& name) {
    return std::lower_bound(
        key.subkeys.begin(), key.subkeys.end(), name,
        [](const std::shared_ptr<RegKey>& k, const std::string& n) { return NameLess(k->name, n); });
}

// The child named `name`, created when missing: last in the stored order,
// in its place in the sorted one. A name that sorts after every sibling (as
// in a sorted export) is appended without a search.
std::shared_ptr<RegKey> ChildOrNew(RegKey& key, const std::string& name) {
    const bool last = key.subkeys.empty() || NameLess(key.subkeys.back()->name, name);
    auto at = key.subkeys.cend();
    if (!last) {
        at = SortedPlace(key, name);
        if (at != key.subkeys.end() && NamesEqual((*at)->name, name)) return *at;
    }
    auto created = std::make_shared<RegKey>();
    created->name = name;
    created->parent = &key;
    key.subkeys.insert(at, created);
    key.stored.push_back(created.get());
    return created;
}

std::shared_ptr<RegKey> CopyTree(const RegKey& from, RegKey* parent) {
    auto copy = std::make_shared<RegKey>();
    copy->name = from.name;
    copy->values = from.values;
    copy->parent = parent;
    copy->deleted = from.deleted;
    copy->deniedAccess = from.deniedAccess;
    copy->subkeys.reserve(from.subkeys.size());
    for (const auto& sub : from.subkeys) copy->subkeys.push_back(CopyTree(*sub, copy.get()));
    // The stored order over the copies: the sorted order itself, as it
    // mostly is, or each key found again by its name.
    copy->stored.reserve(from.stored.size());
    for (size_t i = 0; i < from.stored.size(); ++i) {
        const size_t sorted = from.stored[i] == from.subkeys[i].get()
                                  ? i
                                  : SortedPlace(from, from.stored[i]->name) - from.subkeys.begin();
        copy->stored.push_back(copy->subkeys[sorted].get());
    }
    return copy;
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

std::shared_ptr<RegKey> SubkeyOf(const RegKey& key, const std::string& name) {
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
    siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                  [&](const std::shared_ptr<RegKey>& k) { return k.get() == &key; }),
                   siblings.end());
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

RegKey* RegKey::FindSubkey(const std::string& subName) const { return SubkeyOf(*this, subName).get(); }

RegKey& RegKey::Subkey(const std::string& subName) { return *ChildOrNew(*this, subName); }

RegKey* RegKey::EnumeratedSubkey(size_t index, Family family) const {
    if (index >= subkeys.size()) return nullptr;
    return family == Family::Win9x ? stored[index] : subkeys[index].get();
}

std::shared_ptr<RegKey> CopyKey(const RegKey& key) { return CopyTree(key, nullptr); }

RegValue* RegKey::FindValue(const std::string& valueName) {
    for (auto& value : values)
        if (NamesEqual(value.name, valueName)) return &value;
    return nullptr;
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

Registry::Registry() {
    for (const auto& predefined : kPredefined) {
        auto root = std::make_shared<RegKey>();
        root->name = predefined.name;
        roots_.push_back(root);
    }
}

Registry::Registry(const Registry& other) {
    for (const auto& root : other.roots_) roots_.push_back(CopyTree(*root, nullptr));
}

Registry& Registry::operator=(const Registry& other) {
    if (this != &other) {
        std::vector<std::shared_ptr<RegKey>> copies;
        for (const auto& root : other.roots_) copies.push_back(CopyTree(*root, nullptr));
        roots_.swap(copies);
    }
    return *this;
}

RegKey* Registry::Find(const std::string& path) const {
    size_t root = 0;
    std::vector<std::string> names;
    if (!SplitPath(path, &root, &names)) return nullptr;
    RegKey* key = roots_[root].get();
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
    RegKey* key = roots_[root].get();
    for (const auto& name : names) key = ChildOrNew(*key, name).get();
    return *key;
}

void Registry::SetValue(const std::string& path, const std::string& name, DWORD type,
                        std::vector<uint8_t> data) {
    RegKey& key = Create(path);
    if (RegValue* value = key.FindValue(name)) {
        value->type = type;
        value->data = std::move(data);
    } else {
        key.values.push_back(RegValue{name, type, std::move(data)});
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
        if (kPredefined[i].handle == predefined) return roots_[i].get();
    return nullptr;
}

}  // namespace sim
