"""A structure-aware mutator for PNG and BMP files.

Byte-level mutations of a PNG almost always break a chunk's CRC, so the fuzzer
would spend its time on "Corrupted PNG chunk detected". This mutator takes the
file apart into chunks, changes it at the level of chunks, header fields and
the inflated image data, and puts it back together with valid CRCs; only a
small share of its outputs is damaged on purpose. BMP files get their header
fields set to boundary values. Anything else goes to the fuzzer's own mutator.
"""

import random
import struct
import zlib

import atheris

import paths  # noqa: F401  (makes the test helpers importable)
from imagefiles import PNG_SIGNATURE, bmp_headers, chunk, ihdr_data, make_bmp, make_png

BOUNDARIES = (0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 40, 54, 108, 255, 256, 0x7FFF, 0x8000, 0xFFFF,
              60000, 2**24, 2**30, 2**31 - 1, 2**31, 2**31 + 1, 2**32 - 2, 2**32 - 1)
MAX_INFLATE = 1 << 20


def boundary(rng: random.Random) -> int:
    return rng.choice(BOUNDARIES) if rng.random() < 0.8 else rng.randrange(2**32)


# --- PNG -------------------------------------------------------------------

def split_chunks(body: bytes) -> tuple[list[list[bytes]], bytes]:
    """The chunks after the signature as [type, data] pairs, CRCs ignored, and
    whatever does not form a whole chunk at the end."""
    chunks, offset = [], 0
    while offset + 12 <= len(body):
        (length,) = struct.unpack(">I", body[offset:offset + 4])
        end = offset + 12 + length
        if end > len(body):
            break
        chunks.append([body[offset + 4:offset + 8], body[offset + 8:offset + 8 + length]])
        offset = end
    return chunks, body[offset:]


def join_chunks(chunks: list[list[bytes]], tail: bytes) -> bytes:
    return PNG_SIGNATURE + b"".join(chunk(t, d) for t, d in chunks) + tail


def set_header_field(chunks, rng):
    """One IHDR field (of the first IHDR, made if there is none) set to a boundary value."""
    headers = [c for c in chunks if c[0] == b"IHDR"]
    if not headers:
        headers = [[b"IHDR", ihdr_data(1, 1)]]
        chunks.insert(0, headers[0])
    data = bytearray(headers[0][1].ljust(13, b"\x00")[:13])
    field = rng.randrange(7)
    if field < 2:
        data[4 * field:4 * field + 4] = struct.pack(">I", boundary(rng))
    else:
        choices = {2: (1, 2, 4, 8, 16), 3: (0, 2, 3, 4, 6, 7)}.get(field, (0, 1))
        data[6 + field] = rng.choice(choices) if rng.random() < 0.9 else rng.randrange(256)
    headers[0][1] = bytes(data)


def inflated_image_data(chunks) -> bytes | None:
    joined = b"".join(d for t, d in chunks if t == b"IDAT")
    try:
        return zlib.decompressobj().decompress(joined, MAX_INFLATE)
    except zlib.error:
        return None


def replace_image_data(chunks, payload: bytes, rng):
    """Puts `payload` into IDAT chunks of random sizes where the first IDAT stood."""
    cuts = sorted(rng.randrange(len(payload) + 1) for _ in range(rng.randrange(4)))
    pieces = [payload[a:b] for a, b in zip([0] + cuts, cuts + [len(payload)])]
    first = next((i for i, c in enumerate(chunks) if c[0] == b"IDAT"), None)
    kept = [c for c in chunks if c[0] != b"IDAT"]
    at = first if first is not None else max(len(kept) - 1, 0)
    kept[at:at] = [[b"IDAT", piece] for piece in pieces]
    chunks[:] = kept


def expected_raw_size(chunks) -> int | None:
    header = next((d for t, d in chunks if t == b"IHDR" and len(d) == 13), None)
    if header is None:
        return None
    width, height, _, colour_type = struct.unpack(">IIBB", header[:10])
    size = height * (width * (4 if colour_type == 6 else 3) + 1)
    return size if size <= MAX_INFLATE else None


def mutate_image_data(chunks, rng):
    """Changes the inflated scanlines (or the compressed bytes) and recompresses."""
    raw = inflated_image_data(chunks)
    if raw is None or rng.random() < 0.15:
        joined = b"".join(d for t, d in chunks if t == b"IDAT")
        replace_image_data(chunks, atheris.Mutate(joined, len(joined) + 64), rng)
        return
    action = rng.randrange(4)
    if action == 0:
        size = expected_raw_size(chunks)
        raw = rng.randbytes(size) if size is not None else raw
        raw = bytes(b % 5 if i % 7 == 0 else b for i, b in enumerate(raw))
    elif action == 1 and raw:
        data = bytearray(raw)
        data[rng.randrange(len(data))] = rng.choice((0, 1, 2, 3, 4, 5, 255))
        raw = bytes(data)
    elif action == 2:
        raw = raw[:-rng.randrange(1, 4)] if rng.random() < 0.5 else raw + rng.randbytes(3)
    else:
        raw = atheris.Mutate(raw, len(raw) + 16)
    payload = zlib.compress(raw, rng.randrange(10))
    if rng.random() < 0.1:
        payload += rng.randbytes(rng.randrange(8))  # bytes after the end of the stream
    replace_image_data(chunks, payload, rng)


EXTRA_CHUNKS = ([b"IEND", b""], [b"IDAT", b""], [b"tEXt", b"key\x00value"], [b"zzZz", b"\x00"],
                [b"PLTE", bytes(6)], [b"tRNS", bytes(6)], [b"IHDR", ihdr_data(2, 2)])


def rearrange(chunks, rng):
    """Deletes, duplicates, swaps or inserts a chunk."""
    action = rng.randrange(4)
    if chunks and action == 0:
        del chunks[rng.randrange(len(chunks))]
    elif chunks and action == 1:
        chunks.insert(rng.randrange(len(chunks) + 1), list(rng.choice(chunks)))
    elif len(chunks) > 1 and action == 2:
        i, j = rng.sample(range(len(chunks)), 2)
        chunks[i], chunks[j] = chunks[j], chunks[i]
    else:
        chunks.insert(rng.randrange(len(chunks) + 1), list(rng.choice(EXTRA_CHUNKS)))


def mutate_chunk_data(chunks, rng):
    if chunks:
        target = rng.choice(chunks)
        target[1] = atheris.Mutate(target[1], len(target[1]) + 32)


def damage(data: bytes, rng) -> bytes:
    """The few outputs that break the chunk layer on purpose."""
    action = rng.randrange(4)
    if action == 0:
        return data[:rng.randrange(len(data) + 1)]
    if action == 1:
        return data + rng.randbytes(rng.randrange(1, 16))
    position = rng.randrange(8, max(len(data) - 3, 9))
    replacement = struct.pack(">I", boundary(rng)) if action == 2 else rng.randbytes(4)
    return data[:position] + replacement + data[position + 4:]


def synthesized_png(rng) -> bytes:
    width, height = rng.randrange(9), rng.randrange(1, 9)
    alpha = rng.randbytes(width * height) if rng.random() < 0.5 else None
    filters = [rng.randrange(5) for _ in range(height)]
    extras = [tuple(rng.choice(EXTRA_CHUNKS[2:6])) for _ in range(rng.randrange(3))]
    return make_png(width, height, rng.randbytes(width * height * 3), alpha, filters=filters,
                    idat_sizes=[rng.randrange(1, 40) for _ in range(rng.randrange(1, 4))],
                    before_idat=extras[:1], after_idat=extras[1:], iend=rng.random() < 0.9)


PNG_MUTATIONS = (set_header_field, mutate_image_data, mutate_image_data, rearrange,
                 mutate_chunk_data)


def mutate_png(data: bytes, rng) -> bytes:
    chunks, tail = split_chunks(data[len(PNG_SIGNATURE):])
    for _ in range(rng.randrange(1, 3)):
        rng.choice(PNG_MUTATIONS)(chunks, rng)
    result = join_chunks(chunks, tail if rng.random() < 0.5 else b"")
    return damage(result, rng) if rng.random() < 0.05 else result


# --- BMP -------------------------------------------------------------------

BMP_FIELDS = {10: "<I", 14: "<I", 18: "<i", 22: "<i", 26: "<H", 28: "<H", 30: "<I", 38: "<i",
              46: "<I"}
BMP_CHOICES = {14: (12, 40, 108, 124), 26: (0, 1, 2), 28: (1, 8, 16, 24, 32), 30: (0, 1, 3)}


def mutate_bmp(data: bytes, rng) -> bytes:
    if len(data) < 54:
        return bmp_headers(boundary(rng) % 8, rng.randrange(-4, 5)) + data[54:]
    position = rng.choice(list(BMP_FIELDS))
    form = BMP_FIELDS[position]
    if position in BMP_CHOICES and rng.random() < 0.8:
        value = rng.choice(BMP_CHOICES[position])
    else:
        value = boundary(rng)
        if form == "<i":
            value = value - 2**32 if value >= 2**31 else value
        elif form == "<H":
            value &= 0xFFFF
    return data[:position] + struct.pack(form, value) + data[position + struct.calcsize(form):]


def synthesized_bmp(rng) -> bytes:
    width, height = rng.randrange(9), rng.randrange(9)
    return make_bmp(width, height, rng.randbytes(width * height * 3), top_down=rng.random() < 0.3,
                    gap=rng.randbytes(rng.randrange(3)), xppm=rng.randrange(-2, 4000),
                    padding_byte=rng.randrange(256), trailing=rng.randbytes(rng.randrange(3)))


# --- the fuzzer's entry point --------------------------------------------

def mutate(data: bytes, max_size: int, seed: int) -> bytes:
    rng = random.Random(seed)
    choice = rng.random()
    if choice < 0.04:
        result = synthesized_png(rng) if rng.random() < 0.7 else synthesized_bmp(rng)
    elif data.startswith(PNG_SIGNATURE) and choice < 0.9:
        result = mutate_png(data, rng)
    elif data[:2] == b"BM" and choice < 0.6:
        result = mutate_bmp(data, rng)
    else:
        result = atheris.Mutate(data, max_size)
    return result[:max_size]
