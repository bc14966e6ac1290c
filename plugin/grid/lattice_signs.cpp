#include "grid/lattice_signs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void ComputeRowSigns(const float* values, int32_t count, float iso, uint64_t* words) {
  int32_t k = 0;
  int32_t w = 0;
#if defined(__SSE2__)
  const __m128 level = _mm_set1_ps(iso);
  for (; k + 64 <= count; k += 64, ++w) {
    uint64_t bits = 0;
    for (int q = 0; q < 16; ++q) {
      const __m128 v = _mm_loadu_ps(values + k + 4 * q);
      bits |= static_cast<uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(v, level))) << (4 * q);
    }
    words[w] = bits;
  }
#endif
  for (; k < count; k += 64, ++w) {
    uint64_t bits = 0;
    const int32_t end = std::min(count - k, 64);
    for (int32_t b = 0; b < end; ++b) bits |= static_cast<uint64_t>(values[k + b] > iso) << b;
    words[w] = bits;
  }
}
