// Shared by the tests of the image library and the dry run: UTF-16LE text
// as regedit writes it, and scratch folders on the host.
#pragma once

#include "image/text_codec.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace support {

// UTF-8 text as UTF-16LE bytes, with the byte order mark regedit writes.
inline std::string Utf16le(const std::string& utf8, bool bom = true) {
    bool wellFormed = true;
    const std::string text = image::Utf8ToUtf16le(utf8, &wellFormed);
    if (!wellFormed) ADD_FAILURE() << "test text is not UTF-8";
    return (bom ? "\xFF\xFE" : "") + text;
}

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

}  // namespace support
