// The simulated SETUPAPI's class lookups: the classes installed in the
// machine's registry, by the INF that names one and by name.
#include "platform/sim/sim_setupapi.h"

namespace {

const DWORD kErrorInvalidMachineName = 1210;  // ERROR_INVALID_MACHINENAME

struct RegisteredClass {
    GUID guid;
    std::string name;
};

// The installed classes: HKLM\System\CurrentControlSet\Control\Class\{GUID}
// keys with a "Class" value on both families, and on the 9x family also
// those below Services\Class. A GUID registered in both places is one class.
std::vector<RegisteredClass> RegisteredClasses() {
    const sim::Machine& m = Current();
    std::vector<std::string> roots = {sim::kControlClass};
    if (m.family() == sim::Family::Win9x) roots.push_back(sim::kServicesClass);
    std::vector<RegisteredClass> classes;
    for (const std::string& root : roots) {
        for (const std::string& keyName : m.registry.SubkeyNames(root)) {
            const std::optional<GUID> guid = sim::ParseGuid(keyName);
            if (!guid) continue;
            const std::optional<std::string> name = m.registry.GetString(root + "\\" + keyName, "Class");
            if (!name) continue;
            bool known = false;
            for (const RegisteredClass& c : classes) known = known || sim::SameClass(c.guid, *guid);
            if (!known) classes.push_back({*guid, *name});
        }
    }
    return classes;
}

}  // namespace

extern "C" BOOL WINAPI SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className,
                                           DWORD classNameSize, PDWORD required) {
    if (auto e = detail::Enter(sim::Api::SetupDiGetINFClassA)) {
        SetError(*e);
        return FALSE;
    }
    if (infName == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A missing file is reported before any other bad argument.
    std::vector<uint8_t> bytes;
    DWORD error = ERROR_SUCCESS;
    if (!sim::ReadInfBytes(infName, &bytes, &error)) {
        SetError(error);
        return FALSE;
    }
    if (classGuid == nullptr || className == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<sim::InfSection> sections;
    unsigned line = 0;
    if (!sim::ParseWin4Inf(bytes, &sections, &error, &line)) {
        SetError(error);
        return FALSE;
    }
    const std::string infClass = sim::VersionValue(sections, "Class");
    const std::string infGuidText = sim::VersionValue(sections, "ClassGUID");
    std::optional<GUID> guid;
    if (!infGuidText.empty()) {
        guid = sim::ParseGuid(infGuidText);
        if (!guid) {
            SetError(ERROR_INVALID_PARAMETER);  // RPC_S_INVALID_STRING_UUID before Windows 7
            return FALSE;
        }
    }
    if (infClass.empty() && !guid) {
        SetError(ERROR_NO_ASSOCIATED_CLASS);
        return FALSE;
    }
    // The half that the INF leaves out comes from the installed classes;
    // when they don't know it either, that output is left as it was.
    std::optional<std::string> name;
    if (!infClass.empty()) name = infClass;
    const std::vector<RegisteredClass> classes = RegisteredClasses();
    for (const RegisteredClass& c : classes) {
        if (!name && sim::SameClass(c.guid, *guid)) name = c.name;
        if (!guid && sim::NamesEqual(c.name, infClass)) guid = c.guid;
    }
    if (name) {
        const DWORD needed = static_cast<DWORD>(name->size() + 1);
        if (required != nullptr) *required = needed;
        if (needed > classNameSize) {
            SetError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(className, name->c_str(), needed);
    }
    if (guid) *classGuid = *guid;
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiClassGuidsFromNameExA(PCSTR className, LPGUID list, DWORD listSize,
                                                    PDWORD required, PCSTR machineName,
                                                    PVOID reserved) {
    if (auto e = detail::Enter(sim::Api::SetupDiClassGuidsFromNameExA)) {
        SetError(*e);
        return FALSE;
    }
    if (className == nullptr || reserved != nullptr || (list == nullptr && listSize > 0)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The simulated machine has no network neighbours.
    if (machineName != nullptr && machineName[0] != '\0') {
        SetError(kErrorInvalidMachineName);
        return FALSE;
    }
    // Every class of that name, stored while the list has room; more classes
    // than room fail with the number needed, the first ones stored.
    DWORD count = 0;
    for (const RegisteredClass& c : RegisteredClasses()) {
        if (!sim::NamesEqual(c.name, className)) continue;
        if (count < listSize) list[count] = c.guid;
        ++count;
    }
    if (required != nullptr) *required = count;
    if (count > listSize) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return TRUE;
}
