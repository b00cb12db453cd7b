// The collector on what real machines hold and the random machines lack,
// one scenario a row: a small machine, the command line and what meets the
// collection (a folder that cannot be listed, a key that vanishes, keys
// without access, a missing setupapi.dll, a file another program may
// delete), then the exit code, the folder, the exact notes and the list of
// keys it could not open; every image written also reads back as the
// machine (support::CheckCollection).
#include "support/collection.h"

#include "imageformat/machine_ini.h"
#include "package.h"

#include <gtest/gtest.h>

#include <functional>

using sim::Api;

namespace {

const char kImage[] = "C:\\IMAGE";

sim::Machine Windows98WithKeys(const std::vector<std::string>& keys) {
    sim::Machine m = sim::MakeWindows98();
    for (const std::string& key : keys) m.registry.SetString("HKLM\\Enum\\ROOT\\" + key, "DeviceDesc", key);
    return m;
}

sim::Machine WithFolder(sim::Machine m, const std::string& folder) {
    m.files.AddDirectory(folder);
    return m;
}

// An XP machine whose devices each have a Properties key only SYSTEM may
// open, as XP keeps them below every instance key.
sim::Machine XpWithProperties(int devices) {
    sim::Machine m = sim::MakeWindowsXP();
    for (int i = 0; i < devices; ++i) {
        const std::string instance = "HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\DEV\\" + std::to_string(1000 + i);
        m.registry.SetString(instance, "DeviceDesc", "device");
        m.registry.SetDword(instance + "\\Properties", "hidden", 1);
        m.registry.Find(instance + "\\Properties")->deniedAccess = sim::kNoAccess;
    }
    return m;
}

const std::string kFilePath = std::string("C:\\WINDOWS\\") + kPackageFiles[0].folder + "\\" + kPackageFiles[0].name;

sim::Machine WithPackageFile(sim::Machine m) {
    m.files.AddFile(kFilePath, "driver");
    return m;
}

struct Row {
    const char* what;
    sim::Machine before;
    std::string arguments;
    std::vector<sim::Fault> faults;
    int exitCode;
    std::string folder;  // the image folder; "" for none
    std::vector<std::string> notes;
    size_t unreadableKeys = 0;
    std::function<void(sim::Machine&)> prepare = {};  // another program's part, on the machine itself
    std::function<void(const image::MachineImage&, const std::string& registryText)> check = {};
};

TEST(Collector, MeetsWhatRealMachinesHold) {
    const sim::Fault denied = {Api::FindFirstFileA, 1, true, ERROR_ACCESS_DENIED};
    const sim::Fault nothingListed = {Api::FindFirstFileA, 1, true, ERROR_NO_MORE_FILES};
    const std::string gone = "registry: HKEY_LOCAL_MACHINE\\Enum\\ROOT\\GONE: key left out: it was deleted while "
                             "the collector read it, as regedit leaves it out";
    auto without = [](const char* name) {
        return [name](const image::MachineImage& image, const std::string& text) {
            EXPECT_EQ(text.find(name), std::string::npos) << name << " is in registry.reg";
            EXPECT_EQ(image.machine.registry.Find(std::string("HKLM\\Enum\\ROOT\\") + name), nullptr);
            EXPECT_NE(image.machine.registry.Find("HKLM\\Enum\\ROOT\\KEPT"), nullptr);
        };
    };
    sim::Machine noSetupApi = WithPackageFile(sim::MakeWindows98());
    noSetupApi.devices.push_back({"ROOT\\DISK\\0000", GUID{}, std::string("disk")});
    sim::RemoveLibrary(noSetupApi, "SETUPAPI");
    sim::Machine partlyDenied = sim::MakeWindowsXP();
    partlyDenied.registry.SetString("HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\PART\\0000", "DeviceDesc", "x");
    partlyDenied.registry.Find("HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\PART")->deniedAccess =
        READ_CONTROL | KEY_NOTIFY;

    const Row rows[] = {
        {"an empty folder given: taken", WithFolder(sim::MakeWindows98(), kImage), "/quiet C:\\IMAGE", {}, 0, kImage,
         {}},
        {"an empty folder whose search says \"no more files\" (the 9x family): taken",
         WithFolder(sim::MakeWindows98(), kImage), "/quiet C:\\IMAGE", {nothingListed}, 0, kImage, {}},
        {"a folder given that cannot be listed: not taken, for it may hold an image",
         WithFolder(sim::MakeWindows98(), kImage), "/quiet C:\\IMAGE", {denied}, 1, "", {}},
        {"a drive's root given: a new folder there named after the computer",
         WithFolder(sim::MakeWindows98(), "D:\\DATA"), "/quiet D:\\", {}, 0, "D:\\ZAVPC", {}},
        {"a drive given alone: the same", WithFolder(sim::MakeWindows98(), "A:\\OLD"), "/quiet a:", {}, 0, "a:\\ZAVPC",
         {}},
        {"a key gone between its listing and its opening: left out, as regedit does",
         Windows98WithKeys({"GONE", "KEPT"}), "/quiet", {{Api::RegOpenKeyExA, 3, false, ERROR_FILE_NOT_FOUND}}, 0,
         "C:\\ZAVPC", {gone}, 0, {}, without("GONE")},
        {"a key deleted while open (its query fails): left out likewise", Windows98WithKeys({"GONE", "KEPT"}),
         "/quiet", {{Api::RegQueryInfoKeyA, 3, false, ERROR_KEY_DELETED}}, 0, "C:\\ZAVPC", {gone}, 0, {},
         without("GONE")},
        {"a key name with a line break: left out, its note one line", Windows98WithKeys({"two\r\nlines", "KEPT"}),
         "/quiet", {}, 0, "C:\\ZAVPC",
         {"registry: HKEY_LOCAL_MACHINE\\Enum\\ROOT\\two??lines: key left out: a line break in its name, which "
          "an export cannot hold"}},
        {"XP's Properties keys, 250 of them: one note with their number, their list in a file of the image",
         XpWithProperties(250), "/quiet", {}, 0, "C:\\ZAVPC",
         {"registry: 250 keys cannot be opened (Windows error 5); written without their values and subkeys, "
          "unreadable-keys.txt lists them"},
         250, {},
         [](const image::MachineImage& image, const std::string&) {
             EXPECT_EQ(image.unreadableKeys.front(),
                       "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\DEV\\1000\\Properties: cannot "
                       "open the key; written without its values and subkeys (Windows error 5)");
             // Each is there, empty: it exists, what it holds is unknown.
             const sim::RegKey* key =
                 image.machine.registry.Find("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\DEV\\1249\\Properties");
             ASSERT_NE(key, nullptr);
             EXPECT_TRUE(key->values.empty());
         }},
        {"a key granting query and enumerate alone: read whole, as nothing more is asked", partlyDenied, "/quiet",
         {}, 0, "C:\\ZAVPC", {}},
        {"Windows 98 without setupapi.dll: the image with a note and no device", noSetupApi, "/quiet", {}, 0,
         "C:\\ZAVPC", {"devices: cannot list the present devices (Windows error 120)"}, 0, {},
         [](const image::MachineImage& image, const std::string&) {
             EXPECT_TRUE(image.machine.devices.empty());
             EXPECT_NE(image.machine.files.Find(kFilePath), nullptr);
         }},
        {"XP, a package file held by a program that may delete it: copied, sharing delete",
         WithPackageFile(sim::MakeWindowsXP()), "/quiet", {}, 0, "C:\\ZAVPC", {}, 0,
         [](sim::Machine& m) {
             ASSERT_NE(sim::HoldFileOpen(m, kFilePath, GENERIC_READ | DELETE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE),
                       0u);
         }},
        {"Windows 98, the same file: copied without delete sharing, which the 9x family refuses",
         WithPackageFile(sim::MakeWindows98()), "/quiet", {}, 0, "C:\\ZAVPC", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        sim::Machine m = row.before;
        if (row.prepare) row.prepare(m);
        for (const sim::Fault& fault : row.faults) m.InjectFault(fault);
        const int exitCode = support::Collect(m, row.arguments, true);
        EXPECT_EQ(exitCode, row.exitCode);
        support::CollectionOutcome outcome;
        const std::vector<std::string> problems = support::CheckCollection(row.before, m, exitCode, false, &outcome);
        EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
        EXPECT_EQ(outcome.folder, row.folder);
        if (row.exitCode != 0) {
            // Nothing was written into the folder given.
            EXPECT_TRUE(m.EventsOf(Api::CreateFileA).empty());
            continue;
        }
        image::MachineImage image;
        image::InputError diag;
        ASSERT_TRUE(image::LoadImage(m.files, outcome.folder, &image, &diag)) << diag.Text();
        EXPECT_EQ(image.notes, row.notes);
        EXPECT_EQ(image.unreadableKeys.size(), row.unreadableKeys);
        const auto reg = m.files.Read(outcome.folder + "\\" + imageformat::kRegistryFile);
        ASSERT_TRUE(reg.has_value());
        if (row.check) row.check(image, std::string(reg->begin(), reg->end()));
    }
}

}  // namespace
