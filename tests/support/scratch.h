// Shared by the tests of the image library, the dry run and the runs over
// the example images: scratch folders on the host, the example images, and
// the registry an export reads into.
#pragma once

#include "image/host_files.h"
#include "image/machine_image.h"
#include "image/reg_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace support {

// A fresh folder below the system's temporary folder, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "zavtest-" + std::string(info->test_suite_name()) + "-" +
                           info->name() + "-" + std::to_string(::getpid());
        std::replace(name.begin(), name.end(), '/', '_');
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string Path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

#ifdef ZAV_EXAMPLES
// The folder of the example image `name` (examples/<name>).
inline std::string Example(const std::string& name) { return std::string(ZAV_EXAMPLES) + "/" + name; }

// A copy of the example image `name` to change, `dir`/image, with `added`
// (bytes as its export holds them) at the end of its registry.reg; its folder.
inline std::string ExampleCopy(const ScratchFolder& dir, const std::string& name, const std::string& added = "") {
    const std::string folder = dir / "image";
    std::filesystem::copy(Example(name), folder, std::filesystem::copy_options::recursive);
    std::string reg;
    EXPECT_TRUE(image::ReadHostFile(folder + "/registry.reg", &reg));
    EXPECT_TRUE(image::WriteHostFile(folder + "/registry.reg", reg + added));
    return folder;
}
#endif

// The image folder `folder` as loaded; a folder that does not load fails the test.
inline image::MachineImage LoadedImage(const std::string& folder) {
    image::MachineImage loaded;
    image::InputError diag;
    EXPECT_TRUE(image::LoadImage(folder, &loaded, &diag)) << diag.Text();
    return loaded;
}

// The registry the export `bytes` reads into (on top of `into`: deletion
// lines act on what is there), and its format; an export that does not read
// fails the test.
inline sim::Registry ReadExport(const std::string& bytes, image::RegFormat* format = nullptr,
                                sim::Registry into = sim::Registry()) {
    image::InputError diag;
    EXPECT_TRUE(image::ReadRegFile(bytes, "registry.reg", into, format, &diag)) << diag.Text();
    return into;
}

}  // namespace support
