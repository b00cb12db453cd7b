// The simulator's INF reader: setup information text as SETUPAPI parses it,
// as a pure function over the file's bytes. Used by the simulated SetupAPI
// (sim_setupapi.cpp) and by its tests.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct InfLine {
    bool hasKey = false;              // "key = values"; a line without "=" is all values
    std::string key;                  // trimmed, unquoted, strings substituted
    std::vector<std::string> values;  // each trimmed, unquoted, strings substituted
    unsigned sourceLine = 0;          // 1-based line of the file where the line starts
};

struct InfSection {
    std::string name;  // as first written; sections of the same name (any case) are merged
    std::vector<InfLine> lines;
};

struct InfParse {
    DWORD error = ERROR_SUCCESS;  // a SETUPAPI syntax error code, or ERROR_SUCCESS
    unsigned errorLine = 0;       // 1-based line of the error
    std::vector<InfSection> sections;
};

// The file's text as 8-bit characters: ANSI as it stands; UTF-16 (LE or BE)
// and UTF-8 after their byte order marks are converted, characters above
// 0xFF becoming '?'. The text ends at a NUL or a Ctrl-Z character.
std::string DecodeInfText(const std::vector<uint8_t>& bytes);

InfParse ParseInf(const std::vector<uint8_t>& bytes);

const InfSection* FindInfSection(const std::vector<InfSection>& sections, const std::string& name);
// The first line of the section with this key (case-insensitive), or nullptr.
const InfLine* FindInfLine(const InfSection& section, const std::string& key);

// SetupGetLineText's compact form: the values joined by single commas, no key.
std::string InfLineText(const InfLine& line);

}  // namespace sim
