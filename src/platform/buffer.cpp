#include "platform/buffer.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

Buffer::~Buffer() { std::free(data_); }

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      room_(std::exchange(other.room_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(room_, other.room_);
  return *this;
}

void Buffer::Resize(size_t n) {
  if (n == 0 && !data_) return;  // nothing to hold: nothing allocated
  Reserve(n, n);
  size_ = n;
  data_[n] = '\0';
}

Buffer& Buffer::Append(std::string_view s) {
  if (s.empty()) return *this;
  const size_t n = size_ + s.size();
  Reserve(n, n + n / 2 + 16);
  std::memcpy(data_ + size_, s.data(), s.size());
  size_ = n;
  data_[n] = '\0';
  return *this;
}

void Buffer::Reserve(size_t n, size_t room) {
  if (n < room_) return;
  void* grown = n < SIZE_MAX / 2 ? std::realloc(data_, room + 1) : nullptr;
  if (!grown) _exit(1);
  data_ = static_cast<char*>(grown);
  room_ = room + 1;
}
