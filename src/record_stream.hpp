#pragma once
// Record streams: fixed-size records back to back in a bytes argument, read in
// place, with no header or count. A stream of L bytes holds ceil(L / Size)
// records; a short trailing piece is a record too, and its reader fails on it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vorlinde {

template <std::size_t Size>
class RecordStream {
 public:
  explicit RecordStream(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t count() const { return (bytes_.size() + Size - 1) / Size; }

  // Record i, i < count(); shorter than Size only for a short last piece.
  std::span<const std::uint8_t> record(std::size_t i) const {
    const std::size_t begin = i * Size;
    return bytes_.subspan(begin, std::min(Size, bytes_.size() - begin));
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace vorlinde
