#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fuzz {

// Reads a fuzz input as a script of records, so that seeds can be written by
// hand and mutations keep their shape:
//
//   op (1 byte) [length (2 bytes, little endian) payload]   for data ops
//
// What an op means is up to the target; `has_payload(op)` says whether a
// length and payload follow it. A record cut short takes what is left.
class script_input {
public:
    script_input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <class HasPayload>
    bool next(std::uint8_t& op, std::string_view& payload, HasPayload has_payload)
    {
        if (at_ >= size_)
            return false;
        op = data_[at_++];
        payload = {};
        if (!has_payload(op))
            return true;
        std::size_t length = 0;
        for (int i = 0; i < 2 && at_ < size_; ++i)
            length |= static_cast<std::size_t>(data_[at_++]) << (8 * i);
        length = length < size_ - at_ ? length : size_ - at_;
        payload = {reinterpret_cast<const char*>(data_ + at_), length};
        at_ += length;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace fuzz
