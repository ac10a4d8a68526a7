// YuvScaler: every method has a plain portable implementation and, on
// x86-64, vector kernels (SSE2, and SSSE3 or AVX2 when the processor has
// them, checked at run time) for the shapes that dominate in practice.  A
// kernel either produces exactly the bytes of the portable code or declines
// (before writing anything) and leaves the call to it.  Defining
// YUVSCALER_PORTABLE removes the vector kernels, YUVSCALER_NO_AVX2 the AVX2
// ones, so that each path can be tested on its own.
//
// Arithmetic is done in reduced units.  Along an axis with source length n
// and destination length m, g = gcd(n, m) divides every column (or row)
// boundary n*i and every footprint boundary m*j of the area average, so all
// overlaps are multiples of g; dividing them by g divides S and W by the
// same constant factor, which leaves (S + W/2) / W unchanged (for integers
// k >= 1, A >= 0, B >= 1: (kA + floor(kB/2)) div kB = (A + floor(B/2)) div B,
// checked separately for even and odd kB).  The same argument shows that the
// weight of a footprint lying within one column, which the formula takes as
// m - (x*n mod m), may be replaced by any constant, in particular by the
// true overlap n/g: then every footprint's weights add up to n/g, and W is
// (sw/gc) * (sh/gr) for the whole plane, a constant per call.

#include "scaler/yuvscaler.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#if !defined(YUVSCALER_PORTABLE) && defined(__GNUC__) && defined(__x86_64__)
#define YUVSCALER_X86 1
#include <immintrin.h>
// YUVSCALER_NO_AVX2 keeps the scaler on its SSSE3 kernels (for testing them
// on machines that have AVX2), YUVSCALER_NO_AVX512 on its AVX2 ones.
#if !defined(YUVSCALER_NO_AVX2)
#define YUVSCALER_AVX2 1
#if !defined(YUVSCALER_NO_AVX512)
#define YUVSCALER_AVX512 1
#endif
// GCC 12's own AVX-512 intrinsics pass _mm512_undefined_epi32() as the
// unused source of their unmasked forms, which its flow analysis then
// reports as uninitialised; the AVX-512 kernels sit between these two.
#if defined(__clang__)
#define AVX512_INTRINSICS_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#else
#define AVX512_INTRINSICS_BEGIN                                                        \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wuninitialized\"") \
      _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#endif
#define AVX512_INTRINSICS_END _Pragma("GCC diagnostic pop")
#endif
#endif

namespace {

// Storage for the vector kernels' tables, aligned to a cache line: a
// 64-byte load from a line boundary is one access, from anywhere else two,
// and the AVX-512 kernels load a table vector for every vector they make.
template <typename T>
struct LineAligned {
  using value_type = T;
  LineAligned() = default;
  template <typename U>
  LineAligned(const LineAligned<U>&) {}
  T* allocate(size_t n) {
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(64)));
  }
  void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t(64)); }
  template <typename U>
  bool operator==(const LineAligned<U>&) const {
    return true;
  }
  template <typename U>
  bool operator!=(const LineAligned<U>&) const {
    return false;
  }
};
template <typename T>
using TableVector = std::vector<T, LineAligned<T>>;

// Sizes come from a 32-bit interface.  Keeping each below 2^31 keeps every
// product of two sizes or indexes below 2^62.
constexpr long kMaxSide = 0x7FFFFFFF;

bool IsPlaneSize(long width, long height) {
  return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide;
}

// True when large_w x large_h is exactly `factor` times small_w x small_h
// (sizes already checked, so the products fit in 64 bits).
bool IsRatio(long large_w, long large_h, long small_w, long small_h, int64_t factor) {
  return large_w == factor * small_w && large_h == factor * small_h;
}

int64_t GreatestCommonDivisor(int64_t a, int64_t b) {
  while (b != 0) {
    const int64_t rest = a % b;
    a = b;
    b = rest;
  }
  return a;
}

// Walks the footprints of consecutive destination samples along one axis.
// In the units used here a source sample is `dst_len` long and a destination
// sample `src_len`, so destination sample i covers [i*src_len,
// (i+1)*src_len).  Steps are incremental: no division after Seek.
class Footprints {
 public:
  Footprints(int64_t src_len, int64_t dst_len)
      : src_len_(src_len),
        dst_len_(dst_len),
        whole_step_(src_len / dst_len),
        offset_step_(src_len % dst_len) {
    Seek(0);
  }

  // Moves to destination sample i (0 <= i < 2^31).
  void Seek(int64_t i) {
    first_ = i * src_len_ / dst_len_;
    offset_ = i * src_len_ % dst_len_;
    Measure();
  }

  // Moves to the next destination sample.
  void Next() {
    first_ = end_whole_;
    offset_ = end_offset_;
    Measure();
  }

  // First source sample touched, one past the last, and their number.
  int64_t first() const { return first_; }
  int64_t end() const { return end_; }
  int64_t count() const { return end_ - first_; }

  // Overlaps of the first and last source sample; equal, and the whole
  // footprint length, when only one sample is touched.
  int64_t first_weight() const { return count() == 1 ? src_len_ : dst_len_ - offset_; }
  int64_t last_weight() const {
    if (count() == 1) return src_len_;
    return end_offset_ != 0 ? end_offset_ : dst_len_;
  }
  // Weight of every source sample strictly between the first and the last.
  int64_t inner_weight() const { return dst_len_; }

  // Weight of source sample i, first() <= i < end().
  int64_t Weight(int64_t i) const {
    if (i == first_) return first_weight();
    if (i == end_ - 1) return last_weight();
    return dst_len_;
  }

 private:
  void Measure() {
    end_whole_ = first_ + whole_step_;
    end_offset_ = offset_ + offset_step_;
    if (end_offset_ >= dst_len_) {
      end_offset_ -= dst_len_;
      ++end_whole_;
    }
    end_ = end_whole_ + (end_offset_ != 0 ? 1 : 0);
  }

  // Set in the constructor, never changed.
  const int64_t src_len_;
  const int64_t dst_len_;
  const int64_t whole_step_;
  const int64_t offset_step_;
  // The current footprint starts at first_*dst_len_ + offset_ and ends at
  // end_whole_*dst_len_ + end_offset_ (0 <= offsets < dst_len_).
  int64_t first_ = 0;
  int64_t offset_ = 0;
  int64_t end_whole_ = 0;
  int64_t end_offset_ = 0;
  int64_t end_ = 0;
};

// floor(x * sw / dw) for x = start, start + 1, ...: one division to start,
// then an add and a compare per step (the products stay below 2^62).
class Picks {
 public:
  Picks(int64_t sw, int64_t dw, int64_t start)
      : dw_(dw),
        whole_step_(sw / dw),
        rest_step_(sw % dw),
        pick_(start * sw / dw),
        rest_(start * sw % dw) {}

  int64_t pick() const { return pick_; }

  void Next() {
    pick_ += whole_step_;
    rest_ += rest_step_;
    if (rest_ >= dw_) {
      rest_ -= dw_;
      ++pick_;
    }
  }

 private:
  const int64_t dw_;
  const int64_t whole_step_;
  const int64_t rest_step_;
  int64_t pick_;
  int64_t rest_;  // x * sw mod dw
};

// Computes (sum + total/2) / total for 0 <= sum <= 255 * total.
//
// For totals up to 2^23 it multiplies by a reciprocal instead of dividing:
// with n = sum + total/2 < 2^l, k = l + ceil(log2(total)) and
// m = ceil(2^k / total), e = m*total - 2^k lies in [0, total) and
// n*m / 2^k = n/total + n*e / (total * 2^k), where the second term is below
// 1/total; it cannot carry the quotient past the next integer, so the shift
// gives the exact quotient.  There l <= 31, m < 2^(l+1) + 1 and n*m < 2^64.
class RoundingDivider {
 public:
  explicit RoundingDivider(uint64_t total) : total_(total), half_(total / 2) {
    if (total > kMaxReciprocalTotal) return;
    const uint64_t largest = 255 * total + half_;
    int value_bits = 0;
    while ((largest >> value_bits) != 0) ++value_bits;
    int total_bits = 0;
    while ((uint64_t{1} << total_bits) < total) ++total_bits;
    shift_ = value_bits + total_bits;
    multiplier_ = ((uint64_t{1} << shift_) + total - 1) / total;
  }

  uint8_t Divide(uint64_t sum) const {
    const uint64_t n = sum + half_;
    if (multiplier_ != 0) return static_cast<uint8_t>((n * multiplier_) >> shift_);
    return static_cast<uint8_t>(n / total_);
  }

 private:
  static constexpr uint64_t kMaxReciprocalTotal = uint64_t{1} << 23;

  const uint64_t total_;
  const uint64_t half_;
  uint64_t multiplier_ = 0;  // 0: divide
  int shift_ = 0;
};

// Sum of weight * sample over the source samples of one row (or column,
// with `step` the distance between them) that `f` covers.  Below 255 * the
// footprint length.
uint64_t WeightedSum(const uint8_t* line, int64_t step, const Footprints& f) {
  const int64_t first = f.first();
  const int64_t last = f.end() - 1;
  if (first == last) return static_cast<uint64_t>(f.first_weight()) * line[first * step];
  uint64_t inner = 0;
  for (int64_t i = first + 1; i < last; ++i) inner += line[i * step];
  return static_cast<uint64_t>(f.first_weight()) * line[first * step] +
         static_cast<uint64_t>(f.inner_weight()) * inner +
         static_cast<uint64_t>(f.last_weight()) * line[last * step];
}

// The area average for any sizes.  The sums are 64-bit: S is below
// 255 * (sw/gc) * (sh/gr) <= 255 * sw * sh, and a source plane that exists
// in memory has fewer than 2^48 samples, so S < 2^56.
void AreaAveragePortable(const uint8_t* src, int64_t sw, int64_t sh, uint8_t* dst, int64_t dw,
                         int64_t dh) {
  const int64_t gc = GreatestCommonDivisor(sw, dw);
  const int64_t gr = GreatestCommonDivisor(sh, dh);
  Footprints cols(sw / gc, dw / gc);
  Footprints rows(sh / gr, dh / gr);
  const RoundingDivider divider(static_cast<uint64_t>(sw / gc) * static_cast<uint64_t>(sh / gr));
  for (int64_t y = 0; y < dh; ++y, rows.Next()) {
    uint8_t* out = dst + y * dw;
    cols.Seek(0);
    for (int64_t x = 0; x < dw; ++x, cols.Next()) {
      uint64_t sum = 0;
      for (int64_t r = rows.first(); r < rows.end(); ++r) {
        sum += static_cast<uint64_t>(rows.Weight(r)) * WeightedSum(src + r * sw, 1, cols);
      }
      out[x] = divider.Divide(sum);
    }
  }
}

// Exact 2:1 in both directions: every footprint is a 2 x 2 block with
// weights dw and dh, so S = dw*dh*(a+b+c+d) and W = 4*dw*dh, which gives
// (a + b + c + d + 2) >> 2.
void HalveRoundedPortable(const uint8_t* src, int64_t sw, uint8_t* dst, int64_t dw, int64_t dh) {
  for (int64_t y = 0; y < dh; ++y) {
    const uint8_t* a = src + 2 * y * sw;
    const uint8_t* b = a + sw;
    uint8_t* out = dst + y * dw;
    for (int64_t x = 0; x < dw; ++x) {
      out[x] = static_cast<uint8_t>((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) >> 2);
    }
  }
}

// Walks the destination rows of a nearest-sample scaling in runs: the rows
// of a run pick the same source row (floor(y * sh / dh)), so a kernel builds
// the run's first row once and copies it.
class PickedRows {
 public:
  PickedRows(int64_t sh, int64_t dh) : rows_(sh, dh), dh_(dh) {}

  // Moves to the next run; false after the last.
  bool Next() {
    y_ += count_;
    if (y_ >= dh_) return false;
    source_row_ = rows_.first();
    count_ = 0;
    while (y_ + count_ < dh_ && rows_.first() == source_row_) {
      ++count_;
      rows_.Next();
    }
    return true;
  }

  // The run's first destination row, its source row and its length (>= 1).
  int64_t y() const { return y_; }
  int64_t source_row() const { return source_row_; }
  int64_t count() const { return count_; }

 private:
  Footprints rows_;  // at destination row y_ + count_
  const int64_t dh_;
  int64_t y_ = 0;
  int64_t source_row_ = 0;
  int64_t count_ = 0;
};

// Copies row 0 of a run over rows `from` .. count - 1.
void CopyRunRows(uint8_t* out, int64_t dw, int64_t from, int64_t count) {
  for (int64_t k = from; k < count; ++k) memcpy(out + k * dw, out, static_cast<size_t>(dw));
}

// Nearest sample.  Destination rows that pick the same source row as the
// row above are copies of it.
void NearestPortable(const uint8_t* src, int64_t sw, int64_t sh, uint8_t* dst, int64_t dw,
                     int64_t dh) {
  PickedRows runs(sh, dh);
  while (runs.Next()) {
    const uint8_t* line = src + runs.source_row() * sw;
    uint8_t* out = dst + runs.y() * dw;
    Picks picks(sw, dw, 0);
    for (int64_t x = 0; x < dw; ++x, picks.Next()) out[x] = line[picks.pick()];
    CopyRunRows(out, dw, 1, runs.count());
  }
}

#if defined(YUVSCALER_X86)

// Widest destination that the vector kernels' tables (on the stack) cover.
constexpr int64_t kMaxVectorWidth = 2048;
// Longest vertical period that the kernels with row plans take (they then
// leave the shape to kernels that walk the rows).
constexpr int64_t kMaxPlannedRows = 4096;

// The 16-bit area kernel keeps sums in 16-bit lanes: a weighted sum is at
// most 255 * W + W/2, below 2^16 for W <= 256.  pmaddubsw takes weights as
// signed bytes, so a column weight (at most sw/gc) must stay below 128.
constexpr int64_t kMaxVectorTotalWeight = 256;
constexpr int64_t kMaxVectorColumnUnits = 127;
// Largest weight that pmaddubsw takes as a signed byte.
constexpr int64_t kMaxVectorByteWeight = 127;
// A footprint of at most kMaxVectorTotalWeight row units touches at most
// one more row than that.
constexpr int kMaxFootprintRows = kMaxVectorTotalWeight + 1;

// The tables of the last shapes a thread scaled, by the numbers that decide
// them.  A camera scales every frame of a stream alike, and a 4:2:0 image
// has two chroma planes of one size, so the tables are built once per
// stream instead of once per plane (building them costs about a tenth of
// scaling a small plane).  Failed builds are kept too, so that a shape the
// kernel declines is declined at once.  Each thread that scales has its own
// cache, made on its first use.
template <typename Tables, int kEntries = 4>
class TableCache {
 public:
  // The tables for `key`: from the cache, else made by build(Tables*) (a
  // bool, false when the shape is declined).  Null when declined.
  template <typename Build>
  static const Tables* Get(int64_t k0, int64_t k1, int64_t k2, Build build) {
    thread_local std::unique_ptr<TableCache> cache;
    if (!cache) cache.reset(new TableCache);
    return cache->Find(k0, k1, k2, build);
  }

 private:
  struct Entry {
    int64_t key[3] = {-1, -1, -1};
    bool built = false;
    Tables tables;
  };

  template <typename Build>
  const Tables* Find(int64_t k0, int64_t k1, int64_t k2, Build build) {
    for (int i = 0; i < kEntries; ++i) {
      Entry& e = entries_[i];
      if (e.key[0] == k0 && e.key[1] == k1 && e.key[2] == k2) return e.built ? &e.tables : nullptr;
    }
    Entry& e = entries_[next_];
    next_ = (next_ + 1) % kEntries;
    e.built = build(&e.tables);
    e.key[0] = k0;
    e.key[1] = k1;
    e.key[2] = k2;
    return e.built ? &e.tables : nullptr;
  }

  Entry entries_[kEntries];
  int next_ = 0;
};

// Run-time checks of the processor (for AVX2 also of the system's support
// for the 256-bit registers).
bool HasSsse3() { return __builtin_cpu_supports("ssse3"); }
#if defined(YUVSCALER_AVX2)
bool HasAvx2() { return __builtin_cpu_supports("avx2"); }
#endif
#if defined(YUVSCALER_AVX512)
// AVX-512 with byte and word operations and VBMI's byte permutation
// across a whole 64-byte register.
bool HasAvx512Vbmi() {
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
}
#endif

// Replication by 2 with SSE2 (always present on x86-64): interleaving a
// vector with itself doubles each byte.  The last block of a row may
// overlap the one before; it stores the same bytes again.
void Replicate2Row(const uint8_t* line, int64_t sw, uint8_t* out0, uint8_t* out1) {
  if (sw < 16) {
    for (int64_t c = 0; c < sw; ++c)
      out0[2 * c] = out0[2 * c + 1] = out1[2 * c] = out1[2 * c + 1] = line[c];
    return;
  }
  for (int64_t c = 0;; c += 16) {
    if (c > sw - 16) c = sw - 16;
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + c));
    const __m128i lo = _mm_unpacklo_epi8(v, v);
    const __m128i hi = _mm_unpackhi_epi8(v, v);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out0 + 2 * c), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out0 + 2 * c + 16), hi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + 2 * c), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + 2 * c + 16), hi);
    if (c == sw - 16) break;
  }
}

#if defined(YUVSCALER_AVX2)

// As Replicate2Row, 32 source samples per step: the quarter order 0, 2, 1, 3
// puts samples 0..7 and 8..15 in the low halves of the two 128-bit lanes,
// 16..23 and 24..31 in the high halves, so the in-lane unpacks double 0..15
// and 16..31 in order.  A remainder of 16 or more takes one 16-sample step
// (one store per row); what is left then, one 16-sample step that overlaps
// the one before.  The speed is that of the stores, so the steps are chosen
// to store each destination byte once where they can.
__attribute__((target("avx2"))) void Replicate2RowAvx2(const uint8_t* line, int64_t sw,
                                                       uint8_t* out0, uint8_t* out1) {
  if (sw < 16) {
    Replicate2Row(line, sw, out0, out1);
    return;
  }
  int64_t c = 0;
  for (; c + 32 <= sw; c += 32) {
    const __m256i v = _mm256_permute4x64_epi64(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + c)), 0xD8);
    const __m256i lo = _mm256_unpacklo_epi8(v, v);
    const __m256i hi = _mm256_unpackhi_epi8(v, v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out0 + 2 * c), lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out0 + 2 * c + 32), hi);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out1 + 2 * c), lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out1 + 2 * c + 32), hi);
  }
  while (c < sw) {
    if (c + 16 > sw) c = sw - 16;
    // Quarters 0, 0, 1, 1: the unpack doubles samples 0..7, then 8..15.
    const __m256i v = _mm256_permute4x64_epi64(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line + c))), 0x50);
    const __m256i doubled = _mm256_unpacklo_epi8(v, v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out0 + 2 * c), doubled);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out1 + 2 * c), doubled);
    c += 16;
  }
}

#endif  // YUVSCALER_AVX2

// First row of a 4x replication: each byte four times.  Returns the first
// source column left for the scalar code.
int64_t Replicate4RowVector(const uint8_t* line, int64_t sw, uint8_t* out) {
  int64_t c = 0;
  for (; c + 16 <= sw; c += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + c));
    const __m128i lo = _mm_unpacklo_epi8(v, v);
    const __m128i hi = _mm_unpackhi_epi8(v, v);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * c), _mm_unpacklo_epi16(lo, lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * c + 16), _mm_unpackhi_epi16(lo, lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * c + 32), _mm_unpacklo_epi16(hi, hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * c + 48), _mm_unpackhi_epi16(hi, hi));
  }
  return c;
}

// Visits destination column starts 0, step, 2*step, ... and ends with a
// block at width - step that may overlap the one before; overlapping
// blocks compute the same bytes twice.  Needs width >= step.
template <typename Visit>
inline void ForEachBlock(int64_t width, int64_t step, Visit visit) {
  for (int64_t x = 0;; x += step) {
    if (x > width - step) x = width - step;
    visit(x);
    if (x == width - step) break;
  }
}

// Exact 2:1 reduction, (a + b + c + d + 2) >> 2, 16 outputs per step:
// pmaddubsw with all-ones weights adds horizontal byte pairs.
__attribute__((target("ssse3"))) bool HalveRoundedSsse3(const uint8_t* src, int64_t sw,
                                                        uint8_t* dst, int64_t dw, int64_t dh) {
  if (dw < 16) return false;
  const __m128i ones = _mm_set1_epi8(1);
  const __m128i two = _mm_set1_epi16(2);
  for (int64_t y = 0; y < dh; ++y) {
    const uint8_t* a = src + 2 * y * sw;
    const uint8_t* b = a + sw;
    uint8_t* out = dst + y * dw;
    // Not ForEachBlock: a lambda would not inherit this function's target.
    for (int64_t x = 0;; x += 16) {
      if (x > dw - 16) x = dw - 16;
      const __m128i* pa = reinterpret_cast<const __m128i*>(a + 2 * x);
      const __m128i* pb = reinterpret_cast<const __m128i*>(b + 2 * x);
      const __m128i lo = _mm_add_epi16(_mm_maddubs_epi16(_mm_loadu_si128(pa), ones),
                                       _mm_maddubs_epi16(_mm_loadu_si128(pb), ones));
      const __m128i hi = _mm_add_epi16(_mm_maddubs_epi16(_mm_loadu_si128(pa + 1), ones),
                                       _mm_maddubs_epi16(_mm_loadu_si128(pb + 1), ones));
      const __m128i q_lo = _mm_srli_epi16(_mm_add_epi16(lo, two), 2);
      const __m128i q_hi = _mm_srli_epi16(_mm_add_epi16(hi, two), 2);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(q_lo, q_hi));
      if (x == dw - 16) break;
    }
  }
  return true;
}

#if defined(YUVSCALER_AVX2)

// As HalveRoundedSsse3 with 32 outputs per step.  packus works within each
// 128-bit half, so the 64-bit quarters come out in the order 0, 2, 1, 3.
__attribute__((target("avx2"))) bool HalveRoundedAvx2(const uint8_t* src, int64_t sw, uint8_t* dst,
                                                      int64_t dw, int64_t dh) {
  if (dw < 32) return false;
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i two = _mm256_set1_epi16(2);
  for (int64_t y = 0; y < dh; ++y) {
    const uint8_t* a = src + 2 * y * sw;
    const uint8_t* b = a + sw;
    uint8_t* out = dst + y * dw;
    for (int64_t x = 0;; x += 32) {
      if (x > dw - 32) x = dw - 32;
      const __m256i* pa = reinterpret_cast<const __m256i*>(a + 2 * x);
      const __m256i* pb = reinterpret_cast<const __m256i*>(b + 2 * x);
      const __m256i lo = _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_loadu_si256(pa), ones),
                                          _mm256_maddubs_epi16(_mm256_loadu_si256(pb), ones));
      const __m256i hi = _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_loadu_si256(pa + 1), ones),
                                          _mm256_maddubs_epi16(_mm256_loadu_si256(pb + 1), ones));
      const __m256i q_lo = _mm256_srli_epi16(_mm256_add_epi16(lo, two), 2);
      const __m256i q_hi = _mm256_srli_epi16(_mm256_add_epi16(hi, two), 2);
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(q_lo, q_hi), 0xD8);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), packed);
      if (x == dw - 32) break;
    }
  }
  return true;
}

#endif  // YUVSCALER_AVX2

constexpr int kMaxAreaBlocks = kMaxVectorWidth / 8;

// Tables of the 16-bit area kernel, per block of eight destination columns:
// which bytes of a 16-byte window of the source row feed each column's
// taps, and their weights (tap t of column j sits in pair t/2, byte
// 2j + t%2).  Consecutive blocks' entries are adjacent, so that the AVX2
// code loads the tables of two blocks at once.
struct AreaTables {
  alignas(32) uint8_t order[2][kMaxAreaBlocks][16];
  alignas(32) int8_t weight[2][kMaxAreaBlocks][16];
  int64_t x[kMaxAreaBlocks];       // first destination column
  int64_t window[kMaxAreaBlocks];  // first source column of the window
  int64_t block_count;
  int pairs;  // 2 when some column has three or four taps
};

// Unsigned 16-bit division by a constant d (1 <= d < 2^16) with a 16-bit
// multiplier (Granlund and Montgomery): t = mulhi(n, m),
// q = (t + ((n - t) >> shift1)) >> shift2, exact for every 16-bit n.
struct Divider16 {
  explicit Divider16(int d) {
    int l = 0;
    while ((1 << l) < d) ++l;
    multiplier = static_cast<int>((65536 * ((int64_t{1} << l) - d)) / d + 1);
    shift1 = l < 1 ? l : 1;
    shift2 = l > 1 ? l - 1 : 0;
  }
  int multiplier;
  int shift1;
  int shift2;
};

// The constants of the rounding division by W, for 128-bit lanes.  When a
// 16-bit reciprocal m = ceil(2^k / W) is exact over the whole range of
// n = S + W/2 (by the argument of RoundingDivider: n * (m*W - 2^k) < 2^k for
// the largest n, 255 * W + W/2), the quotient is one mulhi and a shift;
// otherwise the Granlund-Montgomery form, exact for any 16-bit n.
struct RoundingVectors {
  explicit RoundingVectors(int total_weight) {
    const int64_t largest = 255 * int64_t{total_weight} + total_weight / 2;
    for (int k = 16; k < 32 && !mulhi_only; ++k) {
      const int64_t m = ((int64_t{1} << k) + total_weight - 1) / total_weight;
      if (m > 0xFFFF) break;
      if (largest * (m * total_weight - (int64_t{1} << k)) < (int64_t{1} << k)) {
        mulhi_only = true;
        multiplier = _mm_set1_epi16(static_cast<int16_t>(m));
        shift2 = _mm_cvtsi32_si128(k - 16);
      }
    }
    if (!mulhi_only) {
      const Divider16 divider(total_weight);
      multiplier = _mm_set1_epi16(static_cast<int16_t>(divider.multiplier));
      shift1 = _mm_cvtsi32_si128(divider.shift1);
      shift2 = _mm_cvtsi32_si128(divider.shift2);
    }
    half = _mm_set1_epi16(static_cast<int16_t>(total_weight / 2));
  }
  bool mulhi_only = false;
  __m128i half;
  __m128i multiplier;
  __m128i shift1 = _mm_setzero_si128();  // unused when mulhi_only
  __m128i shift2;
};

// n / W in 16-bit lanes for n = S + W/2: the kernels start their sums at
// `half` rather than at zero, which saves an add per vector.
template <bool kMulhiOnly>
__attribute__((target("ssse3"), always_inline)) inline __m128i DivideRounded(
    __m128i n, const RoundingVectors& r) {
  const __m128i t = _mm_mulhi_epu16(n, r.multiplier);
  if (kMulhiOnly) return _mm_srl_epi16(t, r.shift2);
  return _mm_srl_epi16(_mm_add_epi16(t, _mm_srl_epi16(_mm_sub_epi16(n, t), r.shift1)), r.shift2);
}

#if defined(YUVSCALER_AVX2)

// RoundingVectors for 256-bit lanes.
struct RoundingVectors256 {
  __attribute__((target("avx2"))) explicit RoundingVectors256(const RoundingVectors& r)
      : half(_mm256_broadcastsi128_si256(r.half)),
        multiplier(_mm256_broadcastsi128_si256(r.multiplier)),
        shift1(r.shift1),
        shift2(r.shift2) {}
  __m256i half;
  __m256i multiplier;
  __m128i shift1;
  __m128i shift2;
};

template <bool kMulhiOnly>
__attribute__((target("avx2"), always_inline)) inline __m256i DivideRounded(
    __m256i n, const RoundingVectors256& r) {
  const __m256i t = _mm256_mulhi_epu16(n, r.multiplier);
  if (kMulhiOnly) return _mm256_srl_epi16(t, r.shift2);
  return _mm256_srl_epi16(_mm256_add_epi16(t, _mm256_srl_epi16(_mm256_sub_epi16(n, t), r.shift1)),
                          r.shift2);
}

#endif  // YUVSCALER_AVX2

// Source rows of one destination row's footprint and their weights.
struct FootprintRows {
  FootprintRows(const uint8_t* src, int64_t sw, const Footprints& rows)
      : count(static_cast<int>(rows.count())) {
    for (int i = 0; i < count; ++i) {
      const int64_t r = rows.first() + i;
      line[i] = src + r * sw;
      weight[i] = static_cast<int16_t>(rows.Weight(r));
    }
  }
  const int count;
  const uint8_t* line[kMaxFootprintRows];
  int16_t weight[kMaxFootprintRows];
};

// Eight destination columns (block b) of one destination row.
template <int kPairs, bool kMulhiOnly>
__attribute__((target("ssse3"), always_inline)) inline void AreaBlockSsse3(
    const AreaTables& t, int64_t b, const FootprintRows& rows, const RoundingVectors& r,
    uint8_t* out) {
  const __m128i order0 = _mm_load_si128(reinterpret_cast<const __m128i*>(t.order[0][b]));
  const __m128i weight0 = _mm_load_si128(reinterpret_cast<const __m128i*>(t.weight[0][b]));
  const __m128i order1 = _mm_load_si128(reinterpret_cast<const __m128i*>(t.order[1][b]));
  const __m128i weight1 = _mm_load_si128(reinterpret_cast<const __m128i*>(t.weight[1][b]));
  __m128i sum = r.half;
  for (int i = 0; i < rows.count; ++i) {
    const __m128i window =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.line[i] + t.window[b]));
    __m128i row_sum = _mm_maddubs_epi16(_mm_shuffle_epi8(window, order0), weight0);
    if (kPairs == 2) {
      row_sum =
          _mm_add_epi16(row_sum, _mm_maddubs_epi16(_mm_shuffle_epi8(window, order1), weight1));
    }
    sum = _mm_add_epi16(sum, _mm_mullo_epi16(row_sum, _mm_set1_epi16(rows.weight[i])));
  }
  const __m128i q = DivideRounded<kMulhiOnly>(sum, r);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + t.x[b]), _mm_packus_epi16(q, q));
}

template <int kPairs, bool kMulhiOnly>
__attribute__((target("ssse3"))) void AreaRowsSsse3(const uint8_t* src, int64_t sw, uint8_t* dst,
                                                    int64_t dw, int64_t dh, int64_t sh_units,
                                                    int64_t dh_units, const AreaTables& t,
                                                    const RoundingVectors& rounding) {
  Footprints footprints(sh_units, dh_units);
  for (int64_t y = 0; y < dh; ++y, footprints.Next()) {
    const FootprintRows rows(src, sw, footprints);
    for (int64_t b = 0; b < t.block_count; ++b) {
      AreaBlockSsse3<kPairs, kMulhiOnly>(t, b, rows, rounding, dst + y * dw);
    }
  }
}

#if defined(YUVSCALER_AVX2)

// As AreaRowsSsse3, two blocks per 256-bit step (pshufb works within each
// 128-bit half, so each half gets its own block and window).
template <int kPairs, int kRows, bool kMulhiOnly>
__attribute__((target("avx2"))) void AreaRowsAvx2(const uint8_t* src, int64_t sw, uint8_t* dst,
                                                  int64_t dw, int64_t dh, int64_t sh_units,
                                                  int64_t dh_units, const AreaTables& t,
                                                  const RoundingVectors& rounding) {
  const RoundingVectors256 rounding256(rounding);
  Footprints footprints(sh_units, dh_units);
  for (int64_t y = 0; y < dh; ++y, footprints.Next()) {
    const FootprintRows rows(src, sw, footprints);
    __m256i line_weight[kMaxFootprintRows];
    for (int i = 0; i < rows.count; ++i) line_weight[i] = _mm256_set1_epi16(rows.weight[i]);
    uint8_t* out = dst + y * dw;
    int64_t b = 0;
    for (; b + 1 < t.block_count; b += 2) {  // b is even: 32-byte aligned entries
      const __m256i order0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.order[0][b]));
      const __m256i weight0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.weight[0][b]));
      const __m256i order1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.order[1][b]));
      const __m256i weight1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.weight[1][b]));
      __m256i sum = rounding256.half;
      const int count = kRows != 0 ? kRows : rows.count;
      for (int i = 0; i < count; ++i) {
        const __m128i low =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.line[i] + t.window[b]));
        const __m128i high =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.line[i] + t.window[b + 1]));
        const __m256i window = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
        __m256i row_sum = _mm256_maddubs_epi16(_mm256_shuffle_epi8(window, order0), weight0);
        if (kPairs == 2) {
          row_sum = _mm256_add_epi16(
              row_sum, _mm256_maddubs_epi16(_mm256_shuffle_epi8(window, order1), weight1));
        }
        sum = _mm256_add_epi16(sum, _mm256_mullo_epi16(row_sum, line_weight[i]));
      }
      const __m256i q = DivideRounded<kMulhiOnly>(sum, rounding256);
      const __m256i packed = _mm256_packus_epi16(q, q);
      if (t.x[b + 1] == t.x[b] + 8) {  // adjacent blocks (all but maybe the last): one store
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + t.x[b]),
                         _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08)));
        continue;
      }
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + t.x[b]), _mm256_castsi256_si128(packed));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + t.x[b + 1]),
                       _mm256_extracti128_si256(packed, 1));
    }
    if (b < t.block_count) AreaBlockSsse3<kPairs, kMulhiOnly>(t, b, rows, rounding, out);
  }
}

#endif  // YUVSCALER_AVX2

// 2:1 across (sw = 2 * dw), any ratio down.  Every column footprint is a
// pair of whole source columns of equal weight, so pmaddubsw with the row's
// weight in both bytes gives weight * (a + b) for a destination column
// straight from the row, with no gather.  16 columns per step; the last
// step of a row may overlap the one before.  Needs dw >= 16, row weights of
// at most kMaxHalveAcrossRowWeight and W = 2 * sh_units <= 256.
constexpr int64_t kMaxHalveAcrossRowWeight = 64;  // 64 * (255 + 255) < 2^15
template <int kRows, bool kMulhiOnly>
__attribute__((target("ssse3"))) void HalveAcrossSsse3(const uint8_t* src, int64_t sw, uint8_t* dst,
                                                       int64_t dw, int64_t dh, int64_t sh_units,
                                                       int64_t dh_units,
                                                       const RoundingVectors& rounding) {
  Footprints footprints(sh_units, dh_units);
  for (int64_t y = 0; y < dh; ++y, footprints.Next()) {
    const FootprintRows rows(src, sw, footprints);
    __m128i weight[kMaxFootprintRows];
    for (int i = 0; i < rows.count; ++i)
      weight[i] = _mm_set1_epi8(static_cast<char>(rows.weight[i]));
    uint8_t* out = dst + y * dw;
    for (int64_t x = 0;; x += 16) {
      if (x > dw - 16) x = dw - 16;
      __m128i low = rounding.half;
      __m128i high = rounding.half;
      const int count = kRows != 0 ? kRows : rows.count;
      for (int i = 0; i < count; ++i) {
        const __m128i* p = reinterpret_cast<const __m128i*>(rows.line[i] + 2 * x);
        low = _mm_add_epi16(low, _mm_maddubs_epi16(_mm_loadu_si128(p), weight[i]));
        high = _mm_add_epi16(high, _mm_maddubs_epi16(_mm_loadu_si128(p + 1), weight[i]));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                       _mm_packus_epi16(DivideRounded<kMulhiOnly>(low, rounding),
                                        DivideRounded<kMulhiOnly>(high, rounding)));
      if (x == dw - 16) break;
    }
  }
}

#if defined(YUVSCALER_AVX2)

// As HalveAcrossSsse3, 32 columns per step (needs dw >= 32).  packus works
// within each 128-bit half, so the quarters come out in the order 0, 2, 1, 3.
template <int kRows, bool kMulhiOnly>
__attribute__((target("avx2"))) void HalveAcrossAvx2(const uint8_t* src, int64_t sw, uint8_t* dst,
                                                     int64_t dw, int64_t dh, int64_t sh_units,
                                                     int64_t dh_units,
                                                     const RoundingVectors& rounding) {
  const RoundingVectors256 rounding256(rounding);
  Footprints footprints(sh_units, dh_units);
  for (int64_t y = 0; y < dh; ++y, footprints.Next()) {
    const FootprintRows rows(src, sw, footprints);
    __m256i weight[kMaxFootprintRows];
    for (int i = 0; i < rows.count; ++i) {
      weight[i] = _mm256_set1_epi8(static_cast<char>(rows.weight[i]));
    }
    uint8_t* out = dst + y * dw;
    for (int64_t x = 0;; x += 32) {
      if (x > dw - 32) x = dw - 32;
      __m256i low = rounding256.half;
      __m256i high = rounding256.half;
      const int count = kRows != 0 ? kRows : rows.count;
      for (int i = 0; i < count; ++i) {
        const __m256i* p = reinterpret_cast<const __m256i*>(rows.line[i] + 2 * x);
        low = _mm256_add_epi16(low, _mm256_maddubs_epi16(_mm256_loadu_si256(p), weight[i]));
        high = _mm256_add_epi16(high, _mm256_maddubs_epi16(_mm256_loadu_si256(p + 1), weight[i]));
      }
      const __m256i packed = _mm256_packus_epi16(DivideRounded<kMulhiOnly>(low, rounding256),
                                                 DivideRounded<kMulhiOnly>(high, rounding256));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                          _mm256_permute4x64_epi64(packed, 0xD8));
      if (x == dw - 32) break;
    }
  }
}

#endif  // YUVSCALER_AVX2

// Runs HalveAcross on the widest path that takes the shape; false when none.
__attribute__((target("ssse3"))) bool HalveAcrossVector(const uint8_t* src, int64_t sw, int64_t sh,
                                                        uint8_t* dst, int64_t dw, int64_t dh) {
  if (sw != 2 * dw || dw < 16) return false;
  const int64_t gr = GreatestCommonDivisor(sh, dh);
  const int64_t sh_units = sh / gr;
  const int64_t dh_units = dh / gr;
  if (sh_units > kMaxVectorByteWeight) return false;  // W = 2 * sh_units <= 254
  // pmaddubsw saturates its signed 16-bit sums: weight * (a + b) stays below
  // 2^15 only for row weights of at most 64.  A row's weight is at most the
  // footprint's length (sh_units) and the row's (dh_units).
  if (std::min(sh_units, dh_units) > kMaxHalveAcrossRowWeight) return false;
  const RoundingVectors rounding(static_cast<int>(2 * sh_units));
  // Footprints longer than a source row but not by a whole row more (such
  // as 3:2 and 6:5 down) always cover exactly two rows: a kernel with the
  // row loop unrolled.
  const bool two_rows = dh_units < sh_units && sh_units <= dh_units + 1;
  const int variant = (two_rows ? 2 : 0) + (rounding.mulhi_only ? 1 : 0);
  using Rows = void (*)(const uint8_t*, int64_t, uint8_t*, int64_t, int64_t, int64_t, int64_t,
                        const RoundingVectors&);
#if defined(YUVSCALER_AVX2)
  if (dw >= 32 && HasAvx2()) {
    constexpr Rows kAvx2[4] = {HalveAcrossAvx2<0, false>, HalveAcrossAvx2<0, true>,
                               HalveAcrossAvx2<2, false>, HalveAcrossAvx2<2, true>};
    kAvx2[variant](src, sw, dst, dw, dh, sh_units, dh_units, rounding);
    return true;
  }
#endif
  constexpr Rows kSsse3[4] = {HalveAcrossSsse3<0, false>, HalveAcrossSsse3<0, true>,
                              HalveAcrossSsse3<2, false>, HalveAcrossSsse3<2, true>};
  kSsse3[variant](src, sw, dst, dw, dh, sh_units, dh_units, rounding);
  return true;
}

// The area average in 16-bit lanes, eight destination columns at a time.
// Each column's taps (up to four source columns) are gathered from one
// 16-byte window of the source row with pshufb and weighted with pmaddubsw;
// rows are combined with their weights and the sum divided by the constant
// W.  Declines shapes outside its limits: small or wide planes, W > 256,
// footprints over more than four columns or wider than a window.
__attribute__((target("ssse3"))) bool AreaAverageVector(const uint8_t* src, int64_t sw, int64_t sh,
                                                        uint8_t* dst, int64_t dw, int64_t dh) {
  if (sw < 16 || dw < 8 || dw > kMaxVectorWidth) return false;
  const int64_t gc = GreatestCommonDivisor(sw, dw);
  const int64_t gr = GreatestCommonDivisor(sh, dh);
  const int64_t sw_units = sw / gc;
  const int64_t sh_units = sh / gr;
  if (sw_units > kMaxVectorColumnUnits) return false;
  if (sw_units * sh_units > kMaxVectorTotalWeight) return false;

  AreaTables t;
  t.block_count = 0;
  t.pairs = 1;
  Footprints cols(sw_units, dw / gc);
  bool fits = true;
  int64_t next_x = 0;  // where `cols` stands
  ForEachBlock(dw, 8, [&](int64_t x) {
    if (!fits) return;
    const int64_t b = t.block_count++;
    if (x != next_x) cols.Seek(x);  // only the overlapping last block: divisions are slow
    next_x = x + 8;
    t.x[b] = x;
    t.window[b] = cols.first() < sw - 16 ? cols.first() : sw - 16;
    for (int j = 0; j < 8; ++j, cols.Next()) {
      const int64_t count = cols.count();
      if (count > 4 || cols.end() - 1 - t.window[b] > 15) {
        fits = false;
        return;
      }
      if (count > 2) t.pairs = 2;
      const int64_t first = cols.first() - t.window[b];
      const int64_t weights[4] = {
          cols.first_weight(), count == 2 ? cols.last_weight() : cols.inner_weight(),
          count == 3 ? cols.last_weight() : cols.inner_weight(), cols.last_weight()};
      // Taps past the footprint read its first sample with weight 0.
      uint8_t* order0 = &t.order[0][b][2 * j];
      uint8_t* order1 = &t.order[1][b][2 * j];
      int8_t* weight0 = &t.weight[0][b][2 * j];
      int8_t* weight1 = &t.weight[1][b][2 * j];
      order0[0] = static_cast<uint8_t>(first);
      order0[1] = static_cast<uint8_t>(count > 1 ? first + 1 : first);
      order1[0] = static_cast<uint8_t>(count > 2 ? first + 2 : first);
      order1[1] = static_cast<uint8_t>(count > 3 ? first + 3 : first);
      weight0[0] = static_cast<int8_t>(weights[0]);
      weight0[1] = static_cast<int8_t>(count > 1 ? weights[1] : 0);
      weight1[0] = static_cast<int8_t>(count > 2 ? weights[2] : 0);
      weight1[1] = static_cast<int8_t>(count > 3 ? weights[3] : 0);
    }
  });
  if (!fits) return false;

  const RoundingVectors rounding(static_cast<int>(sw_units * sh_units));
  const int64_t dh_units = dh / gr;
  const int variant = 2 * (t.pairs - 1) + (rounding.mulhi_only ? 1 : 0);
#if defined(YUVSCALER_AVX2)
  if (HasAvx2()) {
    using Rows = void (*)(const uint8_t*, int64_t, uint8_t*, int64_t, int64_t, int64_t, int64_t,
                          const AreaTables&, const RoundingVectors&);
    // As in HalveAcrossVector: footprints that always cover two rows get
    // the row loop unrolled.
    constexpr Rows kRows[8] = {AreaRowsAvx2<1, 0, false>, AreaRowsAvx2<1, 0, true>,
                               AreaRowsAvx2<2, 0, false>, AreaRowsAvx2<2, 0, true>,
                               AreaRowsAvx2<1, 2, false>, AreaRowsAvx2<1, 2, true>,
                               AreaRowsAvx2<2, 2, false>, AreaRowsAvx2<2, 2, true>};
    const bool two_rows = dh_units < sh_units && sh_units <= dh_units + 1;
    kRows[variant + (two_rows ? 4 : 0)](src, sw, dst, dw, dh, sh_units, dh_units, t, rounding);
    return true;
  }
#endif
  using Rows = void (*)(const uint8_t*, int64_t, uint8_t*, int64_t, int64_t, int64_t, int64_t,
                        const AreaTables&, const RoundingVectors&);
  constexpr Rows kRows[4] = {AreaRowsSsse3<1, false>, AreaRowsSsse3<1, true>,
                             AreaRowsSsse3<2, false>, AreaRowsSsse3<2, true>};
  kRows[variant](src, sw, dst, dw, dh, sh_units, dh_units, t, rounding);
  return true;
}

// The area average when every column footprint touches at most two source
// columns and every row footprint at most two source rows (reductions
// below 2:1 such as 11:10 across and 6:5 down, the common camera case).
// A destination sample is then
//   wr0 * (wc0 * a + wc1 * b) + wr1 * (wc0 * c + wc1 * d),
// and with sw_units * sh_units <= 127 every product wr * wc fits a signed
// byte, so one pmaddubsw per source row gives a row's weighted pair sums
// with the row weight already applied: no 16-bit multiply per row.  The
// tables are periodic: destination column x + 16 * period picks the same
// taps as x, `shift` source columns further on, so a period's entries (16
// columns each, two 8-column halves with their own 16-byte windows) serve
// the whole row, with their weights premultiplied by every row weight
// 1 .. sh_units.  The steps that reach too close to the row's end for a
// window are replaced by one tail step at dw - 16 with windows pulled back
// inside the row.
constexpr int kMaxPairPeriod = 32;     // entries of a period (even)
constexpr int kMaxPairRowWeight = 16;  // largest sh_units

struct PairTables {
  // Entries 0 .. period - 1 are the period, entry `period` the tail.
  alignas(32) uint8_t order[kMaxPairPeriod + 1][32];
  alignas(32) int8_t weight[kMaxPairRowWeight][kMaxPairPeriod + 1][32];  // by row weight - 1
  int32_t window[kMaxPairPeriod + 1][2];  // relative to the period's start; tail: to the row's
  int period;
  int64_t shift;   // source columns per period
  int64_t steps;   // 16-column steps from the periodic entries, from column 0
  int64_t tail_x;  // first column of the tail step; -1 when there is none
};

// First source column touched by destination column x: floor(x * sw / dw)
// in reduced units (the product stays below 2^62).
int64_t FirstColumn(int64_t x, int64_t sw_units, int64_t dw_units) {
  return x * sw_units / dw_units;
}

// Where a column footprint starts: source column `first`, `offset` units
// into it (0 <= offset < dw_units).  A lean form of Footprints for the
// table builder, which visits every column of a period.
struct PairCursor {
  int64_t first;
  int64_t offset;
};

// Fills the taps of the 8-column half starting at `at` (which it advances)
// against a window at `window`, with the weights of Footprints (a footprint
// within one column gets sw_units).  False when a column has more than two
// taps or one falls outside the window.
bool FillPairHalf(int64_t sw_units, int64_t dw_units, PairCursor* at, int64_t window,
                  uint8_t* order, int8_t* weight) {
  for (int j = 0; j < 8; ++j) {
    const int64_t first = at->first - window;
    const int64_t end = at->offset + sw_units;  // units past the start of column `first`
    if (end > 2 * dw_units || first < 0) return false;
    const bool two = end > dw_units;
    if ((two ? first + 1 : first) > 15) return false;
    order[2 * j] = static_cast<uint8_t>(first);
    order[2 * j + 1] = static_cast<uint8_t>(two ? first + 1 : first);
    weight[2 * j] = static_cast<int8_t>(two ? dw_units - at->offset : sw_units);
    weight[2 * j + 1] = static_cast<int8_t>(two ? end - dw_units : 0);
    at->offset = end;
    while (at->offset >= dw_units) {
      at->offset -= dw_units;
      ++at->first;
    }
  }
  return true;
}

// The sizes of a two-tap shape in reduced units (divided by their gcd along
// each axis).  False when the two-tap kernels do not take it: a row
// footprint may cover three rows, or a product of a row and a column weight
// may not fit a signed byte.
struct PairShape {
  int64_t sw_units, dw_units, sh_units, dh_units;
};

bool ReducePairShape(int64_t sw, int64_t sh, int64_t dw, int64_t dh, PairShape* shape) {
  const int64_t gc = GreatestCommonDivisor(sw, dw);
  const int64_t gr = GreatestCommonDivisor(sh, dh);
  *shape = {sw / gc, dw / gc, sh / gr, dh / gr};
  return shape->sh_units <= shape->dh_units + 1 && shape->sh_units <= kMaxPairRowWeight &&
         shape->sw_units * shape->sh_units <= kMaxVectorByteWeight;
}

bool BuildPairTables(int64_t sw, int64_t dw, const PairShape& shape, PairTables* t) {
  const int64_t sw_units = shape.sw_units;
  const int64_t dw_units = shape.dw_units;
  const int64_t sh_units = shape.sh_units;
  if (sw < 16 || dw < 16 || dw > kMaxVectorWidth) return false;
  int64_t period = dw_units / GreatestCommonDivisor(dw_units, 16);
  if (period % 2 != 0) period *= 2;  // the AVX2 code takes entries two at a time
  if (period > kMaxPairPeriod) return false;
  t->period = static_cast<int>(period);
  t->shift = 16 * period * sw_units / dw_units;  // exact: 16 * period is a multiple of dw_units
  // Whole steps whose windows stay inside the row (the later a step, the
  // further right its windows).
  int64_t steps = dw / 16;
  while (steps > 0 && FirstColumn(16 * steps - 8, sw_units, dw_units) + 16 > sw) --steps;
  t->steps = steps;
  t->tail_x = 16 * steps < dw ? dw - 16 : -1;
  if (t->tail_x > 16 * steps) return false;  // the tail would not reach back to the steps

  int8_t base[kMaxPairPeriod + 1][32];
  const int entries = static_cast<int>(steps < period ? steps : period);
  PairCursor at = {0, 0};
  for (int e = 0; e < entries; ++e) {
    for (int h = 0; h < 2; ++h) {
      const int64_t window = at.first;
      t->window[e][h] = static_cast<int32_t>(window);
      if (!FillPairHalf(sw_units, dw_units, &at, window, &t->order[e][16 * h], &base[e][16 * h])) {
        return false;
      }
    }
  }
  if (t->tail_x >= 0) {
    at = {FirstColumn(t->tail_x, sw_units, dw_units), t->tail_x * sw_units % dw_units};
    for (int h = 0; h < 2; ++h) {
      const int64_t window = at.first < sw - 16 ? at.first : sw - 16;
      t->window[period][h] = static_cast<int32_t>(window);
      if (!FillPairHalf(sw_units, dw_units, &at, window, &t->order[period][16 * h],
                        &base[period][16 * h])) {
        return false;
      }
    }
  }
  // The products stay below 128, so a 16-bit multiply of a pair of bytes
  // multiplies each byte without carrying into the other.
  if (t->tail_x < 0) memset(base[period], 0, sizeof(base[period]));
  for (int64_t w = 1; w <= sh_units; ++w) {
    const __m128i row_weight = _mm_set1_epi16(static_cast<int16_t>(w));
    for (int e = 0; e <= period; ++e) {
      if (e == entries) e = static_cast<int>(period);
      for (int k = 0; k < 32; k += 16) {
        const __m128i pair = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&base[e][k]));
        _mm_store_si128(reinterpret_cast<__m128i*>(&t->weight[w - 1][e][k]),
                        _mm_mullo_epi16(pair, row_weight));
      }
    }
  }
  return true;
}

// One source row's weighted pair sums for the 8 columns of half `h` of
// entry `e`, added to `sum`.
__attribute__((target("ssse3"), always_inline)) inline __m128i AddPairHalf(
    __m128i sum, const PairTables& t, int e, int h, const uint8_t* line, const int8_t* weight) {
  const __m128i window = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + t.window[e][h]));
  const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(&t.order[e][16 * h]));
  return _mm_add_epi16(sum,
                       _mm_maddubs_epi16(_mm_shuffle_epi8(window, order),
                                         _mm_load_si128(reinterpret_cast<const __m128i*>(weight))));
}

// Sixteen destination columns from entry `e` with windows relative to `a`
// (and `b`, the second row, when kRows is 2).
template <int kRows, bool kMulhiOnly>
__attribute__((target("ssse3"), always_inline)) inline void PairStepSsse3(
    const PairTables& t, int e, const uint8_t* a, const int8_t* wa, const uint8_t* b,
    const int8_t* wb, const RoundingVectors& r, uint8_t* out) {
  __m128i low = AddPairHalf(r.half, t, e, 0, a, wa + 32 * e);
  __m128i high = AddPairHalf(r.half, t, e, 1, a, wa + 32 * e + 16);
  if (kRows == 2) {
    low = AddPairHalf(low, t, e, 0, b, wb + 32 * e);
    high = AddPairHalf(high, t, e, 1, b, wb + 32 * e + 16);
  }
  _mm_storeu_si128(
      reinterpret_cast<__m128i*>(out),
      _mm_packus_epi16(DivideRounded<kMulhiOnly>(low, r), DivideRounded<kMulhiOnly>(high, r)));
}

// One destination row from source rows `a` and, when kRows is 2, `b`, with
// the tables' weights for their row weights (`wa`, `wb`).
template <int kRows, bool kMulhiOnly>
__attribute__((target("ssse3"))) void PairRowSsse3(const PairTables& t, const uint8_t* a,
                                                   const int8_t* wa, const uint8_t* b,
                                                   const int8_t* wb, const RoundingVectors& r,
                                                   uint8_t* out) {
  const uint8_t* pa = a;
  const uint8_t* pb = b;
  int e = 0;
  for (int64_t s = 0; s < t.steps; ++s, ++e) {
    if (e == t.period) {
      e = 0;
      pa += t.shift;
      pb += t.shift;
    }
    PairStepSsse3<kRows, kMulhiOnly>(t, e, pa, wa, pb, wb, r, out + 16 * s);
  }
  if (t.tail_x >= 0) PairStepSsse3<kRows, kMulhiOnly>(t, t.period, a, wa, b, wb, r, out + t.tail_x);
}

// Calls `row(a, wa, b, wb, rows, out)` for every destination row, with the
// source rows of its footprint (`rows` of them, 1 or 2; b == a for one)
// and the weight tables of their row weights.
template <typename Row>
inline void ForEachPairRow(const uint8_t* src, int64_t sw, uint8_t* dst, int64_t dw, int64_t dh,
                           int64_t sh_units, int64_t dh_units, const PairTables& t, Row row) {
  Footprints footprints(sh_units, dh_units);
  for (int64_t y = 0; y < dh; ++y, footprints.Next()) {
    const int64_t first = footprints.first();
    const uint8_t* a = src + first * sw;
    const int8_t* wa = &t.weight[footprints.first_weight() - 1][0][0];
    if (footprints.count() == 1) {
      row(a, wa, a, wa, 1, dst + y * dw);
    } else {
      row(a, wa, a + sw, &t.weight[footprints.last_weight() - 1][0][0], 2, dst + y * dw);
    }
  }
}

template <bool kMulhiOnly>
__attribute__((target("ssse3"))) void AreaPairsSsse3(const uint8_t* src, int64_t sw, uint8_t* dst,
                                                     int64_t dw, int64_t dh, int64_t sh_units,
                                                     int64_t dh_units, const PairTables& t,
                                                     const RoundingVectors& rounding) {
  ForEachPairRow(src, sw, dst, dw, dh, sh_units, dh_units, t,
                 [&](const uint8_t* a, const int8_t* wa, const uint8_t* b, const int8_t* wb,
                     int rows, uint8_t* out) {
                   if (rows == 2) {
                     PairRowSsse3<2, kMulhiOnly>(t, a, wa, b, wb, rounding, out);
                   } else {
                     PairRowSsse3<1, kMulhiOnly>(t, a, wa, b, wb, rounding, out);
                   }
                 });
}

#if defined(YUVSCALER_AVX2)

// One entry's 16 columns in one 256-bit vector: the halves' windows go to
// the two 128-bit lanes, where pshufb works.  `order`, `window`, `wa` and
// `wb` point at the entry's tables.
template <int kRows>
__attribute__((target("avx2"), always_inline)) inline __m256i PairSumsAvx2(
    const uint8_t* order, const int32_t* window, const uint8_t* a, const int8_t* wa,
    const uint8_t* b, const int8_t* wb, __m256i half) {
  const __m256i picks = _mm256_load_si256(reinterpret_cast<const __m256i*>(order));
  const __m256i window_a = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + window[0]))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + window[1])), 1);
  __m256i sum = _mm256_add_epi16(
      half, _mm256_maddubs_epi16(_mm256_shuffle_epi8(window_a, picks),
                                 _mm256_load_si256(reinterpret_cast<const __m256i*>(wa))));
  if (kRows == 2) {
    const __m256i window_b = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + window[0]))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + window[1])), 1);
    sum = _mm256_add_epi16(
        sum, _mm256_maddubs_epi16(_mm256_shuffle_epi8(window_b, picks),
                                  _mm256_load_si256(reinterpret_cast<const __m256i*>(wb))));
  }
  return sum;
}

// Sixteen columns stored from one vector of sums.
template <bool kMulhiOnly>
__attribute__((target("avx2"), always_inline)) inline void StorePairStep(
    __m256i sum, const RoundingVectors256& r, uint8_t* out) {
  const __m256i q = DivideRounded<kMulhiOnly>(sum, r);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(_mm256_permute4x64_epi64(
                                                        _mm256_packus_epi16(q, q), 0x08)));
}

// As PairRowSsse3, two entries (32 columns, one store) per step; the
// period is even, so a pair never straddles two periods.  The loop walks
// the tables with pointers and keeps what it reads more than once in
// locals: its stores go through a byte pointer, which the compiler must
// assume may alias the tables, so it would reload them after every store
// and redo the index arithmetic.
template <int kRows, bool kMulhiOnly>
__attribute__((target("avx2"))) void PairRowAvx2(const PairTables& t, const uint8_t* a,
                                                 const int8_t* wa, const uint8_t* b,
                                                 const int8_t* wb, const RoundingVectors256& r,
                                                 uint8_t* out) {
  const RoundingVectors256 rounding = r;
  const int64_t shift = t.shift;
  const uint8_t* const order_begin = t.order[0];
  const uint8_t* const order_end = t.order[t.period];
  const uint8_t* order = order_begin;
  const int32_t* window = t.window[0];
  const int8_t* ea = wa;
  const int8_t* eb = wb;
  const uint8_t* pa = a;
  const uint8_t* pb = b;
  uint8_t* o = out;
  uint8_t* const pairs_end = out + 32 * (t.steps / 2);
  for (; o != pairs_end; o += 32, order += 64, window += 4, ea += 64, eb += 64) {
    if (order == order_end) {
      order = order_begin;
      window = t.window[0];
      ea = wa;
      eb = wb;
      pa += shift;
      pb += shift;
    }
    const __m256i low = PairSumsAvx2<kRows>(order, window, pa, ea, pb, eb, rounding.half);
    const __m256i high =
        PairSumsAvx2<kRows>(order + 32, window + 2, pa, ea + 32, pb, eb + 32, rounding.half);
    const __m256i packed = _mm256_packus_epi16(DivideRounded<kMulhiOnly>(low, rounding),
                                               DivideRounded<kMulhiOnly>(high, rounding));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm256_permute4x64_epi64(packed, 0xD8));
  }
  if (t.steps % 2 != 0) {
    if (order == order_end) {
      order = order_begin;
      window = t.window[0];
      ea = wa;
      eb = wb;
      pa += shift;
      pb += shift;
    }
    StorePairStep<kMulhiOnly>(PairSumsAvx2<kRows>(order, window, pa, ea, pb, eb, rounding.half),
                              rounding, o);
  }
  if (t.tail_x >= 0) {
    const int64_t tail = 32 * t.period;
    StorePairStep<kMulhiOnly>(PairSumsAvx2<kRows>(t.order[t.period], t.window[t.period], a,
                                                  wa + tail, b, wb + tail, rounding.half),
                              rounding, out + t.tail_x);
  }
}

template <bool kMulhiOnly>
__attribute__((target("avx2"))) void AreaPairsAvx2(const uint8_t* src, int64_t sw, uint8_t* dst,
                                                   int64_t dw, int64_t dh, int64_t sh_units,
                                                   int64_t dh_units, const PairTables& t,
                                                   const RoundingVectors& rounding) {
  const RoundingVectors256 r(rounding);
  ForEachPairRow(src, sw, dst, dw, dh, sh_units, dh_units, t,
                 [&](const uint8_t* a, const int8_t* wa, const uint8_t* b, const int8_t* wb,
                     int rows, uint8_t* out) {
                   if (rows == 2) {
                     PairRowAvx2<2, kMulhiOnly>(t, a, wa, b, wb, r, out);
                   } else {
                     PairRowAvx2<1, kMulhiOnly>(t, a, wa, b, wb, r, out);
                   }
                 });
}

#endif  // YUVSCALER_AVX2

#if defined(YUVSCALER_AVX512)

AVX512_INTRINSICS_BEGIN

// The two-tap kernel with AVX-512: 32 destination columns per step, their
// 64 taps picked from one 64-byte window of the source row by a single
// vpermb (no lanes to respect), weighed with one vpmaddubsw per source row
// and narrowed with vpmovwb, so a step costs about a third of the AVX2
// one's instructions.  The tables cover the whole row, block by block
// (ForEachBlock with 32 columns): every window starts at its block's first
// tap, pulled back to stay inside the row, and the weights are
// premultiplied by every row weight 1 .. sh_units, as in PairTables.
struct PairBlocks512 {
  int64_t count = 0;            // blocks
  int64_t regular = 0;          // leading blocks that start at 32 * k
  std::vector<int64_t> x;       // first destination column of each block
  std::vector<int64_t> window;  // first source column of its window
  TableVector<uint8_t> order;   // 64 per block
  TableVector<int8_t> weight;   // 64 per block, per row weight 1 .. sh_units
};

bool BuildPairBlocks512(int64_t sw, int64_t dw, const PairShape& shape, PairBlocks512* t) {
  const int64_t sw_units = shape.sw_units;
  const int64_t dw_units = shape.dw_units;
  const int64_t sh_units = shape.sh_units;
  if (sw < 64 || dw < 32 || dw > kMaxVectorWidth) return false;
  const int64_t blocks = (dw + 31) / 32;
  t->x.assign(static_cast<size_t>(blocks), 0);
  t->window.assign(static_cast<size_t>(blocks), 0);
  t->order.assign(static_cast<size_t>(64 * blocks), 0);
  std::vector<int8_t> base(static_cast<size_t>(64 * blocks));
  t->count = 0;
  bool fits = true;
  ForEachBlock(dw, 32, [&](int64_t x) {
    if (!fits) return;
    const int64_t b = t->count++;
    PairCursor at = {FirstColumn(x, sw_units, dw_units), x * sw_units % dw_units};
    const int64_t window = at.first < sw - 64 ? at.first : sw - 64;
    t->x[b] = x;
    t->window[b] = window;
    uint8_t* order = &t->order[64 * b];
    int8_t* weight = &base[64 * b];
    for (int j = 0; j < 32; ++j) {
      const int64_t first = at.first - window;
      const int64_t end = at.offset + sw_units;
      const bool two = end > dw_units;
      if (end > 2 * dw_units || (two ? first + 1 : first) > 63) {
        fits = false;
        return;
      }
      order[2 * j] = static_cast<uint8_t>(first);
      order[2 * j + 1] = static_cast<uint8_t>(two ? first + 1 : first);
      weight[2 * j] = static_cast<int8_t>(two ? dw_units - at.offset : sw_units);
      weight[2 * j + 1] = static_cast<int8_t>(two ? end - dw_units : 0);
      at.offset = end;
      while (at.offset >= dw_units) {
        at.offset -= dw_units;
        ++at.first;
      }
    }
  });
  if (!fits) return false;
  t->regular = dw % 32 == 0 ? t->count : t->count - 1;
  t->weight.assign(static_cast<size_t>(sh_units * 64 * blocks), 0);
  for (int64_t w = 1; w <= sh_units; ++w) {
    for (int64_t i = 0; i < 64 * blocks; ++i) {
      t->weight[static_cast<size_t>((w - 1) * 64 * blocks + i)] =
          static_cast<int8_t>(base[static_cast<size_t>(i)] * w);
    }
  }
  return true;
}

// How the AVX-512 kernel divides by W: the Granlund-Montgomery form, a
// multiply and a shift, or (when a 16-bit reciprocal with a shift of 16 is
// exact, as for W = 66 of the 11:10 x 6:5 camera case) the multiply alone.
enum class Division512 { kGeneral, kMulhiShift, kMulhi };

struct Rounding512 {
  __m512i half;
  __m512i multiplier;
  __m128i shift1;
  __m128i shift2;
};

template <Division512 kDivision>
__attribute__((target("avx512bw"), always_inline)) inline __m512i Divide512(__m512i n,
                                                                            const Rounding512& r) {
  const __m512i t = _mm512_mulhi_epu16(n, r.multiplier);
  if (kDivision == Division512::kMulhi) return t;
  if (kDivision == Division512::kMulhiShift) return _mm512_srl_epi16(t, r.shift2);
  return _mm512_srl_epi16(_mm512_add_epi16(t, _mm512_srl_epi16(_mm512_sub_epi16(n, t), r.shift1)),
                          r.shift2);
}

// The 16-bit sums of one block (32 columns, +W/2) of a destination row
// that lies within one source row, `line`: `order` and the weights `w`
// point at the block's 64 bytes, `window` is where its window starts.
__attribute__((target("avx512bw,avx512vbmi"), always_inline)) inline __m512i OneRowSums512(
    const uint8_t* order, int64_t window, const uint8_t* line, const int8_t* w, __m512i half) {
  return _mm512_add_epi16(
      half, _mm512_maddubs_epi16(_mm512_permutexvar_epi8(_mm512_loadu_si512(order),
                                                         _mm512_loadu_si512(line + window)),
                                 _mm512_loadu_si512(w)));
}

// A destination row that lies within one source row, `line`, with the
// weight table `w` of its row weight (rows of two source rows go in
// chains, below).  Blocks go two at a time, packed into one 64-byte store
// (packus works within 128-bit lanes, so a qword permutation puts the
// lanes in order); every block but the last starts 32 columns after the
// one before, so the pairs walk the row with a pointer.  What the loop
// reads more than once it keeps in locals: its stores go through a byte
// pointer, which may alias anything the compiler would otherwise reload
// after every store.
template <Division512 kDivision>
__attribute__((target("avx512bw,avx512vbmi"))) void OneRowAvx512(const PairBlocks512& t,
                                                                 const uint8_t* line,
                                                                 const int8_t* w,
                                                                 const Rounding512& r,
                                                                 uint8_t* out) {
  const Rounding512 rounding = r;
  const __m512i lane_order = _mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0);
  const uint8_t* order = t.order.data();
  const int64_t* window = t.window.data();
  const int64_t count = t.count;
  const int64_t regular = t.regular;
  int64_t k = 0;
  for (; k + 2 <= regular; k += 2, order += 128, w += 128) {
    const __m512i low =
        Divide512<kDivision>(OneRowSums512(order, window[k], line, w, rounding.half), rounding);
    const __m512i high = Divide512<kDivision>(
        OneRowSums512(order + 64, window[k + 1], line, w + 64, rounding.half), rounding);
    _mm512_storeu_si512(out + 32 * k,
                        _mm512_permutexvar_epi64(lane_order, _mm512_packus_epi16(low, high)));
  }
  for (; k < count; ++k, order += 64, w += 64) {
    const __m512i q =
        Divide512<kDivision>(OneRowSums512(order, window[k], line, w, rounding.half), rounding);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + t.x[static_cast<size_t>(k)]),
                        _mm512_cvtepi16_epi8(q));
  }
}

// A chain: kLength destination rows, each of two source rows, where every
// row but the first begins on the row the one before ends on (six rows of
// a 6:5 reduction give five, four of 4:3 three).  Each source row is
// loaded and permuted once per block for the two destination rows that use
// it, instead of once for each, and the block's permuted rows stay in
// registers while the chain's rows are made from them.  vpermb has a
// single port, which the narrowing shares, so it is the gathers that are
// worth saving.  `rows` is the chain's first source row; `wa[j]` and
// `wb[j]` are the weight tables of destination row j's two rows, read
// through the arrays where they are used: ten pointers do not fit the
// free registers, and reloading them costs less than the compiler's
// spilling them to vector registers.
constexpr int kMaxPairChain = 6;

// One block's sums (+W/2) for a destination row from the permuted source
// rows `a` and `b` and the weights at `wa` and `wb`.
__attribute__((target("avx512bw"), always_inline)) inline __m512i ChainSums512(__m512i a, __m512i b,
                                                                               const int8_t* wa,
                                                                               const int8_t* wb,
                                                                               __m512i half) {
  return _mm512_add_epi16(_mm512_add_epi16(half, _mm512_maddubs_epi16(a, _mm512_loadu_si512(wa))),
                          _mm512_maddubs_epi16(b, _mm512_loadu_si512(wb)));
}

template <int kLength, Division512 kDivision>
__attribute__((target("avx512bw,avx512vbmi"))) void PairChainAvx512(
    const PairBlocks512& t, const uint8_t* rows, int64_t sw, const int8_t* const* wa,
    const int8_t* const* wb, const Rounding512& r, uint8_t* out, int64_t dw) {
  const Rounding512 rounding = r;
  const __m512i lane_order = _mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0);
  const uint8_t* order = t.order.data();
  const int64_t* window = t.window.data();
  const int64_t count = t.count;
  int64_t k = 0;
  for (; k + 2 <= t.regular; k += 2, order += 128) {
    const __m512i picks0 = _mm512_loadu_si512(order);
    const __m512i picks1 = _mm512_loadu_si512(order + 64);
    const uint8_t* line0 = rows + window[k];
    const uint8_t* line1 = rows + window[k + 1];
    __m512i p0[kLength + 1];
    __m512i p1[kLength + 1];
#pragma GCC unroll 8
    for (int i = 0; i <= kLength; ++i) {
      p0[i] = _mm512_permutexvar_epi8(picks0, _mm512_loadu_si512(line0 + i * sw));
      p1[i] = _mm512_permutexvar_epi8(picks1, _mm512_loadu_si512(line1 + i * sw));
    }
    const int64_t at = 64 * k;
#pragma GCC unroll 8
    for (int j = 0; j < kLength; ++j) {
      const __m512i low = Divide512<kDivision>(
          ChainSums512(p0[j], p0[j + 1], wa[j] + at, wb[j] + at, rounding.half), rounding);
      const __m512i high = Divide512<kDivision>(
          ChainSums512(p1[j], p1[j + 1], wa[j] + at + 64, wb[j] + at + 64, rounding.half),
          rounding);
      _mm512_storeu_si512(out + j * dw + 32 * k,
                          _mm512_permutexvar_epi64(lane_order, _mm512_packus_epi16(low, high)));
    }
  }
  for (; k < count; ++k, order += 64) {
    const __m512i picks = _mm512_loadu_si512(order);
    const uint8_t* line = rows + window[k];
    __m512i p[kLength + 1];
#pragma GCC unroll 8
    for (int i = 0; i <= kLength; ++i) {
      p[i] = _mm512_permutexvar_epi8(picks, _mm512_loadu_si512(line + i * sw));
    }
    const int64_t at = 64 * k;
    const int64_t x = t.x[static_cast<size_t>(k)];
#pragma GCC unroll 8
    for (int j = 0; j < kLength; ++j) {
      const __m512i q = Divide512<kDivision>(
          ChainSums512(p[j], p[j + 1], wa[j] + at, wb[j] + at, rounding.half), rounding);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j * dw + x), _mm512_cvtepi16_epi8(q));
    }
  }
}

// The destination rows of one vertical period of a two-tap shape, as the
// kernel walks them: chains, and rows of one source row.  A period is the
// dh_units destination rows over sh_units source rows; the next period has
// the same steps sh_units rows further down: a period's first destination
// row begins exactly where a source row begins, so no chain runs into it.
// Walking the footprints costs about a tenth of scaling the row, so the
// plan is made once per shape and cached like the tables.
struct PairRowPlan {
  struct Step {
    int64_t first_row;  // source row, within the period
    int length;         // destination rows of the chain; 0: one row of one source row
    // Row weights of each destination row's two source rows (of its one
    // row when length is 0).
    int16_t first_weight[kMaxPairChain];
    int16_t last_weight[kMaxPairChain];
  };
  std::vector<Step> steps;
};

bool BuildPairRowPlan(int64_t sh_units, int64_t dh_units, PairRowPlan* plan) {
  if (dh_units > kMaxPlannedRows) return false;
  plan->steps.clear();
  Footprints rows(sh_units, dh_units);
  for (int64_t y = 0; y < dh_units;) {
    PairRowPlan::Step step = {};
    step.first_row = rows.first();
    if (rows.count() == 1) {
      step.first_weight[0] = static_cast<int16_t>(rows.first_weight());
      plan->steps.push_back(step);
      ++y;
      rows.Next();
      continue;
    }
    // Further rows join while they begin on the source row the one before
    // ends on.
    do {
      step.first_weight[step.length] = static_cast<int16_t>(rows.first_weight());
      step.last_weight[step.length] = static_cast<int16_t>(rows.last_weight());
      ++step.length;
      const int64_t last = rows.end() - 1;
      rows.Next();
      if (y + step.length == dh_units || rows.count() != 2 || rows.first() != last) break;
    } while (step.length < kMaxPairChain);
    plan->steps.push_back(step);
    y += step.length;
  }
  return true;
}

template <Division512 kDivision>
__attribute__((target("avx512bw,avx512vbmi"))) void AreaPairsRowsAvx512(
    const uint8_t* src, int64_t sw, uint8_t* dst, int64_t dw, int64_t periods, int64_t sh_units,
    const PairRowPlan& plan, const PairBlocks512& t, const Rounding512& rounding) {
  using Chain = void (*)(const PairBlocks512&, const uint8_t*, int64_t, const int8_t* const*,
                         const int8_t* const*, const Rounding512&, uint8_t*, int64_t);
  static constexpr Chain kChains[kMaxPairChain] = {
      PairChainAvx512<1, kDivision>, PairChainAvx512<2, kDivision>, PairChainAvx512<3, kDivision>,
      PairChainAvx512<4, kDivision>, PairChainAvx512<5, kDivision>, PairChainAvx512<6, kDivision>};
  const int64_t table = 64 * t.count;  // bytes of one row weight's table
  const auto weights = [&](int64_t w) { return t.weight.data() + (w - 1) * table; };
  uint8_t* out = dst;
  for (int64_t n = 0; n < periods; ++n) {
    const uint8_t* period = src + n * sh_units * sw;
    for (const PairRowPlan::Step& step : plan.steps) {
      const uint8_t* a = period + step.first_row * sw;
      if (step.length == 0) {
        OneRowAvx512<kDivision>(t, a, weights(step.first_weight[0]), rounding, out);
        out += dw;
        continue;
      }
      const int8_t* wa[kMaxPairChain];
      const int8_t* wb[kMaxPairChain];
      for (int j = 0; j < step.length; ++j) {
        wa[j] = weights(step.first_weight[j]);
        wb[j] = weights(step.last_weight[j]);
      }
      kChains[step.length - 1](t, a, sw, wa, wb, rounding, out, dw);
      out += step.length * dw;
    }
  }
}

// The AVX-512 two-tap kernel; false when the shape is not one it takes.
__attribute__((target("avx512bw"))) bool AreaPairsAvx512(const uint8_t* src, int64_t sw, int64_t sh,
                                                         uint8_t* dst, int64_t dw, int64_t dh) {
  PairShape shape;
  if (sw < 64 || dw < 32 || !ReducePairShape(sw, sh, dw, dh, &shape)) return false;
  const PairBlocks512* t = TableCache<PairBlocks512>::Get(
      sw, dw, shape.sh_units,
      [&](PairBlocks512* b) { return BuildPairBlocks512(sw, dw, shape, b); });
  if (t == nullptr) return false;
  const PairRowPlan* plan = TableCache<PairRowPlan>::Get(
      shape.sh_units, shape.dh_units, 0,
      [&](PairRowPlan* p) { return BuildPairRowPlan(shape.sh_units, shape.dh_units, p); });
  if (plan == nullptr) return false;
  const int64_t periods = dh / shape.dh_units;
  const int total = static_cast<int>(shape.sw_units * shape.sh_units);
  const RoundingVectors vectors(total);
  const Rounding512 rounding = {_mm512_broadcast_i32x4(vectors.half),
                                _mm512_broadcast_i32x4(vectors.multiplier), vectors.shift1,
                                vectors.shift2};
  if (vectors.mulhi_only && _mm_cvtsi128_si32(vectors.shift2) == 0) {
    AreaPairsRowsAvx512<Division512::kMulhi>(src, sw, dst, dw, periods, shape.sh_units, *plan, *t,
                                             rounding);
  } else if (vectors.mulhi_only) {
    AreaPairsRowsAvx512<Division512::kMulhiShift>(src, sw, dst, dw, periods, shape.sh_units, *plan,
                                                  *t, rounding);
  } else {
    AreaPairsRowsAvx512<Division512::kGeneral>(src, sw, dst, dw, periods, shape.sh_units, *plan, *t,
                                               rounding);
  }
  return true;
}

AVX512_INTRINSICS_END

#endif  // YUVSCALER_AVX512

// Runs the two-tap kernel on the widest path; false when the shape is not
// one it takes (then nothing has been written).
__attribute__((target("ssse3"))) bool AreaPairsVector(const uint8_t* src, int64_t sw, int64_t sh,
                                                      uint8_t* dst, int64_t dw, int64_t dh) {
  PairShape shape;
  if (sw < 16 || dw < 16 || !ReducePairShape(sw, sh, dw, dh, &shape)) return false;
  const PairTables* tables = TableCache<PairTables>::Get(
      sw, dw, shape.sh_units, [&](PairTables* t) { return BuildPairTables(sw, dw, shape, t); });
  if (tables == nullptr) return false;
  const PairTables& t = *tables;
  const int64_t sh_units = shape.sh_units;
  const int64_t dh_units = shape.dh_units;
  const RoundingVectors rounding(static_cast<int>(shape.sw_units * sh_units));
  using Rows = void (*)(const uint8_t*, int64_t, uint8_t*, int64_t, int64_t, int64_t, int64_t,
                        const PairTables&, const RoundingVectors&);
#if defined(YUVSCALER_AVX2)
  if (HasAvx2()) {
    const Rows rows = rounding.mulhi_only ? AreaPairsAvx2<true> : AreaPairsAvx2<false>;
    rows(src, sw, dst, dw, dh, sh_units, dh_units, t, rounding);
    return true;
  }
#endif
  const Rows rows = rounding.mulhi_only ? AreaPairsSsse3<true> : AreaPairsSsse3<false>;
  rows(src, sw, dst, dw, dh, sh_units, dh_units, t, rounding);
  return true;
}

// The area average in two passes per destination row, for the shapes the
// kernels above decline (mostly strong reductions across, whose column
// footprints are wider than a 16-byte window): first the row footprint's
// samples of every source column, summed with their row weights in 16-bit
// lanes, then each destination column's footprint over those sums with its
// column weights.  That is the portable code's S, summed column by column
// instead of row by row, so the bytes are the same.  A column sum is at most
// 255 * sh_units; the kernel declines row footprints longer than 257 units,
// whose sums would not fit 16 bits.
constexpr int64_t kMaxSeparableRowUnits = 257;

// Row footprints of one destination row: where its rows start and their
// weights, for the vertical pass.
struct RowWeights {
  const uint8_t* first;
  int64_t count;
  int16_t weight[kMaxSeparableRowUnits + 1];
};

// Column sums of `rows.count` source rows (from `rows.first`, a stride of
// sw apart) for columns [c, sw), one column at a time.
void SumColumnsTail(const RowWeights& rows, int64_t c, int64_t sw, uint16_t* sums) {
  for (; c < sw; ++c) {
    uint32_t sum = 0;
    for (int64_t r = 0; r < rows.count; ++r) sum += rows.weight[r] * rows.first[r * sw + c];
    sums[c] = static_cast<uint16_t>(sum);
  }
}

// The column sums for columns [0, sw), eight per step with SSE2.
void SumColumnsSse2(const RowWeights& rows, int64_t sw, uint16_t* sums) {
  int64_t c = 0;
  const __m128i zero = _mm_setzero_si128();
  for (; c + 8 <= sw; c += 8) {
    const uint8_t* line = rows.first + c;
    __m128i acc = zero;
    for (int64_t r = 0; r < rows.count; ++r, line += sw) {
      const __m128i samples =
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(line)), zero);
      acc = _mm_add_epi16(acc, _mm_mullo_epi16(samples, _mm_set1_epi16(rows.weight[r])));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + c), acc);
  }
  SumColumnsTail(rows, c, sw, sums);
}

#if defined(YUVSCALER_AVX2)
// As SumColumnsSse2, sixteen columns per step.
__attribute__((target("avx2"))) void SumColumnsAvx2(const RowWeights& rows, int64_t sw,
                                                    uint16_t* sums) {
  int64_t c = 0;
  for (; c + 16 <= sw; c += 16) {
    const uint8_t* line = rows.first + c;
    __m256i acc = _mm256_setzero_si256();
    for (int64_t r = 0; r < rows.count; ++r, line += sw) {
      const __m256i samples =
          _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line)));
      acc = _mm256_add_epi16(acc, _mm256_mullo_epi16(samples, _mm256_set1_epi16(rows.weight[r])));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + c), acc);
  }
  SumColumnsTail(rows, c, sw, sums);
}
#endif  // YUVSCALER_AVX2

// The horizontal pass with pmaddwd: each destination column's footprint
// is at most eight column sums from its first, with 16-bit weights (zero
// past the footprint), so one load and one pmaddwd give its four partial
// sums and two rounds of phaddd finish four columns at once.  Needs column
// sums that fit signed 16 bits (row footprints of at most 128 units),
// weights that do (dw_units below 2^15; a footprint within one column
// weighs sw_units, which is then at most dw_units), and S below 2^31.
// The sums buffer has eight readable entries past sw, which the zero
// weights cancel.
constexpr int kSeparableTaps = 8;
constexpr int64_t kMaxSeparableVectorRowUnits = 128;  // 255 * 128 < 2^15

struct SeparableColumns {
  TableVector<int16_t> weight;  // kSeparableTaps per destination column
  std::vector<int64_t> first;   // first source column of each
};

bool BuildSeparableColumns(int64_t dw, int64_t sw_units, int64_t dw_units, SeparableColumns* t) {
  if (dw > kMaxVectorWidth || dw_units >= 0x8000) return false;
  t->weight.assign(static_cast<size_t>(kSeparableTaps * dw), 0);
  t->first.assign(static_cast<size_t>(dw), 0);
  Footprints cols(sw_units, dw_units);
  for (int64_t x = 0; x < dw; ++x, cols.Next()) {
    if (cols.count() > kSeparableTaps) return false;
    t->first[static_cast<size_t>(x)] = cols.first();
    for (int64_t i = 0; i < cols.count(); ++i) {
      t->weight[static_cast<size_t>(kSeparableTaps * x + i)] =
          static_cast<int16_t>(cols.Weight(cols.first() + i));
    }
  }
  return true;
}

__attribute__((target("ssse3"))) void SeparableRowSsse3(const uint16_t* sums,
                                                        const SeparableColumns& t, int64_t dw,
                                                        const RoundingDivider& divider,
                                                        uint8_t* out) {
  const int16_t* weight = t.weight.data();
  const int64_t* first = t.first.data();
  const auto partial = [&](int64_t x) {
    return _mm_madd_epi16(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + first[x])),
        _mm_load_si128(reinterpret_cast<const __m128i*>(weight + kSeparableTaps * x)));
  };
  int64_t x = 0;
  alignas(16) uint32_t total[4];
  for (; x + 4 <= dw; x += 4) {
    const __m128i s = _mm_hadd_epi32(_mm_hadd_epi32(partial(x), partial(x + 1)),
                                     _mm_hadd_epi32(partial(x + 2), partial(x + 3)));
    _mm_store_si128(reinterpret_cast<__m128i*>(total), s);
    for (int j = 0; j < 4; ++j) out[x + j] = divider.Divide(total[j]);
  }
  for (; x < dw; ++x) {
    const __m128i s = partial(x);
    const __m128i pairs = _mm_hadd_epi32(s, s);
    out[x] = divider.Divide(static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_hadd_epi32(pairs, pairs))));
  }
}

bool AreaSeparable(const uint8_t* src, int64_t sw, int64_t sh, uint8_t* dst, int64_t dw,
                   int64_t dh) {
  const int64_t gc = GreatestCommonDivisor(sw, dw);
  const int64_t gr = GreatestCommonDivisor(sh, dh);
  const int64_t sw_units = sw / gc;
  const int64_t sh_units = sh / gr;
  if (sh_units > kMaxSeparableRowUnits) return false;
  thread_local std::vector<uint16_t> column_sums;
  if (static_cast<int64_t>(column_sums.size()) < sw + kSeparableTaps) {
    column_sums.resize(static_cast<size_t>(sw + kSeparableTaps));
  }
  uint16_t* const sums = column_sums.data();
  const SeparableColumns* columns = nullptr;
  if (HasSsse3() && sh_units <= kMaxSeparableVectorRowUnits &&
      static_cast<uint64_t>(sw_units) * static_cast<uint64_t>(sh_units) <
          (uint64_t{1} << 31) / 255) {
    columns = TableCache<SeparableColumns>::Get(sw, dw, 0, [&](SeparableColumns* t) {
      return BuildSeparableColumns(dw, sw_units, dw / gc, t);
    });
  }
  void (*sum_columns)(const RowWeights&, int64_t, uint16_t*) = SumColumnsSse2;
#if defined(YUVSCALER_AVX2)
  if (HasAvx2()) sum_columns = SumColumnsAvx2;
#endif
  Footprints rows(sh_units, dh / gr);
  Footprints cols(sw_units, dw / gc);
  const RoundingDivider divider(static_cast<uint64_t>(sw_units) * static_cast<uint64_t>(sh_units));
  RowWeights weights;
  for (int64_t y = 0; y < dh; ++y, rows.Next()) {
    weights.first = src + rows.first() * sw;
    weights.count = rows.count();
    for (int64_t r = 0; r < weights.count; ++r) {
      weights.weight[r] = static_cast<int16_t>(rows.Weight(rows.first() + r));
    }
    sum_columns(weights, sw, sums);
    uint8_t* out = dst + y * dw;
    if (columns != nullptr) {
      SeparableRowSsse3(sums, *columns, dw, divider, out);
      continue;
    }
    cols.Seek(0);
    for (int64_t x = 0; x < dw; ++x, cols.Next()) {
      const int64_t first = cols.first();
      const int64_t last = cols.end() - 1;
      uint64_t sum;
      if (first == last) {
        sum = static_cast<uint64_t>(cols.first_weight()) * sums[first];
      } else {
        uint64_t inner = 0;
        for (int64_t i = first + 1; i < last; ++i) inner += sums[i];
        sum = static_cast<uint64_t>(cols.first_weight()) * sums[first] +
              static_cast<uint64_t>(cols.inner_weight()) * inner +
              static_cast<uint64_t>(cols.last_weight()) * sums[last];
      }
      out[x] = divider.Divide(sum);
    }
  }
  return true;
}

// Tables of the nearest-sample kernels: per block of 16 * kLanes destination
// columns, the pshufb order that picks the block's samples from its lane
// windows, and where the windows start.  Each lane has its own 16-byte
// window (window[lane]) or, with shared windows, the block loads 32 bytes
// from window[0] and `lanes` gives each lane's four dwords of them.
template <int kLanes>
struct NearestBlocks {
  struct Block {
    alignas(32) uint8_t order[16 * kLanes];
    alignas(32) int32_t lanes[8];
    int64_t x;
    int64_t window[kLanes];
  };
  Block block[kMaxVectorWidth / (16 * kLanes)];
  int64_t count = 0;
};

// Fills `t` for rows of dw destination columns picked from sw source
// columns.  A lane window starts at the lane's first pick, pulled back to
// stay inside the row; a shared window (two lanes only) at the block's
// first pick, and each lane then uses the dword-aligned 16 bytes of it that
// start closest below its first pick.  False when some lane's picks do not
// fit its window (strong reductions, or shared windows for ratios below
// about 1.3) or the sizes are outside the tables.
template <int kLanes>
bool BuildNearestBlocks(int64_t sw, int64_t dw, bool shared, NearestBlocks<kLanes>* t) {
  const int64_t window_bytes = shared ? 32 : 16;
  if (sw < window_bytes || dw < 16 * kLanes || dw > kMaxVectorWidth) return false;
  t->count = 0;
  bool fits = true;
  ForEachBlock(dw, 16 * kLanes, [&](int64_t x) {
    if (!fits) return;
    auto& block = t->block[t->count++];
    block.x = x;
    Picks picks(sw, dw, x);
    const int64_t shared_window = picks.pick() < sw - 32 ? picks.pick() : sw - 32;
    for (int lane = 0; lane < kLanes; ++lane) {
      int64_t base = picks.pick() < sw - 16 ? picks.pick() : sw - 16;
      if (shared) {
        int64_t dwords = (picks.pick() - shared_window) / 4;
        if (dwords > 4) dwords = 4;
        base = shared_window + 4 * dwords;
        for (int i = 0; i < 4; ++i) block.lanes[4 * lane + i] = static_cast<int32_t>(dwords + i);
      }
      block.window[lane] = shared ? shared_window : base;
      for (int j = 0; j < 16; ++j, picks.Next()) {
        const int64_t offset = picks.pick() - base;
        if (offset > 15) {
          fits = false;
          return;
        }
        block.order[16 * lane + j] = static_cast<uint8_t>(offset);
      }
    }
  });
  return fits;
}

// One destination row (and, with kTwoRows, the same bytes into the row
// below) from source row `line`, 16 columns per pshufb.
template <bool kTwoRows>
__attribute__((target("ssse3"))) void NearestRowSsse3(const NearestBlocks<1>& t,
                                                      const uint8_t* line, uint8_t* out,
                                                      int64_t dw) {
  for (int64_t b = 0; b < t.count; ++b) {
    const auto& block = t.block[b];
    const __m128i window =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + block.window[0]));
    const __m128i picked =
        _mm_shuffle_epi8(window, _mm_load_si128(reinterpret_cast<const __m128i*>(block.order)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + block.x), picked);
    if (kTwoRows) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + dw + block.x), picked);
  }
}

// Nearest sample with SSSE3.  Each run of destination rows that pick the
// same source row is built once: its first two rows straight from the
// registers (the stores are what limits an enlargement), any further rows
// copied from the first.
__attribute__((target("ssse3"))) bool NearestSsse3(const uint8_t* src, int64_t sw, int64_t sh,
                                                   uint8_t* dst, int64_t dw, int64_t dh) {
  const NearestBlocks<1>* tables = TableCache<NearestBlocks<1>>::Get(
      sw, dw, 0, [&](NearestBlocks<1>* t) { return BuildNearestBlocks(sw, dw, false, t); });
  if (tables == nullptr) return false;
  const NearestBlocks<1>& t = *tables;
  PickedRows runs(sh, dh);
  while (runs.Next()) {
    const uint8_t* line = src + runs.source_row() * sw;
    uint8_t* out = dst + runs.y() * dw;
    if (runs.count() == 1) {
      NearestRowSsse3<false>(t, line, out, dw);
    } else {
      NearestRowSsse3<true>(t, line, out, dw);
      CopyRunRows(out, dw, 2, runs.count());
    }
  }
  return true;
}

#if defined(YUVSCALER_AVX2)

// One 32-column block of NearestRowAvx2.
template <bool kShared, bool kTwoRows>
__attribute__((target("avx2"), always_inline)) inline void NearestStepAvx2(
    const typename NearestBlocks<2>::Block& block, const uint8_t* line, uint8_t* out, int64_t dw) {
  __m256i window;
  if (kShared) {
    window = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + block.window[0])),
        _mm256_load_si256(reinterpret_cast<const __m256i*>(block.lanes)));
  } else {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + block.window[0]));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + block.window[1]));
    window = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  }
  const __m256i picked =
      _mm256_shuffle_epi8(window, _mm256_load_si256(reinterpret_cast<const __m256i*>(block.order)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), picked);
  if (kTwoRows) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + dw), picked);
}

// As NearestRowSsse3, 32 columns per step.  With kShared one 32-byte load
// and a dword permutation give both lanes their windows.  Every block but
// the last starts 32 columns after the one before (ForEachBlock), so the
// loop walks the destination with a pointer.
template <bool kShared, bool kTwoRows>
__attribute__((target("avx2"))) void NearestRowAvx2(const NearestBlocks<2>& t, const uint8_t* line,
                                                    uint8_t* out, int64_t dw) {
  const auto* block = t.block;
  const auto* const last = t.block + t.count - 1;
  uint8_t* o = out;
  for (; block != last; ++block, o += 32) NearestStepAvx2<kShared, kTwoRows>(*block, line, o, dw);
  NearestStepAvx2<kShared, kTwoRows>(*last, line, out + last->x, dw);
}

template <bool kShared>
__attribute__((target("avx2"))) void NearestRowsAvx2(const NearestBlocks<2>& t, const uint8_t* src,
                                                     int64_t sw, int64_t sh, uint8_t* dst,
                                                     int64_t dw, int64_t dh) {
  PickedRows runs(sh, dh);
  while (runs.Next()) {
    const uint8_t* line = src + runs.source_row() * sw;
    uint8_t* out = dst + runs.y() * dw;
    if (runs.count() == 1) {
      NearestRowAvx2<kShared, false>(t, line, out, dw);
    } else {
      NearestRowAvx2<kShared, true>(t, line, out, dw);
      CopyRunRows(out, dw, 2, runs.count());
    }
  }
}

// As NearestSsse3 with 32-column blocks, preferring shared windows; declines
// what NearestSsse3 may still take (rows of 16 to 31 columns).
__attribute__((target("avx2"))) bool NearestAvx2(const uint8_t* src, int64_t sw, int64_t sh,
                                                 uint8_t* dst, int64_t dw, int64_t dh) {
  // Shared windows where they fit (key 1), else a window per lane (key 0).
  using Blocks = NearestBlocks<2>;
  if (const Blocks* t = TableCache<Blocks>::Get(
          sw, dw, 1, [&](Blocks* b) { return BuildNearestBlocks(sw, dw, true, b); })) {
    NearestRowsAvx2<true>(*t, src, sw, sh, dst, dw, dh);
    return true;
  }
  const Blocks* t = TableCache<Blocks>::Get(
      sw, dw, 0, [&](Blocks* b) { return BuildNearestBlocks(sw, dw, false, b); });
  if (t == nullptr) return false;
  NearestRowsAvx2<false>(*t, src, sw, sh, dst, dw, dh);
  return true;
}

#endif  // YUVSCALER_AVX2

#if defined(YUVSCALER_AVX512)

AVX512_INTRINSICS_BEGIN

// Nearest sample with AVX-512: 64 destination columns per step, picked by
// one vpermb from a 64-byte window at the block's first pick (pulled back
// to stay inside the row) and stored whole, a cache line at a time on a
// line-aligned row.  Takes enlargements across (64 picks then span at most
// 64 source columns) of rows of 64 or more.
struct NearestBlocks512 {
  struct Block {
    alignas(64) uint8_t order[64];
    int64_t x;
    int64_t window;
  };
  Block block[kMaxVectorWidth / 64 + 1];
  int64_t count = 0;
};

bool BuildNearestBlocks512(int64_t sw, int64_t dw, NearestBlocks512* t) {
  if (sw < 64 || dw < 64 || dw > kMaxVectorWidth || sw > dw) return false;
  t->count = 0;
  bool fits = true;
  ForEachBlock(dw, 64, [&](int64_t x) {
    if (!fits) return;
    auto& block = t->block[t->count++];
    block.x = x;
    Picks picks(sw, dw, x);
    block.window = picks.pick() < sw - 64 ? picks.pick() : sw - 64;
    for (int j = 0; j < 64; ++j, picks.Next()) {
      const int64_t offset = picks.pick() - block.window;
      if (offset > 63) {
        fits = false;
        return;
      }
      block.order[j] = static_cast<uint8_t>(offset);
    }
  });
  return fits;
}

// One destination row (and, with kTwoRows, the same bytes into the row
// below) from source row `line`.  Each block's table entry is read before
// the stores of the block before it: the stores go through a byte pointer,
// so the compiler would otherwise read it after them, where a read may
// wait on pending stores (an address matching one in its low 12 bits is
// enough).  Reading ahead made enlargements about a tenth faster.
template <bool kTwoRows>
__attribute__((target("avx512bw,avx512vbmi"))) void NearestRowAvx512(const NearestBlocks512& t,
                                                                     const uint8_t* line,
                                                                     uint8_t* out, int64_t dw) {
  const NearestBlocks512::Block* block = t.block;
  const NearestBlocks512::Block* const end = block + t.count;
  __m512i order = _mm512_load_si512(block->order);
  int64_t x = block->x;
  int64_t window = block->window;
  for (;;) {
    const __m512i picked = _mm512_permutexvar_epi8(order, _mm512_loadu_si512(line + window));
    uint8_t* const at = out + x;
    if (++block != end) {
      order = _mm512_load_si512(block->order);
      x = block->x;
      window = block->window;
    }
    _mm512_storeu_si512(at, picked);
    if (kTwoRows) _mm512_storeu_si512(at + dw, picked);
    if (block == end) break;
  }
}

// The runs of PickedRows over one period: dh / g destination rows, which
// pick sh / g source rows (g = gcd(sh, dh)); the next period has the same
// runs that many rows further down, and a period's first row always starts
// a run.  Made once per shape, like the tables: walking the rows costs
// about a tenth of an enlargement.
struct RowRuns {
  struct Run {
    int64_t source_row;  // within the period
    int64_t count;
  };
  int64_t period_rows = 0;
  int64_t period_source_rows = 0;
  std::vector<Run> runs;
};

bool BuildRowRuns(int64_t sh, int64_t dh, RowRuns* r) {
  const int64_t g = GreatestCommonDivisor(sh, dh);
  r->period_rows = dh / g;
  r->period_source_rows = sh / g;
  if (r->period_rows > kMaxPlannedRows) return false;
  r->runs.clear();
  PickedRows runs(r->period_source_rows, r->period_rows);
  while (runs.Next()) r->runs.push_back({runs.source_row(), runs.count()});
  return true;
}

__attribute__((target("avx512bw,avx512vbmi"))) bool NearestAvx512(const uint8_t* src, int64_t sw,
                                                                  int64_t sh, uint8_t* dst,
                                                                  int64_t dw, int64_t dh) {
  const NearestBlocks512* t = TableCache<NearestBlocks512>::Get(
      sw, dw, 0, [&](NearestBlocks512* b) { return BuildNearestBlocks512(sw, dw, b); });
  if (t == nullptr) return false;
  const RowRuns* plan =
      TableCache<RowRuns>::Get(sh, dh, 0, [&](RowRuns* r) { return BuildRowRuns(sh, dh, r); });
  if (plan == nullptr) return false;
  uint8_t* out = dst;
  const int64_t periods = dh / plan->period_rows;
  for (int64_t n = 0; n < periods; ++n) {
    const uint8_t* period = src + n * plan->period_source_rows * sw;
    for (const RowRuns::Run& run : plan->runs) {
      const uint8_t* line = period + run.source_row * sw;
      if (run.count == 1) {
        NearestRowAvx512<false>(*t, line, out, dw);
      } else {
        NearestRowAvx512<true>(*t, line, out, dw);
        CopyRunRows(out, dw, 2, run.count);
      }
      out += run.count * dw;
    }
  }
  return true;
}

AVX512_INTRINSICS_END

#endif  // YUVSCALER_AVX512

#endif  // YUVSCALER_X86

void AreaAverage(const uint8_t* src, int64_t sw, int64_t sh, uint8_t* dst, int64_t dw, int64_t dh) {
  if (sw == 2 * dw && sh == 2 * dh) {  // 64-bit sizes: no overflow
#if defined(YUVSCALER_AVX2)
    if (HasAvx2() && HalveRoundedAvx2(src, sw, dst, dw, dh)) return;
#endif
#if defined(YUVSCALER_X86)
    if (HasSsse3() && HalveRoundedSsse3(src, sw, dst, dw, dh)) return;
#endif
    HalveRoundedPortable(src, sw, dst, dw, dh);
    return;
  }
#if defined(YUVSCALER_X86)
  if (HasSsse3() && HalveAcrossVector(src, sw, sh, dst, dw, dh)) return;
#if defined(YUVSCALER_AVX512)
  if (HasAvx512Vbmi() && AreaPairsAvx512(src, sw, sh, dst, dw, dh)) return;
#endif
  if (HasSsse3() && AreaPairsVector(src, sw, sh, dst, dw, dh)) return;
  if (HasSsse3() && AreaAverageVector(src, sw, sh, dst, dw, dh)) return;
  if (AreaSeparable(src, sw, sh, dst, dw, dh)) return;
#endif
  AreaAveragePortable(src, sw, sh, dst, dw, dh);
}

void Nearest(const uint8_t* src, int64_t sw, int64_t sh, uint8_t* dst, int64_t dw, int64_t dh) {
#if defined(YUVSCALER_AVX512)
  if (HasAvx512Vbmi() && NearestAvx512(src, sw, sh, dst, dw, dh)) return;
#endif
#if defined(YUVSCALER_AVX2)
  if (HasAvx2() && NearestAvx2(src, sw, sh, dst, dw, dh)) return;
#endif
#if defined(YUVSCALER_X86)
  if (HasSsse3() && NearestSsse3(src, sw, sh, dst, dw, dh)) return;
#endif
  NearestPortable(src, sw, sh, dst, dw, dh);
}

// Expects dw = 2*sw and dh = 2*sh.
void Replicate2(const uint8_t* src, int64_t sw, int64_t sh, uint8_t* dst) {
  const int64_t dw = 2 * sw;
#if defined(YUVSCALER_AVX2)
  const bool has_avx2 = HasAvx2();
#endif
  for (int64_t r = 0; r < sh; ++r) {
    const uint8_t* line = src + r * sw;
    uint8_t* out0 = dst + 2 * r * dw;
    uint8_t* out1 = out0 + dw;
#if defined(YUVSCALER_AVX2)
    if (has_avx2) {
      Replicate2RowAvx2(line, sw, out0, out1);
      continue;
    }
#endif
#if defined(YUVSCALER_X86)
    Replicate2Row(line, sw, out0, out1);
#else
    for (int64_t c = 0; c < sw; ++c) {
      out0[2 * c] = out0[2 * c + 1] = out1[2 * c] = out1[2 * c + 1] = line[c];
    }
#endif
  }
}

// Expects dw = 4*sw and dh = 4*sh.  Builds the first row of each band of
// four and copies it to the other three.
void Replicate4(const uint8_t* src, int64_t sw, int64_t sh, uint8_t* dst) {
  const int64_t dw = 4 * sw;
  for (int64_t r = 0; r < sh; ++r) {
    const uint8_t* line = src + r * sw;
    uint8_t* out = dst + 4 * r * dw;
    int64_t c = 0;
#if defined(YUVSCALER_X86)
    c = Replicate4RowVector(line, sw, out);
#endif
    for (; c < sw; ++c) {
      // memcpy is the defined way to store a word at an unaligned address.
      const uint32_t word = static_cast<uint32_t>(line[c]) * 16843009u;  // 0x01010101
      memcpy(out + 4 * c, &word, sizeof(word));
    }
    for (int i = 1; i < 4; ++i) memcpy(out + i * dw, out, static_cast<size_t>(dw));
  }
}

}  // namespace

void YuvScaler::Scale(const uint8_t* src, long sw, long sh, uint8_t* dst, long dw, long dh,
                      long letterbox_offset, bool interpolate) {
  if (src == nullptr || dst == nullptr) return;
  if (!IsPlaneSize(sw, sh) || !IsPlaneSize(dw, dh)) return;
  const int64_t offset = letterbox_offset > 0 ? letterbox_offset : 0;
  if (offset >= dh - offset) return;  // 2 * offset >= dh: no room; cannot overflow
  const int64_t inner_height = dh - 2 * offset;
  if (sw == dw && sh == dh && offset == 0) {
    // Every plane lands where it lies in the source: one copy of the image.
    memcpy(dst, src, static_cast<size_t>(int64_t{sw} * sh + 2 * int64_t{sw >> 1} * (sh >> 1)));
    return;
  }

  const int64_t src_luma = int64_t{sw} * sh;
  const int64_t src_chroma = int64_t{sw >> 1} * (sh >> 1);
  const int64_t dst_luma = int64_t{dw} * dh;
  const int64_t dst_chroma = int64_t{dw >> 1} * (dh >> 1);
  const int64_t chroma_skip = (offset >> 1) * (dw >> 1);

  ScalePlane(src, sw, sh, dst + offset * dw, dw, static_cast<long>(inner_height), interpolate);
  // Planes of width or height 0 (from a size of 1) are skipped by ScalePlane.
  const long chroma_sw = sw >> 1;
  const long chroma_sh = sh >> 1;
  const long chroma_dw = dw >> 1;
  const long chroma_dh = static_cast<long>(inner_height >> 1);
  ScalePlane(src + src_luma, chroma_sw, chroma_sh, dst + dst_luma + chroma_skip, chroma_dw,
             chroma_dh, interpolate);
  ScalePlane(src + src_luma + src_chroma, chroma_sw, chroma_sh,
             dst + dst_luma + dst_chroma + chroma_skip, chroma_dw, chroma_dh, interpolate);
}

void YuvScaler::ScalePlane(const uint8_t* src, long sw, long sh, uint8_t* dst, long dw, long dh,
                           bool interpolate) {
  if (src == nullptr || dst == nullptr) return;
  if (!IsPlaneSize(sw, sh) || !IsPlaneSize(dw, dh)) return;
  if (dw == sw && dh == sh) {
    CopyPlane(sw, sh, dw, dh, src, dst);
  } else if (dw > sw && dh > sh) {
    if (IsRatio(dw, dh, sw, sh, 2)) {
      ScalePlaneUp2(sw, sh, dw, dh, src, dst, interpolate);
    } else if (IsRatio(dw, dh, sw, sh, 4)) {
      ScalePlaneUp4(sw, sh, dw, dh, src, dst, interpolate);
    } else {
      ScalePlaneUp(sw, sh, dw, dh, src, dst, interpolate);
    }
  } else {
    ScalePlaneSlow(sw, sh, dw, dh, src, dst);
  }
}

void YuvScaler::CopyPlane(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst) {
  if (src == nullptr || dst == nullptr) return;
  if (!IsPlaneSize(sw, sh) || !IsPlaneSize(dw, dh)) return;
  const int64_t src_bytes = int64_t{sw} * sh;
  const int64_t dst_bytes = int64_t{dw} * dh;
  memcpy(dst, src, static_cast<size_t>(src_bytes < dst_bytes ? src_bytes : dst_bytes));
}

void YuvScaler::ScalePlaneUp2(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                              bool interpolate) {
  if (src == nullptr || dst == nullptr) return;
  if (!IsPlaneSize(sw, sh) || !IsPlaneSize(dw, dh)) return;
  if (!IsRatio(dw, dh, sw, sh, 2)) {
    ScalePlaneUp(sw, sh, dw, dh, src, dst, interpolate);
    return;
  }
  Replicate2(src, sw, sh, dst);
}

void YuvScaler::ScalePlaneUp4(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                              bool interpolate) {
  if (src == nullptr || dst == nullptr) return;
  if (!IsPlaneSize(sw, sh) || !IsPlaneSize(dw, dh)) return;
  if (!IsRatio(dw, dh, sw, sh, 4)) {
    ScalePlaneUp(sw, sh, dw, dh, src, dst, interpolate);
    return;
  }
  Replicate4(src, sw, sh, dst);
}

void YuvScaler::ScalePlaneUp(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                             bool /*interpolate*/) {
  if (src == nullptr || dst == nullptr) return;
  if (!IsPlaneSize(sw, sh) || !IsPlaneSize(dw, dh)) return;
  Nearest(src, sw, sh, dst, dw, dh);
}

void YuvScaler::ScalePlaneDown2(long sw, long sh, long dw, long dh, const uint8_t* src,
                                uint8_t* dst, bool interpolate) {
  if (src == nullptr || dst == nullptr) return;
  if (!IsPlaneSize(sw, sh) || !IsPlaneSize(dw, dh)) return;
  if (!IsRatio(sw, sh, dw, dh, 2)) {
    ScalePlaneDown(sw, sh, dw, dh, src, dst, interpolate);
    return;
  }
  for (int64_t y = 0; y < dh; ++y) {
    const uint8_t* a = src + 2 * y * sw;
    const uint8_t* b = a + sw;
    uint8_t* out = dst + y * dw;
    for (int64_t x = 0; x < dw; ++x) {
      // Truncating shift: the block's mean rounded down.
      out[x] = interpolate
                   ? static_cast<uint8_t>((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1]) >> 2)
                   : a[2 * x];
    }
  }
}

void YuvScaler::ScalePlaneDown4(long sw, long sh, long dw, long dh, const uint8_t* src,
                                uint8_t* dst, bool interpolate) {
  if (src == nullptr || dst == nullptr) return;
  if (!IsPlaneSize(sw, sh) || !IsPlaneSize(dw, dh)) return;
  if (!IsRatio(sw, sh, dw, dh, 4)) {
    ScalePlaneDown(sw, sh, dw, dh, src, dst, interpolate);
    return;
  }
  for (int64_t y = 0; y < dh; ++y) {
    const uint8_t* block_row = src + 4 * y * sw;
    uint8_t* out = dst + y * dw;
    for (int64_t x = 0; x < dw; ++x) {
      if (!interpolate) {
        out[x] = block_row[4 * x];
        continue;
      }
      unsigned sum = 0;
      for (int i = 0; i < 4; ++i) {
        const uint8_t* p = block_row + i * sw + 4 * x;
        sum += p[0] + p[1] + p[2] + p[3];
      }
      out[x] = static_cast<uint8_t>(sum >> 4);
    }
  }
}

void YuvScaler::ScalePlaneDown(long sw, long sh, long dw, long dh, const uint8_t* src, uint8_t* dst,
                               bool interpolate) {
  if (interpolate) {
    ScalePlaneSlow(sw, sh, dw, dh, src, dst);
  } else {
    ScalePlaneUp(sw, sh, dw, dh, src, dst, interpolate);
  }
}

void YuvScaler::ScalePlaneSlow(long sw, long sh, long dw, long dh, const uint8_t* src,
                               uint8_t* dst) {
  if (src == nullptr || dst == nullptr) return;
  if (!IsPlaneSize(sw, sh) || !IsPlaneSize(dw, dh)) return;
  AreaAverage(src, sw, sh, dst, dw, dh);
}
