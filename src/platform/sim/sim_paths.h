// Windows path text taken apart and put together: shared by the file
// system model, the host images and the kernel file functions.
#pragma once

#include "platform/sim/sim.h"

#include <string>
#include <vector>

namespace sim {

// A path taken apart: the drive letter (upper case) and the components
// below the root with "." and ".." resolved, each in the case given.
struct ParsedPath {
    char drive = 0;
    std::vector<std::string> parts;
};

inline bool IsDriveLetter(char c) {
    const char u = UpperAscii(c);
    return u >= 'A' && u <= 'Z';
}
inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }
inline bool IsWildcard(char c) { return c == '*' || c == '?'; }

// Characters that no file name may hold on either family (wildcards apart).
inline bool IsForbiddenNameChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|';
}

// An absolute path "X:\a\b": drive letter, colon, separator, then names
// separated by "\" or "/" (repeated separators count once, trailing ones are
// ignored). ".." above the root stays at the root, as Windows resolves it.
// Wildcards are accepted in the last component only when `wildcards` is set.
bool ParsePath(const std::string& path, bool wildcards, ParsedPath* out);

inline std::string RootText(char drive) { return std::string(1, drive) + ":\\"; }

// The root and the first `count` components, separated by backslashes.
std::string Display(const ParsedPath& p, size_t count);

// "C:\" for the root's children, "C:\A\" for those of "C:\A".
inline std::string ChildPrefix(const std::string& key) {
    return key.back() == '\\' ? key : key + "\\";
}

inline std::string Join(const std::string& parentPath, const std::string& name) {
    return ChildPrefix(parentPath) + name;
}

// The lookup key of the parent; "" for a drive root.
std::string ParentKey(const std::string& key);

// The last component; a drive root is its own.
std::string LeafName(const std::string& path);

}  // namespace sim
