#pragma once
// Large work buffers of the line detection. A 4000 x 3000 float image is
// 48 MB, and the detector touches several of them for the first time; with
// 4 KB pages that first touch costs more than the filtering itself. The
// buffers are therefore offered to the kernel for transparent huge pages
// before their first touch. This changes nothing but the page size.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/errors.hpp"
#include "base/hugepages.hpp"

namespace quadrix::detail {

// A zero-filled buffer of floats (at least one); an exhausted allocation is
// reported through OutOfMemory.
class FloatBuffer {
 public:
  explicit FloatBuffer(std::size_t count) {
    if (count == 0) count = 1;
    data_ = static_cast<float*>(std::calloc(count, sizeof(float)));
    if (data_ == nullptr) OutOfMemory();
    AdviseHugePages(data_, count * sizeof(float));
  }
  ~FloatBuffer() { std::free(data_); }
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;

  float* data() { return data_; }

 private:
  float* data_ = nullptr;
};

}  // namespace quadrix::detail
