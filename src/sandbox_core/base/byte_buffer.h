// A growable byte buffer for captured output that may reach hundreds of MiB: callers
// read straight into its free tail, and growing it never copies what is kept once it is
// large (the pages are remapped). One owner; any thread; nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace sandbox {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&& o) noexcept;
  ByteBuffer& operator=(ByteBuffer&& o) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  const char* data() const noexcept { return data_ != nullptr ? data_ : ""; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data(), size_}; }
  std::string str() const { return std::string(view()); }

  // Grows the buffer so that at least one more byte fits, but never beyond `limit` bytes
  // in all, and returns how many bytes may now be written at tail(): 0 once size() has
  // reached `limit`. Throws std::bad_alloc when memory cannot be had.
  size_t make_room(size_t limit);
  char* tail() noexcept { return data_ + size_; }
  // Counts `n` bytes just written at tail() (n <= the room make_room returned).
  void commit(size_t n) noexcept { size_ += n; }
  void append(std::string_view bytes);
  // Forgets the first `n` bytes (n <= size()), moving the rest to the front.
  void drop_front(size_t n) noexcept;

  // Where in a page the data of the buffers that later grow into a mapping start: the
  // offset at which the memory of their one final copy starts (the interpreter's bytes
  // objects, say). With both at the same offset, copy_bytes moves whole pages instead of
  // copying them. Any value works; the last one set counts.
  static void set_page_offset(size_t offset) noexcept;

  friend bool operator==(const ByteBuffer& a, std::string_view b) noexcept { return a.view() == b; }

 private:
  void release() noexcept;
  void grow(size_t limit);

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t prefaulted_ = 0;  // of a mapping: bytes from the start known to be faulted in
  size_t lead_ = 0;        // of a mapping: where data_ starts in it
  bool mapped_ = false;    // capacity_ bytes of mapped pages, else from malloc
};

// One copy of kept bytes into memory that the caller allocated and owns.
struct ByteCopy {
  char* to;
  const char* from;
  size_t size;
};
// Performs every copy, faulting each destination's pages in first with one call. From
// kParallelCopyBytes in all, half of the bytes are copied on a second, unnamed thread
// meanwhile (there is no Python on either side, so the caller can release the
// interpreter lock around this). Blocks until every byte is in place.
// With Sources::Drop the caller is done with the sources: each thread gives the pages it
// copied from back to the system as it goes (ByteBuffer mappings only, which then read
// as zero), so that freeing the buffers afterwards costs next to nothing; and where a
// mapping's bytes (kMovePagesFrom or more) and their destination start at the same
// offset in a page, the whole pages between are moved there instead of copied (no
// fresh page is filled twice).
inline constexpr size_t kParallelCopyBytes = 8 << 20;
// Pages are moved only into destinations this large: the C library maps each such block
// on its own (whatever its mapping threshold has grown to, at most 32 MiB) and unmaps it
// whole when it is freed, so the moved pages leave no split mapping behind in memory that
// lives on and is reused.
inline constexpr size_t kMovePagesFrom = size_t{32} << 20;
enum class Sources : uint8_t { Keep, Drop };
void copy_bytes(std::span<const ByteCopy> copies, Sources after = Sources::Keep);

// Prints the bytes as they are (for test failure messages).
std::ostream& operator<<(std::ostream& os, const ByteBuffer& b);

}  // namespace sandbox
