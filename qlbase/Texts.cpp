#include "qlbase.h"
#include <cstring>

const char whitespace[] = " \t\r\n\v\f";

void rtrim(string& text) {
    const std::string& s = text.str();
    size_t end = s.find_last_not_of(whitespace);
    if (end == std::string::npos) { if (!text.IsNull()) text = string(""); return; }
    if (end + 1 != s.size()) text = string(s.substr(0, end + 1));
}

void trim(string& text) {
    rtrim(text);
    const std::string& s = text.str();
    size_t begin = s.find_first_not_of(whitespace);
    if (begin != std::string::npos && begin != 0) text = string(s.substr(begin));
}

BlockBuffer::BlockBuffer(size_t blockSize, size_t growth)
    : blockSize_(blockSize ? blockSize : 1), growth_(growth ? growth : 1) {}

void BlockBuffer::InsertBlocks(const void* source, long position, size_t count) {
    size_t at = position < 0 ? data_.size() : std::min(size_t(position) * blockSize_, data_.size());
    size_t bytes = count * blockSize_;
    if (data_.capacity() < data_.size() + bytes) {
        size_t step = growth_ * blockSize_;
        data_.reserve((data_.size() + bytes + step - 1) / step * step);
    }
    data_.insert(data_.begin() + at, bytes, 0);
    if (source) std::memcpy(&data_[at], source, bytes);
}

void BlockBuffer::DeleteBlocks(size_t position, size_t count) {
    size_t at = std::min(position * blockSize_, data_.size());
    size_t bytes = std::min(count * blockSize_, data_.size() - at);
    data_.erase(data_.begin() + at, data_.begin() + at + bytes);
}
