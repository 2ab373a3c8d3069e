// Each input is taken as a BMP file and decoded twice: by the codec's
// functions on bytes, composed as the extension's byte route composes them
// (headers, then the plane only for a file that holds every row, then the
// rows), and by the literal decoder. Both must end the same way (a refusal, a
// cut information header, a plane size out of range, a row offset beyond 32 bits)
// with reading stopped at the same place, and a decoded file must give the
// same size, pixels and header record.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "bmp/decode.hpp"
#include "expect.hpp"
#include "literal_bmp.hpp"

namespace {

using literal::BmpEnding;

void checkDecoded(const bmp::Headers& headers, const bmp::Layout& layout,
                  const std::vector<std::uint8_t>& pixels, const literal::BmpDecoded& expected) {
    fuzz::expect(expected.ending == BmpEnding::decoded, "decoded a file that is refused");
    fuzz::expect(layout.width == expected.width && layout.rowCount == expected.height,
                 "another size");
    fuzz::expect(pixels == expected.pixels, "other pixels");
    const std::int64_t record[] = {headers.info[bmp::kXppmField], headers.info[bmp::kYppmField],
                                   headers.info[bmp::kClrUsedField],
                                   headers.info[bmp::kClrImportantField]};
    fuzz::expect(std::ranges::equal(record, expected.record), "another header record");
}

void check(bmp::ByteSpan bytes, const literal::BmpDecoded& expected) {
    bmp::Headers headers;
    std::size_t end = 0;
    const std::optional<bmp::Refusal> refusal = bmp::readHeaders(bytes, 0, headers, end);
    if (refusal || headers.cutInfo) {
        fuzz::expect(end == expected.end, "the headers' reading stopped elsewhere");
    }
    if (refusal) {
        fuzz::expect(expected.ending == BmpEnding::refused && expected.refusal == *refusal,
                     "another refusal of the headers");
        return;
    }
    if (headers.cutInfo) {
        fuzz::expect(expected.ending == BmpEnding::cutInfoHeader, "a header that is not cut");
        return;
    }
    const bmp::Layout layout = bmp::Layout::of(headers);
    const std::optional<std::int64_t> planeSize = layout.planeSize();
    if (!planeSize || *planeSize < 0) {
        const BmpEnding ending = planeSize ? BmpEnding::negativeSize : BmpEnding::planeSizeOverflow;
        fuzz::expect(expected.ending == ending && end == expected.end, "another plane size");
        return;
    }
    const bool whole = bmp::holdsEveryRow(bytes, headers.offset, layout);
    std::vector<std::uint8_t> pixels(whole ? static_cast<std::size_t>(*planeSize) : 0);
    const bmp::RowsEnd rows = bmp::readRows(bytes, headers.offset, layout, pixels, end);
    fuzz::expect(end == expected.end, "the rows' reading stopped elsewhere");
    switch (rows) {
        case bmp::RowsEnd::incomplete:
            fuzz::expect(expected.ending == BmpEnding::refused &&
                             expected.refusal == bmp::Refusal::incompletePixelData,
                         "refused rows that are all there");
            break;
        case bmp::RowsEnd::offsetTooLarge:
            fuzz::expect(expected.ending == BmpEnding::rowOffsetTooLarge, "another row offset");
            break;
        case bmp::RowsEnd::stored:
            checkDecoded(headers, layout, pixels, expected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bmp::ByteSpan bytes{data, size};
    check(bytes, literal::decodeBmp(bytes));
    return 0;
}
