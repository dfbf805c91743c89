// Text from outside (options, scenario files) quoted in messages.
#include "excerpt.h"

namespace ktsensors {

std::string Excerpt(const std::string &text, size_t limit)
{
    size_t length = text.size();
    bool cut = length > limit;
    if (cut) {
        length = limit > 3 ? limit - 3 : 0;
        // Never split a UTF-8 sequence.
        while (length > 0 && ((unsigned char)text[length] & 0xC0) == 0x80)
            --length;
    }
    std::string out = text.substr(0, length);
    for (char &c : out)
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    return cut ? out + "..." : out;
}

} // namespace ktsensors
