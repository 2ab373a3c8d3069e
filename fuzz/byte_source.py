"""Choices drawn from a fuzzer's input bytes.

The harnesses take every decision from the input through this class rather
than through the fuzzer's own data provider, so that a saved input replays to
the same calls without the fuzzer installed."""


class ByteSource:
    def __init__(self, data: bytes):
        self._data = data
        self._position = 0

    def byte(self) -> int:
        """The next byte; 0 once the input is used up, so every input is complete."""
        if self._position >= len(self._data):
            return 0
        value = self._data[self._position]
        self._position += 1
        return value

    def below(self, limit: int) -> int:
        """An integer from 0 to limit - 1 (limit at most 2**32)."""
        if limit <= 256:
            return self.byte() % limit
        value = 0
        for _ in range(4):
            value = value << 8 | self.byte()
        return value % limit

    def chance(self, percent: int) -> bool:
        return self.below(100) < percent

    def pick(self, options):
        return options[self.below(len(options))]

    def blob(self, largest: int) -> bytes:
        """Up to `largest` bytes taken from the input as they are."""
        size = min(self.below(largest + 1), len(self._data) - self._position)
        size = max(size, 0)
        piece = self._data[self._position:self._position + size]
        self._position += size
        return piece
