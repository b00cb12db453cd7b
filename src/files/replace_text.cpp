// In-place text replacement inside a file of 16-bit little-endian
// characters, given 8-bit search and replacement texts.
//
// The former content stays at its path until the new content is completely
// on disk: the new content goes to a fresh file beside the original, the
// original is moved aside, the new file is moved to the path, and only then
// is the original deleted. Only MoveFileA, DeleteFileA and SetFileAttributesA
// are used for the swap: MoveFileEx and ReplaceFile do not exist on Windows
// 95/98/ME.
#include "files/files.h"

#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

namespace {

// Lengths are 32-bit signed counts: the file and the rewritten content.
const DWORD kMaxLength = 0x7FFFFFFF;

// Sibling names tried for the new content and for the moved-aside original.
// Leftovers of an earlier run that was cut short are never reused or
// deleted: they may hold the only copy of a former file.
const unsigned kSiblingNames = 100;

// malloc'd memory released on every path; a failed allocation is a result,
// not an exception (the shipped program has none).
struct Buffer {
    unsigned char* data = nullptr;
    Buffer() = default;
    ~Buffer() { std::free(data); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    bool Allocate(size_t size) {
        std::free(data);
        data = static_cast<unsigned char*>(std::malloc(size));
        return data != nullptr;
    }
};

// The first of "<path>.~<tag>00" to "<path>.~<tag>99" that names no entry,
// or "" when all are taken.
std::string FreeSiblingName(const std::string& path, const char* tag) {
    for (unsigned n = 0; n < kSiblingNames; ++n) {
        std::string name = FormatText("%s.~%s%02u", path.c_str(), tag, n);
        DWORD attributes = 0;
        if (!FindEntry(name, attributes)) return name;
    }
    return std::string();
}

// The offset of the first occurrence of `search` in the low bytes starting
// at that offset (byte p + 2k equals character k; any p, even or odd), or
// `length` when there is none. No byte at or past `length` is read.
size_t FindOccurrence(const unsigned char* input, size_t length, const std::string& search) {
    const size_t last = search.size() - 1;  // search is not empty
    const unsigned char first = static_cast<unsigned char>(search[0]);
    for (size_t i = 0; i < length; ++i) {
        // The next byte equal to the first character (memchr: the files run
        // to megabytes, the candidates are few).
        const void* next = std::memchr(input + i, first, length - i);
        if (next == nullptr) return length;
        i = static_cast<size_t>(static_cast<const unsigned char*>(next) - input);
        // Byte i + 2 * last must lie within the input.
        if (last > (length - 1 - i) / 2) continue;
        size_t k = 1;
        while (k <= last && input[i + 2 * k] == static_cast<unsigned char>(search[k])) ++k;
        if (k > last) return i;
    }
    return length;
}

// Reads the whole file with the open step that shuts everyone else out: a
// file in use or read-only fails here and stays as it was.
bool ReadWholeFile(const std::string& path, Buffer& content, DWORD& length) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    // The failure value 0xFFFFFFFF is past the limit as well.
    if (high != 0 || low > kMaxLength) {
        CloseHandle(file);
        return false;
    }
    DWORD read = 0;
    const bool whole = content.Allocate(static_cast<size_t>(low) + 1) &&
                       ReadFile(file, content.data, low, &read, nullptr) && read == low;
    CloseHandle(file);
    length = low;
    return whole;
}

// A new file at `path` (which must not exist) holding exactly the bytes
// given; on any failure nothing is left at `path`.
bool WriteNewFile(const std::string& path, const unsigned char* data, DWORD length) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool whole = WriteFile(file, data, length, &written, nullptr) && written == length;
    const bool closed = CloseHandle(file) != FALSE;
    if (whole && closed) return true;
    ForceDeleteFile(path);
    return false;
}

// Puts the complete new file at `fresh` in the place of the file at `path`,
// whose bytes are `former`. False when a move fails: the former content is
// back at `path` (moved back, or written anew from memory when even the way
// back fails) and `fresh` is deleted. Only when that too fails are both
// files left where they are, so that neither content is lost.
bool SwapInto(const std::string& path, const std::string& fresh, const unsigned char* former,
              DWORD formerLength) {
    const std::string aside = FreeSiblingName(path, "zb");
    if (aside.empty() || !MoveFileA(path.c_str(), aside.c_str())) {
        ForceDeleteFile(fresh);
        return false;
    }
    if (!MoveFileA(fresh.c_str(), path.c_str())) {
        if (MoveFileA(aside.c_str(), path.c_str())) {
            ForceDeleteFile(fresh);
        } else if (WriteNewFile(path, former, formerLength)) {
            ForceDeleteFile(aside);
            ForceDeleteFile(fresh);
        }
        return false;
    }
    // The former file went aside with its attributes; hidden or system does
    // not keep ForceDeleteFile from deleting it.
    ForceDeleteFile(aside);
    return true;
}

}  // namespace

bool ReplaceTextInFile(const std::string& path, const std::string& search,
                       const std::string& replacement) {
    if (search.empty()) return false;
    if (!IsExistingFile(path)) return false;

    Buffer input;
    DWORD length = 0;
    if (!ReadWholeFile(path, input, length)) return false;
    const unsigned char* in = input.data;

    // Result: the bytes before the occurrence, the replacement with a zero
    // high byte after each character, and the bytes after the occurrence
    // (none when it ends on, or one byte past, the end of an odd-length file).
    const size_t at = FindOccurrence(in, length, search);
    size_t head = length, tail = 0, inserted = 0;
    if (at < length) {
        head = at;
        const size_t after = at + 2 * search.size();
        tail = after < length ? length - after : 0;
        if (replacement.size() > (kMaxLength - head - tail) / 2) return false;
        inserted = 2 * replacement.size();
    }
    const size_t resultLength = head + inserted + tail;
    Buffer output;
    if (!output.Allocate(resultLength + 1)) return false;
    std::memcpy(output.data, in, head);
    for (size_t k = 0; k < inserted / 2; ++k) {
        output.data[head + 2 * k] = static_cast<unsigned char>(replacement[k]);
        output.data[head + 2 * k + 1] = 0;
    }
    std::memcpy(output.data + head + inserted, in + (length - tail), tail);

    const std::string fresh = FreeSiblingName(path, "zt");
    if (fresh.empty()) return false;
    if (!WriteNewFile(fresh, output.data, static_cast<DWORD>(resultLength))) return false;
    return SwapInto(path, fresh, in, length);
}
