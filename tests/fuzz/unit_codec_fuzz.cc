// Fuzz target: any bytes as a stored compress unit, for every framing of the format versions.
// A unit either inflates to exactly one unit of data or is refused; nothing else may happen.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/compress_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tav::img::UnitCodec codec;
  static std::vector<uint8_t> out(tav::img::kUnitBytes);
  for (tav::img::FormatVersion v : {tav::img::FormatVersion{3, 0}, tav::img::FormatVersion{3, 2},
                                    tav::img::FormatVersion{3, 4}}) {
    (void)codec.inflate({data, size}, v, out);
  }
  return 0;
}
