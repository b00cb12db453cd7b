#include "scenario.h"

#include "image/text_codec.h"

#include <algorithm>

#include <fstream>
#include <sstream>

namespace winetest {
namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

std::string RestAfter(const std::string& line, size_t wordCount) {
    size_t pos = 0;
    for (size_t i = 0; i < wordCount; ++i) {
        pos = line.find_first_not_of(" \t", pos);
        pos = line.find_first_of(" \t", pos);
        if (pos == std::string::npos) return "";
    }
    pos = line.find_first_not_of(" \t", pos);
    return pos == std::string::npos ? "" : line.substr(pos);
}

}  // namespace

std::string Utf16leWithMark(const std::string& utf8) {
    std::string out = "\xFF\xFE";
    char32_t c = 0;
    for (size_t pos = 0; pos < utf8.size();)
        image::AppendUtf16le(out, image::DecodeUtf8(utf8, pos, &c) ? c : U'\uFFFD');
    return out;
}

std::vector<uint8_t> EncodeLines(const std::vector<std::string>& lines, bool utf16) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    if (utf16) text = Utf16leWithMark(text);
    return std::vector<uint8_t>(text.begin(), text.end());
}

bool ParseScenario(const std::string& name, const std::string& text, Scenario& scenario, std::string& error) {
    scenario = Scenario();
    scenario.name = name;
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    size_t i = 0;
    auto fail = [&](const std::string& what) {
        error = name + ":" + std::to_string(i + 1) + ": " + what;
        return false;
    };
    // The lines of a block, up to its "end" line.
    auto block = [&](std::vector<std::string>& body) {
        for (++i; i < lines.size(); ++i) {
            if (lines[i] == "end") return true;
            body.push_back(lines[i]);
        }
        return false;
    };
    bool described = false;
    for (; i < lines.size(); ++i) {
        const std::vector<std::string> words = Words(lines[i]);
        if (words.empty()) {
            described = described || !scenario.description.empty();
            continue;
        }
        if (words[0][0] == '#') {
            if (!described) {
                const std::string comment = RestAfter(lines[i], 0).substr(1);
                scenario.description += (scenario.description.empty() ? "" : "\n") +
                                        (comment.empty() || comment[0] != ' ' ? comment : comment.substr(1));
            }
            continue;
        }
        described = true;
        if (words[0] == "windows") {
            if (words.size() < 2) return fail("windows needs a version");
            scenario.windows = words[1];
            if (scenario.windows == "win2000") {
                scenario.servicePack = RestAfter(lines[i], 2);
            } else if (words.size() != 2 || (scenario.windows != "win98" && scenario.windows != "win2k" &&
                                             scenario.windows != "winxp")) {
                return fail("windows is win98, win2k, winxp or win2000 <service-pack text>");
            }
        } else if (words[0] == "registry" && words.size() == 1) {
            std::vector<std::string> body;
            if (!block(body)) return fail("registry block without end");
            scenario.registry = "REGEDIT4\r\n";
            for (const std::string& b : body) scenario.registry += b + "\r\n";
        } else if (words[0] == "registry" && words.size() == 2 && words[1] == "unicode") {
            std::vector<std::string> body;
            if (!block(body)) return fail("registry unicode block without end");
            scenario.registryUnicode = "Windows Registry Editor Version 5.00\r\n";
            for (const std::string& b : body) scenario.registryUnicode += b + "\r\n";
        } else if (words[0] == "file" || (words[0] == "expect" && words.size() >= 3 && words[1] == "file")) {
            const bool expected = words[0] == "expect";
            const size_t first = expected ? 2 : 1;
            if (words.size() <= first) return fail("file needs a path");
            ScenarioFile file;
            file.path = words[first];
            bool utf16 = false;
            for (size_t w = first + 1; w < words.size(); ++w) {
                if (words[w] == "readonly") file.readOnly = true;
                else if (words[w] == "utf16") utf16 = true;
                else return fail("unknown file flag " + words[w]);
            }
            std::vector<std::string> body;
            if (!block(body)) return fail("file block without end");
            file.content = EncodeLines(body, utf16);
            (expected ? scenario.expectFiles : scenario.files).push_back(file);
        } else if (words[0] == "expect" && words.size() == 2 && words[1] == "registry") {
            std::vector<std::string> body;
            if (!block(body)) return fail("expect registry block without end");
            scenario.expectRegistry = "REGEDIT4\r\n";
            for (const std::string& b : body) scenario.expectRegistry += b + "\r\n";
        } else if (words[0] == "simulator" && words.size() == 2 && words[1] == "differs") {
            std::vector<std::string> body;
            if (!block(body)) return fail("simulator differs block without end");
            scenario.simulatorDiffers = "REGEDIT4\r\n";
            for (const std::string& b : body) scenario.simulatorDiffers += b + "\r\n";
        } else if (words.size() == 2 && words[0] == "collect" && words[1] == "all") {
            scenario.collectAll = true;
        } else if (words.size() > 3 && words[0] == "dry" && words[1] == "run" && words[2] == "differs") {
            scenario.wineDiffers.push_back(RestAfter(lines[i], 3));
            std::sort(scenario.wineDiffers.begin(), scenario.wineDiffers.end());
        } else if (words[0] == "expect" && words.size() == 3 && words[1] == "gone") {
            scenario.expectGone.push_back(words[2]);
        } else {
            return fail("unknown line: " + lines[i]);
        }
    }
    if (scenario.windows.empty()) return fail("no windows line");
    return true;
}

bool LoadScenario(const std::string& path, Scenario& scenario, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".scn") == 0) name.resize(name.size() - 4);
    return ParseScenario(name, text.str(), scenario, error);
}

}  // namespace winetest
