// The relay trace: Wine's relay log of a run, limited to the calls that may
// change the machine, read back into the calls the program itself made.
#include "wine_harness.h"

#include "image/text_codec.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace winetest {

namespace {

// The calls the trace records: those that may change the machine, and the
// registry's W functions, which Wine implements in its Windows 98 mode
// where Windows 98 does not (the collector must not call them there).
const sim::Api kRelayedCalls[] = {
    sim::Api::SetupDiRemoveDevice, sim::Api::RegDeleteKeyA,  sim::Api::RegSetValueExA, sim::Api::CreateFileA,
    sim::Api::DeleteFileA,         sim::Api::MoveFileA,      sim::Api::SetFileAttributesA,
    sim::Api::MessageBoxA,         sim::Api::ShellExecuteA,  sim::Api::SendMessageA,
    sim::Api::RegOpenKeyExW,       sim::Api::RegEnumKeyExW,  sim::Api::RegEnumValueW,  sim::Api::RegQueryInfoKeyW,
};

// The exe's size in memory (SizeOfImage of its PE header); 0 when unreadable.
uint64_t ImageSize(const std::string& exe) {
    const std::vector<uint8_t> b = ReadBytes(exe);
    auto u32 = [&](size_t at) -> uint64_t {
        return at + 4 <= b.size() ? (uint64_t(b[at]) | uint64_t(b[at + 1]) << 8 | uint64_t(b[at + 2]) << 16 |
                                     uint64_t(b[at + 3]) << 24)
                                  : 0;
    };
    const uint64_t header = u32(0x3C);
    return u32(static_cast<size_t>(header) + 24 + 56);  // the same offset in PE32 and PE32+
}

// A text argument as Wine's trace escapes it, back to its bytes.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            c = text[++i];
            if (c == 'x' && i + 2 < text.size()) {
                c = static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                c = c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            }
        }
        out.push_back(c);
    }
    return out;
}

// The arguments between a call line's parentheses, split at the commas
// outside quotes: each one's number, and its text where the trace quotes one.
void ReadArguments(const std::string& args, RelayCall& call) {
    std::string arg;
    bool quoted = false;
    for (size_t i = 0; i <= args.size(); ++i) {
        if (i == args.size() || (args[i] == ',' && !quoted)) {
            call.numbers.push_back(arg.substr(0, arg.find(' ')));
            const size_t q = arg.find('"');
            if (q != std::string::npos && arg.size() >= q + 2)
                call.texts.push_back(Unescape(arg.substr(q + 1, arg.rfind('"') - q - 1)));
            arg.clear();
            continue;
        }
        if (quoted && args[i] == '\\' && i + 1 < args.size()) {
            arg.push_back(args[i++]);  // an escaped character, a quote among them
        } else if (args[i] == '"') {
            quoted = !quoted;
        }
        arg.push_back(args[i]);
    }
}

}  // namespace

std::string RelayRegistry() {
    std::string list;
    for (sim::Api call : kRelayedCalls) list += (list.empty() ? "" : ";") + std::string(sim::ApiName(call));
    return "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n\"RelayInclude\"=\"" + list + "\"\r\n\r\n";
}

// "0024:Call advapi32.RegSetValueExA(0000005c,00406380 \"ImagePath\",...) ret=00402ee6"
// and its "Ret" line: the calls whose return address lies in the exe, which
// "+loaddll" says where Wine loaded it, made by the thread that loaded it
// (the program has no other; a program it starts writes its trace to the
// same output, and may be loaded at the same address).
std::vector<RelayCall> ReadRelayCalls(const std::string& trace, const std::string& exe, std::string& error) {
    std::vector<RelayCall> calls;
    const std::string exeName = image::UpperAscii(std::filesystem::path(exe).filename().string());
    uint64_t base = 0;
    std::string mainThread;
    const uint64_t size = ImageSize(exe);
    std::map<std::string, std::vector<size_t>> open;  // by thread: calls without their Ret line yet
    for (const std::string& line : TextLines(trace)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string thread = line.substr(0, colon), rest = line.substr(colon + 1);
        if (base == 0 && rest.rfind("trace:loaddll:", 0) == 0 &&
            image::UpperAscii(rest).find(exeName + "\" AT ") != std::string::npos) {
            base = std::stoull(rest.substr(rest.rfind(" at ") + 4), nullptr, 16);
            mainThread = thread;
            continue;
        }
        const bool call = rest.rfind("Call ", 0) == 0, ret = rest.rfind("Ret  ", 0) == 0;
        const size_t paren = rest.find('('), retAt = rest.rfind(" ret=");
        if ((!call && !ret) || paren == std::string::npos || retAt == std::string::npos || thread != mainThread)
            continue;
        const uint64_t from = std::stoull(rest.substr(retAt + 5), nullptr, 16);
        if (from < base || from >= base + size) continue;  // a DLL's own call
        const std::string qualified = rest.substr(5, paren - 5), name = qualified.substr(qualified.find('.') + 1);
        const sim::Api* relayed = std::find_if(std::begin(kRelayedCalls), std::end(kRelayedCalls),
                                               [&](sim::Api api) { return name == sim::ApiName(api); });
        if (relayed == std::end(kRelayedCalls)) continue;
        const sim::Api function = *relayed;
        if (call) {
            RelayCall c;
            c.function = function;
            ReadArguments(rest.substr(paren + 1, rest.rfind(')', retAt) - paren - 1), c);
            open[thread].push_back(calls.size());
            calls.push_back(c);
            continue;
        }
        std::vector<size_t>& pending = open[thread];
        for (size_t i = pending.size(); i-- > 0;) {
            if (calls[pending[i]].function != function) continue;
            const size_t at = rest.find("retval=");
            if (at != std::string::npos) calls[pending[i]].retval = std::stoull(rest.substr(at + 7), nullptr, 16);
            pending.erase(pending.begin() + static_cast<long>(i));
            break;
        }
    }
    if (base == 0) error = "the relay trace does not say where " + exeName + " was loaded";
    return calls;
}

}  // namespace winetest
