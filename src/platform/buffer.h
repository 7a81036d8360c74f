// Bytes the profile stand-in owns, over malloc and realloc: the one place
// where it allocates, grows and frees memory (buffer.cpp). Everything else
// looks at bytes through std::string_view.
//
// Running out of memory ends the run where it happens, as every run ends:
// status 1, nothing printed. The settings file is only ever replaced whole,
// so it stays as it was; and a read that went on with its default would
// make the incapable program write where the value it could not read says
// not to.
#ifndef TARVOPROBE_PLATFORM_BUFFER_H_
#define TARVOPROBE_PLATFORM_BUFFER_H_

#include <cstddef>
#include <string_view>

class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::string_view s) { Append(s); }
  ~Buffer();
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&& other) noexcept;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // NUL-ended, for the system calls that take a name.
  const char* c_str() const { return data_ ? data_ : ""; }
  char* data() { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  operator std::string_view() const { return {c_str(), size_}; }

  // Room for exactly n bytes; those past the old size are left unset, for
  // a read to fill.
  void Resize(size_t n);
  Buffer& Append(std::string_view s);
  Buffer& Append(char c) { return Append(std::string_view(&c, 1)); }

 private:
  // Room for n bytes and a NUL, growing to `room` bytes (n <= room).
  void Reserve(size_t n, size_t room);

  char* data_ = nullptr;
  size_t size_ = 0, room_ = 0;  // room_: bytes allocated, the NUL's included
};

#endif  // TARVOPROBE_PLATFORM_BUFFER_H_
