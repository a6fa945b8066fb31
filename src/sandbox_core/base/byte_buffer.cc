#include "sandbox_core/base/byte_buffer.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <utility>
#include <vector>

#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/thread.h"

namespace sandbox {
namespace {

constexpr size_t kFirstCapacity = 64 * 1024;
// Below this the heap serves (most outputs are small and a mapping costs system calls);
// from here on the buffer lives in its own mapping, which grows without copying.
constexpr size_t kMapFrom = 1024 * 1024;
// A mapping is faulted in this far ahead of the write position, in one call per step
// instead of one page fault per page written.
constexpr size_t kPrefaultStep = 4 * 1024 * 1024;

std::atomic<size_t> g_page_offset{0};

}  // namespace

ByteBuffer::ByteBuffer(ByteBuffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      capacity_(std::exchange(o.capacity_, 0)),
      prefaulted_(std::exchange(o.prefaulted_, 0)),
      lead_(std::exchange(o.lead_, 0)),
      mapped_(std::exchange(o.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& o) noexcept {
  if (this != &o) {
    release();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    capacity_ = std::exchange(o.capacity_, 0);
    prefaulted_ = std::exchange(o.prefaulted_, 0);
    lead_ = std::exchange(o.lead_, 0);
    mapped_ = std::exchange(o.mapped_, false);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::release() noexcept {
  if (mapped_) {
    unmap_memory(data_ - lead_, lead_ + capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = prefaulted_ = lead_ = 0;
  mapped_ = false;
}

size_t ByteBuffer::make_room(size_t limit) {
  if (size_ >= limit) return 0;
  if (size_ == capacity_) grow(limit);
  if (mapped_ && prefaulted_ < std::min(capacity_, limit) &&
      size_ + kPrefaultStep / 2 > prefaulted_) {
    size_t upto = std::min({capacity_, limit, size_ + kPrefaultStep});
    if (upto > prefaulted_) prefault_for_write(data_ + prefaulted_, upto - prefaulted_);
    prefaulted_ = std::max(prefaulted_, upto);
  }
  return std::min(capacity_, limit) - size_;
}

void ByteBuffer::grow(size_t limit) {
  size_t want = std::min(std::max(capacity_ * 2, kFirstCapacity), std::max(limit, size_ + 1));
  if (want < kMapFrom) {
    void* p = std::realloc(data_, want);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
  } else if (!mapped_) {
    const size_t lead = g_page_offset.load(std::memory_order_relaxed);
    void* p = map_memory(lead + want);
    if (p == nullptr) throw std::bad_alloc();
    char* at = static_cast<char*>(p) + lead;
    if (size_ > 0) std::memcpy(at, data_, size_);
    std::free(data_);
    data_ = at;
    lead_ = lead;
    mapped_ = true;
    prefaulted_ = 0;
  } else {
    void* p = grow_mapping(data_ - lead_, lead_ + capacity_, lead_ + want);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p) + lead_;
  }
  capacity_ = want;
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

void ByteBuffer::drop_front(size_t n) noexcept {
  if (n == 0) return;
  std::memmove(data_, data_ + n, size_ - n);
  size_ -= n;
}

void ByteBuffer::set_page_offset(size_t offset) noexcept {
  g_page_offset.store(offset % page_size(), std::memory_order_relaxed);
}

namespace {

// Moves the whole pages of a copy whose two ends start at the same offset in a page,
// copying only the partial pages at either end. False where nothing was moved.
bool move_whole_pages(const ByteCopy& c) {
  const uintptr_t page = page_size();
  const auto to = reinterpret_cast<uintptr_t>(c.to);
  const auto from = reinterpret_cast<uintptr_t>(c.from);
  if (((to ^ from) & (page - 1)) != 0) return false;
  const uintptr_t first = (to + page - 1) & ~(page - 1);
  const uintptr_t last = (to + c.size) & ~(page - 1);
  if (last <= first) return false;
  const size_t head = first - to;
  if (!move_pages(reinterpret_cast<void*>(first), const_cast<char*>(c.from) + head, last - first))
    return false;
  std::memcpy(c.to, c.from, head);
  const size_t done = last - to;
  std::memcpy(c.to + done, c.from + done, c.size - done);
  return true;
}

void copy_now(std::span<const ByteCopy> copies, Sources after) {
  for (const ByteCopy& c : copies) {
    prefault_for_write(c.to, c.size);
    std::memcpy(c.to, c.from, c.size);
    // Heap memory (below kMapFrom) is left to free(); mappings give their pages back.
    if (after == Sources::Drop && c.size >= kMapFrom) drop_pages(const_cast<char*>(c.from), c.size);
  }
}

}  // namespace

void copy_bytes(std::span<const ByteCopy> copies, Sources after) {
  // Moving pages takes a fraction of a copy's time: done here first, whole.
  std::vector<ByteCopy> rest;
  size_t total = 0;
  for (const ByteCopy& c : copies) {
    if (after == Sources::Drop && c.size >= kMovePagesFrom && move_whole_pages(c)) continue;
    rest.push_back(c);
    total += c.size;
  }
  if (total < kParallelCopyBytes) return copy_now(rest, after);
  // Split the list at half of the bytes, cutting one copy in two where the half falls.
  std::vector<ByteCopy> first, second;
  size_t left = total / 2;
  for (const ByteCopy& c : rest) {
    size_t take = std::min(left, c.size);
    if (take > 0) first.push_back({c.to, c.from, take});
    if (take < c.size) second.push_back({c.to + take, c.from + take, c.size - take});
    left -= take;
  }
  auto helper = start_thread(nullptr, [&first, after] { copy_now(first, after); });
  copy_now(second, after);
  if (!helper || !helper->join()) copy_now(first, after);  // no second thread: all here
}

std::ostream& operator<<(std::ostream& os, const ByteBuffer& b) { return os << b.view(); }

}  // namespace sandbox
