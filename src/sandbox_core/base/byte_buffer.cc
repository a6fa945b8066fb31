#include "sandbox_core/base/byte_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <utility>

#include "sandbox_core/base/platform.h"

namespace sandbox {
namespace {

constexpr size_t kFirstCapacity = 64 * 1024;
// Below this the heap serves (most outputs are small and a mapping costs system calls);
// from here on the buffer lives in its own mapping, which grows without copying.
constexpr size_t kMapFrom = 1024 * 1024;

}  // namespace

ByteBuffer::ByteBuffer(ByteBuffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      capacity_(std::exchange(o.capacity_, 0)),
      mapped_(std::exchange(o.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& o) noexcept {
  if (this != &o) {
    release();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    capacity_ = std::exchange(o.capacity_, 0);
    mapped_ = std::exchange(o.mapped_, false);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::release() noexcept {
  if (mapped_) {
    unmap_memory(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

size_t ByteBuffer::make_room(size_t limit) {
  if (size_ >= limit) return 0;
  if (size_ < capacity_) return std::min(capacity_, limit) - size_;
  size_t want = std::min(std::max(capacity_ * 2, kFirstCapacity), std::max(limit, size_ + 1));
  if (want < kMapFrom) {
    void* p = std::realloc(data_, want);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
  } else if (!mapped_) {
    want = std::max(want, kMapFrom);
    void* p = map_memory(want);
    if (p == nullptr) throw std::bad_alloc();
    if (size_ > 0) std::memcpy(p, data_, size_);
    std::free(data_);
    data_ = static_cast<char*>(p);
    mapped_ = true;
  } else {
    void* p = grow_mapping(data_, capacity_, want);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
  }
  capacity_ = want;
  return std::min(capacity_, limit) - size_;
}

void ByteBuffer::append(std::string_view bytes) {
  while (!bytes.empty()) {
    size_t room = make_room(size_ + bytes.size());
    size_t take = std::min(room, bytes.size());
    std::memcpy(tail(), bytes.data(), take);
    commit(take);
    bytes.remove_prefix(take);
  }
}

std::ostream& operator<<(std::ostream& os, const ByteBuffer& b) { return os << b.view(); }

}  // namespace sandbox
