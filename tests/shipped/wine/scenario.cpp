// Reading a scenario file.
#include "scenario.h"

#include "image/machine_image.h"
#include "image/text_codec.h"

#include <algorithm>
#include <iterator>
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
    return "\xFF\xFE" + image::Utf8ToUtf16le(utf8);
}

bool ApplyRegText(const std::string& text, sim::Registry& registry, image::InputError* diag,
                  std::vector<image::InputError>* skipped) {
    image::InputError ignored;
    return text.empty() ||
           image::ReadRegFile(text, "scenario", registry, nullptr, diag ? diag : &ignored, skipped);
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool LoadScenario(const std::string& name, Scenario& scenario, std::string& error) {
    scenario = Scenario();
    scenario.name = name;
    const std::string path = std::string(ZAV_SOURCE_DIR) + "/tests/shipped/wine/scenarios/" + name + ".scn";
    std::string text;
    if (!image::ReadHostFile(path, &text)) {
        error = "cannot read " + path;
        return false;
    }
    const std::vector<std::string> lines = TextLines(text);
    size_t i = 0;
    auto fail = [&](const std::string& what) {
        error = path + ":" + std::to_string(i + 1) + ": " + what;
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
    // A block of .reg lines, as the text of a .reg file with `header`,
    // which must read as regedit would read it.
    auto regBlock = [&](const std::string& header, std::string& reg) {
        std::vector<std::string> body;
        const size_t first = i + 1;
        if (!block(body)) return fail(lines[first - 1] + " block without end");
        reg = header + "\r\n";
        for (const std::string& b : body) reg += b + "\r\n";
        sim::Registry registry;
        image::InputError diag;
        std::vector<image::InputError> skipped;
        // A version 5 block is imported as UTF-16 with its byte order mark;
        // a line regedit would skip is a mistake of the scenario.
        if (ApplyRegText(header == "REGEDIT4" ? reg : Utf16leWithMark(reg), registry, &diag, &skipped)) {
            if (skipped.empty()) return true;
            diag = skipped.front();
        }
        i = first + static_cast<size_t>(diag.line) - 2;  // the text's first line is the header
        return fail(diag.message);
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
            // Wine's version settings, and what GetVersionExA then reports.
            const std::map<std::string, std::string> reported = {
                {"win98", "1 4.10  A "}, {"win2k", "2 5.0 Service Pack 4"}, {"winxp", "2 5.1 Service Pack 3"}};
            scenario.windows = words.size() < 2 ? "" : words[1];
            scenario.servicePack = scenario.windows == "win2000" ? RestAfter(lines[i], 2) : "";
            if (scenario.windows == "win2000") scenario.version = "2 5.0 " + scenario.servicePack;
            else if (words.size() == 2 && reported.count(words[1]) != 0) scenario.version = reported.at(words[1]);
            else return fail("windows is win98, win2k, winxp or win2000 <service-pack text>");
        } else if (words[0] == "registry" && words.size() == 1) {
            if (!regBlock("REGEDIT4", scenario.registry)) return false;
        } else if (words[0] == "registry" && words.size() == 2 && words[1] == "unicode") {
            if (!regBlock("Windows Registry Editor Version 5.00", scenario.registryUnicode)) return false;
        } else if (words[0] == "file" || (words[0] == "expect" && words.size() >= 3 && words[1] == "file")) {
            const bool expected = words[0] == "expect";
            ScenarioFile file;
            std::vector<std::string> paths;  // one content, as many files
            bool utf16 = false;
            for (size_t w = expected ? 2 : 1; w < words.size(); ++w) {
                if (words[w] == "readonly") file.readOnly = true;
                else if (words[w] == "utf16") utf16 = true;
                else if (words[w].size() > 3 && words[w].compare(1, 2, ":\\") == 0) paths.push_back(words[w]);
                else return fail("unknown file flag " + words[w]);
            }
            std::vector<std::string> body;
            if (paths.empty()) return fail("file needs a path");
            if (!block(body)) return fail("file block without end");
            std::string content;  // CR LF after every line
            for (const std::string& b : body) content += b + "\r\n";
            if (utf16) content = Utf16leWithMark(content);
            file.content.assign(content.begin(), content.end());
            for (const std::string& named : paths) {
                file.path = named;
                (expected ? scenario.expectFiles : scenario.files).push_back(file);
            }
        } else if (words[0] == "expect" && words.size() == 2 && words[1] == "registry") {
            if (!regBlock("REGEDIT4", scenario.expectRegistry)) return false;
        } else if (words.size() == 2 && words[0] == "collect" && words[1] == "all") {
            scenario.collectAll = true;
        } else if (words.size() == 2 && words[0] == "setupapi" && words[1] == "missing") {
            scenario.setupApiMissing = true;
        } else if (words.size() == 3 && words[0] == "expect" && words[1] == "no" && words[2] == "message") {
            scenario.expectMessage = false;
        } else if (words.size() > 2 && words[0] == "wine" && words[1] == "differs") {
            const std::string named = RestAfter(lines[i], 2);
            const auto row = std::find_if(std::begin(kWineDifferences), std::end(kWineDifferences),
                                          [&](const WineDifferenceRow& r) { return named == r.name; });
            if (row == std::end(kWineDifferences)) return fail("no such difference of Wine: " + named);
            if (scenario.differences.count(row->difference) != 0) return fail("named twice: " + std::string(row->name));
            std::string& reg = scenario.differences[row->difference];
            if (row->excused == Excused::Twin && !regBlock("REGEDIT4", reg)) return false;
        } else if (words[0] == "expect" && words.size() == 3 && words[1] == "gone") {
            scenario.expectGone.push_back(words[2]);
        } else {
            return fail("unknown line: " + lines[i]);
        }
    }
    if (scenario.windows.empty()) return fail("no windows line");
    return true;
}

}  // namespace winetest
