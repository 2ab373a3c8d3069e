// Each input is taken as a PNG file and decoded along the extension's byte
// route: the codec core walks the chunks and judges the header, the kernels'
// inflater inflates the joined IDAT data to exactly the size the header gives,
// and the scanline decoder rebuilds the rows. The literal decoder decodes it
// too. Both must refuse in the same words up to the header; where the inflater
// takes the data, both must give the same pixels, alpha plane and filter
// list, or refuse the same row's filter type; where it does not, the literal
// decoder must have found the data broken or of another size, or followed by
// bytes after the stream's end (which the extension then leaves to zlib).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "expect.hpp"
#include "kernels/inflate.hpp"
#include "kernels/scanline_decoder.hpp"
#include "kernels/sizes.hpp"
#include "literal_png.hpp"
#include "png/chunks.hpp"
#include "png/format.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using literal::Ending;

// Deflate data inflates to at most 1032 times its size (a match of 258 bytes
// in two bits); a header that asks for more cannot be filled.
std::int64_t mostInflated(std::size_t compressed) {
    return 1032 * static_cast<std::int64_t>(compressed) + 1024;
}

bool reachedTheRows(const literal::Decoded& expected) {
    return expected.ending == Ending::decoded ||
           expected.refusal == png::Refusal::unsupportedFilter;
}

Bytes joined(const std::vector<png::ByteSpan>& parts) {
    Bytes data;
    for (const png::ByteSpan part : parts) {
        data.insert(data.end(), part.begin(), part.end());
    }
    return data;
}

void checkRows(const kernels::ScanlineLayout& layout, const Bytes& stream,
               const literal::Decoded& expected) {
    const bool rgba = layout.channels == 4;
    Bytes rgb(layout.width * layout.height * 3), alpha(rgba ? layout.width * layout.height : 0);
    Bytes filters(layout.height), scratch(rgba && layout.height > 0 ? 2 * layout.stride() : 0);
    const std::optional<std::size_t> refused =
        kernels::decodeScanlines(layout, stream, rgb, alpha, filters, scratch);
    if (refused) {
        fuzz::expect(expected.refusal == png::Refusal::unsupportedFilter &&
                         expected.filterType == stream[*refused * (layout.stride() + 1)],
                     "refused another row");
        return;
    }
    fuzz::expect(expected.ending == Ending::decoded, "decoded an image with a refused row");
    fuzz::expect(rgb == expected.pixels && alpha == expected.alpha && filters == expected.filters,
                 "other planes");
}

void checkImageData(const png::ChunkList& list, const literal::Decoded& expected) {
    const png::Header& header = list.header;
    const int channels = header[png::kColourTypeField] == png::kColourRgb ? 3 : 4;
    const std::optional<std::int64_t> size = kernels::sizes::multiply(
        kernels::sizes::add(kernels::sizes::multiply(header[png::kWidthField], channels), 1),
        header[png::kHeightField]);
    const Bytes data = joined(list.imageData);
    if (!size || *size > mostInflated(data.size())) {
        fuzz::expect(!reachedTheRows(expected), "rebuilt rows that cannot be there");
        return;
    }
    Bytes stream(static_cast<std::size_t>(*size));
    if (!kernels::inflateExactly(data, stream)) {
        fuzz::expect(!reachedTheRows(expected) || expected.trailingData,
                     "the inflater refused image data that zlib takes");
        return;
    }
    fuzz::expect(reachedTheRows(expected) && !expected.trailingData,
                 "the inflater took image data that zlib refuses");
    const kernels::ScanlineLayout layout{static_cast<std::size_t>(header[png::kWidthField]),
                                         static_cast<std::size_t>(header[png::kHeightField]),
                                         channels};
    checkRows(layout, stream, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const png::ByteSpan bytes{data, size};
    const literal::Decoded expected = literal::decode(bytes);
    png::ChunkList list;
    png::Refusal refusal = png::walkFile(bytes, 0, list);
    if (refusal == png::Refusal::none) {
        refusal = png::checkHeader(list.header);
    }
    if (refusal != png::Refusal::none) {
        fuzz::expect(expected.ending == Ending::refused && expected.refusal == refusal,
                     "another refusal of the chunks or the header");
        return 0;
    }
    fuzz::expect(expected.ending != Ending::refused ||
                     expected.refusal == png::Refusal::malformedImageData ||
                     expected.refusal == png::Refusal::unsupportedFilter,
                 "accepted a header that is refused");
    checkImageData(list, expected);
    return 0;
}
