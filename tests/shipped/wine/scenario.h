// A Wine scenario: the machine before the run (Windows version, registry,
// files) and what the run must change on it; everything it does not name
// must stay as it was. Written as a small text file, for example:
//
//   # what the scenario is about
//   windows win2000 Service Pack 2     (or: win98, win2k, winxp)
//   registry                           .reg lines (REGEDIT4) until "end"
//   [HKEY_LOCAL_MACHINE\System\ControlSet001\Services\USBSTOR]
//   "ImagePath"="System32\\DRIVERS\\USBSTORSP3.SYS"
//   end
//   file C:\windows\inf\usbstor.inf utf16      content lines until "end" (one
//                                      content for every path a line names)
//   ...
//   end
//   file C:\windows\system32\drivers\USBSTORSP3.SYS readonly
//   ...
//   end
//   registry unicode                   version 5 .reg lines (names and
//   ...                                texts of any language, hex(2) and
//   end                                hex(7) in UTF-16LE) until "end"
//   expect registry                    .reg lines that turn the machine
//   ...                                before the run into the one after
//   end
//   expect gone C:\windows\system32\drivers\USBSTORSP3.SYS
//   expect file C:\windows\inf\usbstor.inf utf16    its content after
//   ...
//   end
//   collect all                        the collector takes the whole of
//                                      HKEY_LOCAL_MACHINE (/all)
//   setupapi missing                   both programs run without Wine's
//                                      setupapi.dll (WINEDLLOVERRIDES
//                                      "setupapi=d"), as on a Windows 98
//                                      that lacks it
//   expect no message                  the run shows no completion message
//   wine differs NAME                  a difference of Wine from Windows
//   ...                                (kWineDifferences) the run needs;
//   end                                one the twin's comparison excuses
//                                      takes .reg lines until "end"
//
// File content lines are joined with CR LF, the last one included; "utf16"
// stores them as UTF-16LE with a byte order mark.
#pragma once

#include "wine_differences.h"

#include "image/reg_file.h"

#include "platform/sim/sim.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace winetest {

struct ScenarioFile {
    std::string path;  // Windows path, "C:\..."
    bool readOnly = false;
    std::vector<uint8_t> content;
};

struct Scenario {
    std::string name;         // the file name without ".scn"
    std::string description;  // the leading comment lines
    // "win98", "win2k", "winxp": Wine's version setting; "win2000": 5.0
    // build 2195 with `servicePack` as its service-pack text.
    std::string windows;
    std::string servicePack;
    std::string version;  // what GetVersionExA then reports: "<platform> <major>.<minor> <CSD>"
    std::string registry;  // REGEDIT4 text, header included
    std::string registryUnicode;  // version 5 text in UTF-8, header included
    std::vector<ScenarioFile> files;
    std::string expectRegistry;  // REGEDIT4 text, header included
    std::vector<std::string> expectGone;
    std::vector<ScenarioFile> expectFiles;
    // The differences the run needs, each with its .reg text (REGEDIT4,
    // header included) where the twin's comparison excuses it, else "".
    std::map<WineDifference, std::string> differences;
    bool collectAll = false;  // the collector's /all
    bool setupApiMissing = false;  // both programs without setupapi.dll
    bool expectMessage = true;     // the completion message is shown
};

// Reads tests/shipped/wine/scenarios/<name>.scn; false, with the file and
// line, when it is not a scenario or one of its .reg texts is malformed.
bool LoadScenario(const std::string& name, Scenario& scenario, std::string& error);

// UTF-8 text as UTF-16LE with a byte order mark, as regedit reads a
// version 5 file.
std::string Utf16leWithMark(const std::string& utf8);

// Applies one of a scenario's .reg texts (nothing for an empty one) to
// `registry` as regedit imports it; false, with `diag`, where regedit would
// refuse it, and the lines it would skip in `skipped` when given, both of
// which LoadScenario rules out.
bool ApplyRegText(const std::string& text, sim::Registry& registry, image::InputError* diag = nullptr,
                  std::vector<image::InputError>* skipped = nullptr);

bool EndsWith(const std::string& text, const std::string& end);

// The lines of a text, without their CR LF or LF.
std::vector<std::string> TextLines(const std::string& text);

}  // namespace winetest
