// The simulator's core: the active machine, the call log, fault injection,
// the event log, the last error, and the ready-made machines.
#include "platform/sim/sim_internal.h"

#include "imageformat/machine_ini.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace sim {

namespace {
Machine* g_active = nullptr;
}

std::string UpperAscii(std::string text) {
    for (char& c : text) c = UpperAscii(c);
    return text;
}

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    return true;
}

bool NameLess(std::string_view a, std::string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(UpperAscii(a[i]));
        const auto cb = static_cast<unsigned char>(UpperAscii(b[i]));
        if (ca != cb) return ca < cb;
    }
    return a.size() < b.size();
}

Machine::Machine() : internal(new Internal) {}

Machine::Machine(const Machine& other) : MachineSetup(other), internal(new Internal) {}

Machine& Machine::operator=(const Machine& other) {
    if (this == &other) return *this;
    static_cast<MachineSetup&>(*this) = other;
    static_cast<MachineRecord&>(*this) = MachineRecord();
    internal.reset(new Internal);
    return *this;
}

Machine::~Machine() {
    if (g_active == this) g_active = nullptr;
}

HandleCounts Machine::OpenHandles() const {
    HandleCounts counts;
    counts.keys = internal->keys.size();
    counts.infs = internal->infs.size();
    counts.deviceSets = internal->deviceSets.size();
    for (const auto& entry : internal->files)
        if (!entry.second.otherProcess) ++counts.files;
    counts.finds = internal->finds.size();
    return counts;
}

std::vector<Event> Machine::EventsOf(Api api) const {
    std::vector<Event> out;
    for (const Event& event : events)
        if (event.api == api) out.push_back(event);
    return out;
}

std::string Machine::HardwareKeyPath(const std::string& instanceId) const {
    return (family() == Family::NT ? "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\"
                                   : "HKEY_LOCAL_MACHINE\\Enum\\") +
           AnsiToUtf8(codePage, instanceId);
}

Machine MakeWindows98() {
    Machine m;
    m.platformId = VER_PLATFORM_WIN32_WINDOWS;
    m.majorVersion = 4;
    m.minorVersion = 10;
    m.buildNumber = 0x040A08AE;  // 4.10.2222, as 98 SE reports it
    m.csdVersion = " A ";
    m.windowsDirectory = "C:\\WINDOWS";
    m.files.AddDirectory(m.windowsDirectory);
    return m;
}

Machine MakeWindows2000(const std::string& servicePack) {
    Machine m;
    m.platformId = VER_PLATFORM_WIN32_NT;
    m.majorVersion = 5;
    m.minorVersion = 0;
    m.buildNumber = 2195;
    m.csdVersion = servicePack;
    m.windowsDirectory = "C:\\WINNT";
    m.files.AddDirectory(m.windowsDirectory);
    return m;
}

Machine MakeWindowsXP() {
    Machine m;
    m.platformId = VER_PLATFORM_WIN32_NT;
    m.majorVersion = 5;
    m.minorVersion = 1;
    m.buildNumber = 2600;
    m.csdVersion = "Service Pack 3";
    m.windowsDirectory = "C:\\WINDOWS";
    m.files.AddDirectory(m.windowsDirectory);
    return m;
}

ActiveMachine::ActiveMachine(Machine& machine) {
    if (g_active != nullptr) {
        std::fprintf(stderr, "sim: a machine is already active\n");
        std::abort();
    }
    g_active = &machine;
}

ActiveMachine::~ActiveMachine() { g_active = nullptr; }

Machine& Current() {
    if (g_active == nullptr) {
        std::fprintf(stderr, "sim: a platform call was made with no active machine\n");
        std::abort();
    }
    return *g_active;
}

// ---------------------------------------------------------------- the table of calls

const char* ApiName(Api api) {
    static const char* const kNames[] = {
#define SIM_CALL_NAME(name, library, error) #name,
        SIM_PLATFORM_CALLS(SIM_CALL_NAME)
#undef SIM_CALL_NAME
#define SIM_EVENT_NAME(name) #name,
        SIM_OTHER_EVENTS(SIM_EVENT_NAME)
#undef SIM_EVENT_NAME
    };
    return kNames[static_cast<size_t>(api)];
}

std::ostream& operator<<(std::ostream& out, Api api) { return out << ApiName(api); }

DWORD TypicalError(Api call) {
    assert(IsCall(call));
    static const DWORD kErrors[] = {
#define SIM_CALL_ERROR(name, library, error) static_cast<DWORD>(error),
        SIM_PLATFORM_CALLS(SIM_CALL_ERROR)
#undef SIM_CALL_ERROR
    };
    return kErrors[static_cast<size_t>(call)];
}

const char* LibraryOf(Api call) {
    assert(IsCall(call));
    static const char* const kLibraries[] = {
#define SIM_CALL_LIBRARY(name, library, error) #library,
        SIM_PLATFORM_CALLS(SIM_CALL_LIBRARY)
#undef SIM_CALL_LIBRARY
    };
    return kLibraries[static_cast<size_t>(call)];
}

void RemoveLibrary(MachineSetup& machine, const std::string& library) {
    for (size_t i = 0; i < kCallCount; ++i)
        if (library == LibraryOf(CallAt(i))) machine.missingCalls.set(i);
}

namespace detail {

namespace {

// Enter's general case: the call log, the calls the machine lacks and
// injected faults.
__attribute__((noinline)) Injected EnterSlow(Machine& m, Api call, unsigned n) {
    if (m.recordCalls) m.calls.push_back(call);
    if (m.missingCalls.test(static_cast<size_t>(call))) return Injected{true, ERROR_CALL_NOT_IMPLEMENTED};
    for (const Fault& fault : m.faults) {
        if (fault.function != call) continue;
        if (n == fault.nth || (fault.persistent && n > fault.nth)) {
            if (fault.shortTransfer) {
                m.internal->shortTransfer = true;
                return Injected();
            }
            return Injected{true, fault.error};
        }
    }
    return Injected();
}

}  // namespace

// The common case kept short: a count, no call log, no faults (tens of
// millions of calls on large machines).
Injected Enter(Api call) {
    Machine& m = Current();
    const unsigned n = ++m.callCounts[call];
    m.internal->shortTransfer = false;
    if (!m.recordCalls && m.faults.empty() && m.missingCalls.none()) return Injected();
    return EnterSlow(m, call, n);
}

bool ShortTransfer() { return Current().internal->shortTransfer; }

void Log(Event event) { Current().events.push_back(std::move(event)); }

void LogFailure(Event event, DWORD error) {
    SetError(error);
    event.ok = false;
    event.error = error;
    Log(std::move(event));
}

}  // namespace detail

// ---------------------------------------------------------------- GUID text

// The text of machine.ini's GUIDs, in both directions (imageformat).
std::optional<GUID> ParseGuid(const std::string& text) {
    imageformat::GuidFields fields;
    if (!imageformat::ParseGuid(text, &fields)) return std::nullopt;
    GUID g{};
    g.Data1 = fields.data1;
    g.Data2 = fields.data2;
    g.Data3 = fields.data3;
    for (int i = 0; i < 8; ++i) g.Data4[i] = fields.data4[i];
    return g;
}

std::string GuidText(const GUID& g) {
    imageformat::GuidFields fields;
    fields.data1 = g.Data1;
    fields.data2 = g.Data2;
    fields.data3 = g.Data3;
    for (int i = 0; i < 8; ++i) fields.data4[i] = g.Data4[i];
    return imageformat::GuidText(fields);
}

}  // namespace sim

// ---------------------------------------------------------------- KERNEL32: last error

extern "C" DWORD WINAPI GetLastError(void) { return sim::Current().internal->lastError; }
extern "C" void WINAPI SetLastError(DWORD code) { sim::Current().internal->lastError = code; }
