// The simulated SETUPAPI's device sets: the walk over the machine's devices
// (the present ones it lists, and those installed but not present, which
// only their hardware keys tell of), their properties and their removal.
#include "platform/sim/sim_setupapi.h"

#include <algorithm>
#include <unordered_set>

namespace sim {

// A snapshot of the devices taken when the set was made. Removing a device
// keeps its element, so member indexes stay stable during a walk.
struct DeviceSet {
    struct Element {
        std::string instanceId;
        GUID classGuid{};
        DWORD devInst = 0;
        bool present = true;  // false: installed but not present, known by its hardware key alone
    };
    std::vector<Element> elements;
};

}  // namespace sim

namespace {

const DWORD kDocumentedClassDevsFlags =
    DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;

sim::DeviceSet* FindSet(HDEVINFO set) {
    auto& sets = State().deviceSets;
    auto found = sets.find(reinterpret_cast<uintptr_t>(set));
    return found == sets.end() ? nullptr : found->second.get();
}

// The element that an SP_DEVINFO_DATA filled by SetupDiEnumDeviceInfo names
// (Reserved holds its index + 1); nullptr with the error set otherwise.
sim::DeviceSet::Element* FindElement(HDEVINFO set, const SP_DEVINFO_DATA* data) {
    sim::DeviceSet* s = FindSet(set);
    if (s == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0 ||
        data->Reserved > s->elements.size()) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &s->elements[data->Reserved - 1];
}

// The present device of a present element, or nullptr once it has been
// removed (instance ids are unique among the present devices). The device
// stood at index devInst - 1 when the set was made and removals since then
// only move it towards the front: the search starts there and goes back,
// then on, so that a walk that removes as it goes finds each device in a few
// steps.
sim::Device* PresentDevice(const sim::DeviceSet::Element& element) {
    std::vector<sim::Device>& devices = Current().devices;
    if (devices.empty()) return nullptr;
    const size_t start = std::min<size_t>(element.devInst - 1, devices.size() - 1);
    for (size_t i = start + 1; i-- > 0;)
        if (sim::NamesEqual(devices[i].instanceId, element.instanceId)) return &devices[i];
    for (size_t i = start + 1; i < devices.size(); ++i)
        if (sim::NamesEqual(devices[i].instanceId, element.instanceId)) return &devices[i];
    return nullptr;
}

// Whether the device of an element is still installed, and if it is
// present, which one: a present device until it is removed, one that is not
// present while its hardware key is there.
bool StillInstalled(const sim::DeviceSet::Element& element, sim::Device** present) {
    *present = nullptr;
    if (element.present) {
        *present = PresentDevice(element);
        return *present != nullptr;
    }
    const sim::Machine& m = Current();
    return m.registry.Find(m.HardwareKeyPath(element.instanceId)) != nullptr;
}

// The class a hardware key gives its device: its "ClassGUID" value, on both
// families. (Windows 98 writes it next to the class name "Class"; the name
// alone is not read.)
std::optional<GUID> HardwareKeyClass(const std::string& hardwareKey) {
    const std::optional<std::string> text = Current().registry.GetString(hardwareKey, "ClassGUID");
    return text ? sim::ParseGuid(*text) : std::nullopt;
}

GUID ClassOf(const sim::Device& device) {
    if (device.classGuid) return *device.classGuid;
    // GUID_NULL: a present device without a class.
    return HardwareKeyClass(Current().HardwareKeyPath(device.instanceId)).value_or(GUID{});
}

struct AbsentDevice {
    std::string instanceId;
    GUID classGuid;
};

// The devices installed but not present: the instance keys of the hardware
// tree (enumerator\device\instance below HKLM\Enum on the 9x family, below
// HKLM\System\CurrentControlSet\Enum on NT) that carry a class and name no
// present device, in the order the registry enumerates them. A key without a
// class is not taken for a device.
std::vector<AbsentDevice> AbsentDevices() {
    const sim::Machine& m = Current();
    std::unordered_set<std::string> present;
    for (const sim::Device& device : m.devices) present.insert(sim::UpperAscii(device.instanceId));
    std::string root = m.HardwareKeyPath("");
    root.pop_back();  // the separator after "Enum"
    std::vector<AbsentDevice> absent;
    const sim::RegKey* enumKey = m.registry.Find(root);
    if (enumKey == nullptr) return absent;
    // The ids as the ANSI functions give them.
    auto each = [&m](const sim::RegKey& key, auto&& visit) {
        for (size_t i = 0; const sim::RegKey* sub = key.EnumeratedSubkey(i, m.family()); ++i)
            visit(*sub, sim::Utf8ToAnsi(m.codePage, sub->name));
    };
    each(*enumKey, [&](const sim::RegKey& enumerator, const std::string& enumeratorName) {
        each(enumerator, [&](const sim::RegKey& device, const std::string& deviceName) {
            each(device, [&](const sim::RegKey& instance, const std::string& instanceName) {
                const std::string id = enumeratorName + "\\" + deviceName + "\\" + instanceName;
                if (present.count(sim::UpperAscii(id)) != 0) return;
                if (const std::optional<GUID> guid = HardwareKeyClass(sim::KeyPath(instance)))
                    absent.push_back({id, *guid});
            });
        });
    });
    return absent;
}

// A "Driver" value names a key below the class key; one that is empty or
// could name the class key itself or climb out of it names nothing.
bool IsDriverKeyName(const std::string& driver) {
    if (driver.empty() || driver.front() == '\\' || driver.back() == '\\') return false;
    size_t start = 0;
    while (start <= driver.size()) {
        size_t end = driver.find('\\', start);
        if (end == std::string::npos) end = driver.size();
        const std::string segment = driver.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..") return false;
        start = end + 1;
    }
    return true;
}

// Deletes a device key with everything below it and logs it as it was.
void DeleteDeviceKey(const std::string& path) {
    sim::Machine& m = Current();
    const sim::RegKey* key = m.registry.Find(path);
    if (key == nullptr) return;
    sim::Event event(sim::Api::DeviceKeyDeleted);
    event.target = sim::KeyPath(*key);
    event.deletedKey = sim::CopyKey(*key);
    m.registry.DeleteTree(path);
    detail::Log(event);
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND,
                                                DWORD flags) {
    if (auto e = detail::Enter(sim::Api::SetupDiGetClassDevsA)) {
        SetError(*e);
        return INVALID_HANDLE_VALUE;
    }
    // Flags beyond the five documented ones are refused, and so is
    // DIGCF_DEFAULT without DIGCF_DEVICEINTERFACE, the only flag it is
    // documented with.
    if ((flags & ~kDocumentedClassDevsFlags) != 0 ||
        (flags & (DIGCF_DEFAULT | DIGCF_DEVICEINTERFACE)) == DIGCF_DEFAULT) {
        SetError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    // Device interfaces are not simulated; without DIGCF_ALLCLASSES a class
    // is required. The machine has one hardware profile, which holds every
    // device: DIGCF_PROFILE leaves nothing out.
    if ((flags & DIGCF_DEVICEINTERFACE) != 0 ||
        ((flags & DIGCF_ALLCLASSES) == 0 && classGuid == nullptr)) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const sim::Machine& m = Current();
    auto set = std::make_shared<sim::DeviceSet>();
    auto add = [&](const std::string& id, const GUID& guid, DWORD devInst, bool present) {
        if ((flags & DIGCF_ALLCLASSES) == 0 && !sim::SameClass(guid, *classGuid)) return;
        if (enumerator != nullptr && enumerator[0] != '\0' &&
            !sim::NamesEqual(id.substr(0, id.find('\\')), enumerator))
            return;
        set->elements.push_back({id, guid, devInst, present});
    };
    for (size_t i = 0; i < m.devices.size(); ++i)
        add(m.devices[i].instanceId, ClassOf(m.devices[i]), static_cast<DWORD>(i + 1), true);
    // Without DIGCF_PRESENT the devices that are installed but not present
    // follow the present ones. (Windows lists all of them in the order of
    // its device tree; the simulator keeps the order the machine gives its
    // present devices and puts the others after them.)
    if ((flags & DIGCF_PRESENT) == 0) {
        const std::vector<AbsentDevice> absent = AbsentDevices();
        for (size_t i = 0; i < absent.size(); ++i)
            add(absent[i].instanceId, absent[i].classGuid, static_cast<DWORD>(m.devices.size() + i + 1), false);
    }
    const uintptr_t handle = State().NewHandle();
    State().deviceSets[handle] = set;
    return reinterpret_cast<HDEVINFO>(handle);
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    if (auto e = detail::Enter(sim::Api::SetupDiEnumDeviceInfo)) {
        SetError(*e);
        return FALSE;
    }
    const sim::DeviceSet* s = FindSet(set);
    if (s == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (data == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= s->elements.size()) {
        SetError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const sim::DeviceSet::Element& element = s->elements[index];
    data->ClassGuid = element.classGuid;
    data->DevInst = element.devInst;
    data->Reserved = index + 1;
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA data, PSTR buffer,
                                                   DWORD size, PDWORD required) {
    if (auto e = detail::Enter(sim::Api::SetupDiGetDeviceInstanceIdA)) {
        SetError(*e);
        return FALSE;
    }
    // The element keeps its id after a removal, as the set's element does on Windows.
    const sim::DeviceSet::Element* element = FindElement(set, data);
    if (element == nullptr) return FALSE;
    if (buffer == nullptr && size > 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(element->instanceId.size() + 1);
    if (required != nullptr) *required = needed;
    if (needed > size) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, element->instanceId.c_str(), needed);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data,
                                                         DWORD property, PDWORD type, PBYTE buffer,
                                                         DWORD size, PDWORD required) {
    if (auto e = detail::Enter(sim::Api::SetupDiGetDeviceRegistryPropertyA)) {
        SetError(*e);
        return FALSE;
    }
    const sim::DeviceSet::Element* element = FindElement(set, data);
    if (element == nullptr) return FALSE;
    sim::Device* device = nullptr;
    if (!StillInstalled(*element, &device)) {
        SetError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    // The properties are values of the hardware key; the description of a
    // present device may also be given with it.
    const char* valueName = nullptr;
    switch (property) {
        case SPDRP_DEVICEDESC: valueName = "DeviceDesc"; break;
        case SPDRP_HARDWAREID: valueName = "HardwareID"; break;
        case SPDRP_CLASS: valueName = "Class"; break;
        case SPDRP_CLASSGUID: valueName = "ClassGUID"; break;
        case SPDRP_DRIVER: valueName = "Driver"; break;
        case SPDRP_MFG: valueName = "Mfg"; break;
        default: SetError(ERROR_INVALID_REG_PROPERTY); return FALSE;
    }
    std::optional<sim::RegValue> value;
    if (property == SPDRP_DEVICEDESC && device != nullptr && device->description) {
        const std::string& text = *device->description;
        value = sim::RegValue{"DeviceDesc", REG_SZ, {text.begin(), text.end()}};
        value->data.push_back(0);
    } else {
        const sim::Machine& m = Current();
        value = m.registry.GetValue(m.HardwareKeyPath(element->instanceId), valueName);
    }
    if (!value) {
        SetError(ERROR_INVALID_DATA);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(value->data.size());
    if (type != nullptr) *type = value->type;
    if (required != nullptr) *required = needed;
    if (buffer == nullptr && size > 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (needed > size) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (needed > 0) std::memcpy(buffer, value->data.data(), needed);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiRemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA data) {
    sim::Event event(sim::Api::SetupDiRemoveDevice);
    if (const sim::DeviceSet* s = FindSet(set))
        if (data != nullptr && data->Reserved > 0 && data->Reserved <= s->elements.size())
            event.target = s->elements[data->Reserved - 1].instanceId;
    auto fail = [&event](DWORD error) {
        detail::LogFailure(std::move(event), error);
        return FALSE;
    };
    if (auto e = detail::Enter(event.api)) return fail(*e);
    const sim::DeviceSet::Element* element = FindElement(set, data);
    if (element == nullptr) return fail(State().lastError);
    sim::Device* device = nullptr;
    if (!StillInstalled(*element, &device)) return fail(ERROR_NO_SUCH_DEVINST);

    // A present device leaves the present devices; present or not, its
    // hardware key and the software key that the hardware key's "Driver"
    // value names are deleted (Services\Class on the 9x family, Control\Class
    // on NT).
    sim::Machine& m = Current();
    const std::string hardwareKey = m.HardwareKeyPath(element->instanceId);
    const std::string driver = m.registry.GetString(hardwareKey, "Driver").value_or("");
    if (device != nullptr) m.devices.erase(m.devices.begin() + (device - m.devices.data()));
    detail::Log(event);

    DeleteDeviceKey(hardwareKey);
    if (IsDriverKeyName(driver))
        DeleteDeviceKey(std::string(m.family() == sim::Family::NT ? sim::kControlClass : sim::kServicesClass) +
                        "\\" + sim::AnsiToUtf8(m.codePage, driver));  // data in ANSI, names in Unicode
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    // An injected failure still releases a valid set, as the other closes
    // do: the program has no other way to give it back.
    if (auto e = detail::Enter(sim::Api::SetupDiDestroyDeviceInfoList)) {
        State().deviceSets.erase(reinterpret_cast<uintptr_t>(set));
        SetError(*e);
        return FALSE;
    }
    if (State().deviceSets.erase(reinterpret_cast<uintptr_t>(set)) == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
