#include "deflate.h"

#include <zlib.h>

#include <stdexcept>

namespace flashwright::detail {

std::string zlib_compress(std::string_view raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    const int rc =
        compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()), 9);
    if (rc != Z_OK) throw std::runtime_error("zlib compress failed (" + std::to_string(rc) + ")");
    out.resize(size);
    return out;
}

}  // namespace flashwright::detail
