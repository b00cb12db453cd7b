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
//   file C:\windows\inf\usbstor.inf utf16      content lines until "end"
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
//   simulator differs                  .reg lines that turn the simulator
//   ...                                twin's machine after into Wine's:
//   end                                the platform differences, explained
//   collect all                        the collector takes the whole of
//                                      HKEY_LOCAL_MACHINE (/all)
//   dry run differs NAME               a documented difference of Wine (see
//                                      kWineDifferences) that the dry run on
//                                      the collected image may show
//
// File content lines are joined with CR LF, the last one included; "utf16"
// stores them as UTF-16LE with a byte order mark.
#pragma once

#include <cstdint>
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
    std::string registry;  // REGEDIT4 text, header included
    std::string registryUnicode;  // version 5 text in UTF-8, header included
    std::vector<ScenarioFile> files;
    std::string expectRegistry;  // REGEDIT4 text, header included
    std::vector<std::string> expectGone;
    std::vector<ScenarioFile> expectFiles;
    std::string simulatorDiffers;  // REGEDIT4 text, header included
    std::vector<std::string> wineDiffers;  // names of kWineDifferences, sorted
    bool collectAll = false;               // the collector's /all
};

bool ParseScenario(const std::string& name, const std::string& text, Scenario& scenario, std::string& error);
bool LoadScenario(const std::string& path, Scenario& scenario, std::string& error);

// UTF-8 text as UTF-16LE with a byte order mark, as regedit reads a
// version 5 file.
std::string Utf16leWithMark(const std::string& utf8);

// The content bytes of text lines: CR LF after every line, as 8-bit text or
// as UTF-16LE with a byte order mark.
std::vector<uint8_t> EncodeLines(const std::vector<std::string>& lines, bool utf16);

}  // namespace winetest
