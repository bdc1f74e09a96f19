#include "mediacap/http/ip_to_string.hpp"

#include <cstring>

namespace mediacap {

std::string ip_to_string(std::uint32_t address)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    std::string text;
    text.reserve(15);
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            text += '.';
        text += std::to_string(bytes[i]);
    }
    return text;
}

}  // namespace mediacap
