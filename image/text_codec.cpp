// Names compared as the registry and the file system compare them.
#include "image/text_codec.h"

namespace image {

std::string UpperAscii(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c - (static_cast<unsigned char>(c - 'a') < 26 ? 'a' - 'A' : 0));
    return text;
}

}  // namespace image
