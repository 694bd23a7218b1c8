// Candidate selection of the opaque renderer: the faces whose x/y bounding box meets a pixel's
// closed square, in face index order, at most 32 per pixel.
//
// The rule is a linear scan over all faces. The binned scan gives exactly the same candidates
// faster: it keeps the faces meeting a band of rows, then one row, then a segment of columns, each
// list filtered from the one above in face index order, so a pixel only tests its segment's
// faces. Every coarser rectangle is bounded by the same floating-point expressions as the pixels
// it holds (rounding is monotone), so a face that misses it misses each of its pixels. A list
// that would overflow its fixed capacity is marked invalid and its level falls back to the
// nearest valid coarser list (or to all faces). Nothing is allocated: the lists live in the
// scan object, on the caller's stack.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

namespace vrel::opaque {

inline constexpr int32_t kCandidateCapacity = 32;

// Pixel (row j, column i) is the closed square [ox + i, ox + i + 1] x [oy + j, oy + j + 1].
struct Image {
  int64_t height;
  int64_t width;
  double ox;
  double oy;
};

struct Box {
  double min_x, max_x, min_y, max_y;
};

// Whether a box meets the closed rectangle [x0, x1] x [y0, y1].
inline bool meets(const Box& b, double x0, double x1, double y0, double y1) noexcept {
  return !(x0 > b.max_x || b.min_x > x1 || y0 > b.max_y || b.min_y > y1);
}

// The faces of a mesh and their x/y boxes (widened to double).
template <typename T>
struct FaceSet {
  const T* vertices;
  const int32_t* faces;
  int64_t count;

  Box box(int64_t f) const noexcept {
    Box b{};
    for (int k = 0; k < 3; ++k) {
      const int64_t v = faces[3 * f + k];
      const double x = static_cast<double>(vertices[3 * v]);
      const double y = static_cast<double>(vertices[3 * v + 1]);
      if (k == 0 || x < b.min_x) b.min_x = x;
      if (k == 0 || x > b.max_x) b.max_x = x;
      if (k == 0 || y < b.min_y) b.min_y = y;
      if (k == 0 || y > b.max_y) b.max_y = y;
    }
    return b;
  }
};

// The list capacities (band, row, segment) are parameters so that tests can force every fallback.
template <typename T, int32_t BandCapacity = 4096, int32_t RowCapacity = 2048,
          int32_t SegmentCapacity = 512>
class CandidateScan {
 public:
  static constexpr int64_t kBandRows = 8;
  static constexpr int64_t kSegmentColumns = 8;

  CandidateScan(const FaceSet<T>& faces, const Image& image, bool binned) noexcept
      : faces_(faces),
        image_(image),
        binned_(binned && faces.count <= std::numeric_limits<int32_t>::max()) {}

  // The candidates of pixel (j, i) into `out` (capacity 32); their number, or -1 when a 33rd
  // candidate exists.
  int32_t collect(int64_t j, int64_t i, int64_t* out) noexcept {
    const double u = image_.ox + static_cast<double>(i);
    const double o = image_.oy + static_cast<double>(j);
    if (binned_) refresh(j, i);
    int32_t n = 0;
    bool overflow = false;
    scan(deepest(3), u, u + 1, o, o + 1, [&](int64_t f) {
      if (n == kCandidateCapacity) {
        overflow = true;
        return false;
      }
      out[n++] = f;
      return true;
    });
    return overflow ? -1 : n;
  }

 private:
  struct List {
    int32_t* items;
    int32_t capacity;
    int32_t count = 0;
    bool valid = false;
    int64_t key = -1;
  };

  // Levels 0 band, 1 row, 2 segment; the source of level `level` is the deepest valid list
  // above it (null: all faces).
  const List* deepest(int level) const noexcept {
    for (int l = level - 1; l >= 0; --l)
      if (binned_ && levels_[l].valid) return &levels_[l];
    return nullptr;
  }

  // Calls `fn(f)` for each face of `source` (or of the mesh) meeting the rectangle, in face
  // index order, until it returns false.
  template <typename Fn>
  void scan(const List* source, double x0, double x1, double y0, double y1,
            Fn&& fn) const noexcept {
    if (source == nullptr) {
      for (int64_t f = 0; f < faces_.count; ++f)
        if (meets(faces_.box(f), x0, x1, y0, y1) && !fn(f)) return;
      return;
    }
    for (int32_t k = 0; k < source->count; ++k) {
      const int64_t f = source->items[k];
      if (meets(faces_.box(f), x0, x1, y0, y1) && !fn(f)) return;
    }
  }

  void build(int level, int64_t key, double x0, double x1, double y0, double y1) noexcept {
    List& list = levels_[level];
    list.key = key;
    list.count = 0;
    list.valid = true;
    const List* source = deepest(level);
    scan(source, x0, x1, y0, y1, [&](int64_t f) {
      if (list.count == list.capacity) {
        list.valid = false;
        return false;
      }
      list.items[list.count++] = static_cast<int32_t>(f);
      return true;
    });
  }

  void refresh(int64_t j, int64_t i) noexcept {
    const double x_first = image_.ox;
    const double x_last = (image_.ox + static_cast<double>(image_.width - 1)) + 1;
    const int64_t band = j / kBandRows;
    const int64_t segment = i / kSegmentColumns;
    if (levels_[0].key != band) {
      const int64_t j0 = band * kBandRows;
      const int64_t j1 = std::min(j0 + kBandRows, image_.height) - 1;
      build(0, band, x_first, x_last, image_.oy + static_cast<double>(j0),
            (image_.oy + static_cast<double>(j1)) + 1);
      levels_[1].key = -1;
    }
    if (levels_[1].key != j) {
      const double o = image_.oy + static_cast<double>(j);
      build(1, j, x_first, x_last, o, o + 1);
      levels_[2].key = -1;
    }
    if (levels_[2].key != segment) {
      const int64_t i0 = segment * kSegmentColumns;
      const int64_t i1 = std::min(i0 + kSegmentColumns, image_.width) - 1;
      const double o = image_.oy + static_cast<double>(j);
      build(2, segment, image_.ox + static_cast<double>(i0),
            (image_.ox + static_cast<double>(i1)) + 1, o, o + 1);
    }
  }

  FaceSet<T> faces_;
  Image image_;
  bool binned_;
  int32_t band_items_[BandCapacity];
  int32_t row_items_[RowCapacity];
  int32_t segment_items_[SegmentCapacity];
  List levels_[3] = {
      {band_items_, BandCapacity}, {row_items_, RowCapacity}, {segment_items_, SegmentCapacity}};
};

}  // namespace vrel::opaque
