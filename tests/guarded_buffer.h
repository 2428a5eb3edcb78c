// Test arrays that end exactly where an inaccessible page begins, so that
// any read or write past the end faults at once; they can also be made
// read-only, so that a write into an input faults too.
#ifndef PUPIL_RADIAL_TESTS_GUARDED_BUFFER_H
#define PUPIL_RADIAL_TESTS_GUARDED_BUFFER_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

template <typename T>
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t count) : count_(count) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t bytes = count * sizeof(T);
    data_pages_ = (bytes + page - 1) / page * page;
    if (data_pages_ == 0) data_pages_ = page;
    // [guard][data ... data_end][guard]
    map_bytes_ = data_pages_ + 2 * page;
    void* base = mmap(nullptr, map_bytes_, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) std::abort();
    base_ = static_cast<char*>(base);
    region_ = base_ + page;
    if (mprotect(region_, data_pages_, PROT_READ | PROT_WRITE) != 0)
      std::abort();
    data_ = reinterpret_cast<T*>(region_ + data_pages_ - bytes);
  }
  GuardedBuffer(const std::vector<T>& values) : GuardedBuffer(values.size()) {
    if (!values.empty())
      std::memcpy(data_, values.data(), values.size() * sizeof(T));
  }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;
  ~GuardedBuffer() { munmap(base_, map_bytes_); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return count_; }
  T& operator[](size_t i) { return data_[i]; }
  std::vector<T> values() const {
    return std::vector<T>(data_, data_ + count_);
  }

  // After this any write faults; reads still end at the guard page.
  void make_read_only() {
    if (mprotect(region_, data_pages_, PROT_READ) != 0) std::abort();
  }

 private:
  size_t count_;
  size_t data_pages_ = 0;
  size_t map_bytes_ = 0;
  char* base_ = nullptr;
  char* region_ = nullptr;
  T* data_ = nullptr;
};

#endif
