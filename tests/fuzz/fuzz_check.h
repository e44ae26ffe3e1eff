// Fuzz-target support: a check that stops the run with a message, so
// libFuzzer keeps the input that broke it, and a reader that takes typed
// values off the front of the fuzzer's bytes.
// Thread: the fuzzer's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tonegate_fuzz {

inline void Require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Values taken off the front of the input; once it is used up every value is 0.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }

    template <typename Value>
    Value Take() {
        Value value{};
        const size_t bytes = sizeof value < size_ ? sizeof value : size_;
        std::memcpy(&value, data_, bytes);
        data_ += bytes;
        size_ -= bytes;
        return value;
    }

    // Text up to the next zero byte (or the end), at most `limit` bytes.
    std::string TakeText(size_t limit) {
        size_t length = 0;
        while (length < size_ && length < limit && data_[length] != 0) ++length;
        std::string text(reinterpret_cast<const char*>(data_), length);
        const size_t used = length < size_ && data_[length] == 0 ? length + 1 : length;
        data_ += used;
        size_ -= used;
        return text;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace tonegate_fuzz
