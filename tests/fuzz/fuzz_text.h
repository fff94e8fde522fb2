#pragma once
// Fuzz input as the program holds text: NUL-terminated in a buffer of exactly
// its length, so that AddressSanitizer sees a read one byte too far.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

class FuzzText {
public:
    // The bytes up to the first NUL, at most maxLength of them.
    FuzzText(const uint8_t* data, size_t size, size_t maxLength) {
        const void* nul = std::memchr(data, 0, size);
        length_ = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
        if (length_ > maxLength) length_ = maxLength;
        text_.reset(new char[length_ + 1]);
        std::memcpy(text_.get(), data, length_);
        text_[length_] = '\0';
    }
    char* get() { return text_.get(); }
    size_t length() const { return length_; }

private:
    std::unique_ptr<char[]> text_;
    size_t length_;
};
