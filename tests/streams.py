"""Stream doubles for the decoders: in-memory streams that record how they are
read, or that hand back something other than bytes."""

import io


class RecordingStream(io.BytesIO):
    """A BytesIO that logs every read size and seek position, in order."""

    def __init__(self, data: bytes = b""):
        super().__init__(data)
        self.calls = []

    def read(self, size=-1):
        self.calls.append(("read", size))
        return super().read(size)

    def seek(self, position, whence=0):
        self.calls.append(("seek", position))
        return super().seek(position, whence)


class ConvertingStream(io.BytesIO):
    """A BytesIO whose reads of `size` bytes come back passed through `convert`."""

    def __init__(self, data: bytes, size: int, convert):
        super().__init__(data)
        self.size, self.convert = size, convert

    def read(self, size=-1):
        data = super().read(size)
        return self.convert(data) if size == self.size else data
