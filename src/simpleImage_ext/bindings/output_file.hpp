// The files that the writers create.
//
// Writers finish every check before they get here, so a call that fails before
// writing leaves an existing file as it was. The destination is reached as the
// built-in `open(path, "wb")` would reach it (the kernel follows the links and
// applies its link protections), and what is written goes, where it can, to a
// new file without a name in the folder of the file reached. It is linked into
// place only once it is complete and closed, with the owner, group, mode and
// extended attributes of the file it replaces: a write that fails (a full disk,
// an interrupt) or a killed process then leaves the destination as it was, and
// nothing else behind.
//
// A regular file that cannot be replaced that way (several links, an owner or an
// attribute that the new file cannot be given, a folder that refuses a new file,
// a mount point) is written in place, after the room for the new contents has
// been reserved, and cut to the new size afterwards. Destinations that are no
// regular file (a descriptor, a device, a pipe, whatever leads through /proc)
// go to the built-in `open(path, "wb")`, as a plain Python writer's would; so do
// paths that `open` refuses, which then raise `open`'s own error. Either way the
// file is used as a managed file, closed on every way out.
#pragma once

#include <Python.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "capi/context.hpp"
#include "capi/ref.hpp"

namespace output_file {

// file.write(piece), with `write` looked up on the file for every call.
bool write(PyObject* file, PyObject* piece);

// One write call per piece, in order.
bool writeAll(PyObject* file, std::span<const py::Ref> pieces);

// The bytes that writing `pieces` and then `more` bytes puts in a file; nothing
// when a piece is not a bytes object, whose write may take any length.
std::optional<std::uint64_t> totalSize(std::span<const py::Ref> pieces, std::uint64_t more = 0);

// An open file descriptor, closed with its owner.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    Descriptor(Descriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    Descriptor& operator=(Descriptor other) noexcept {
        std::swap(descriptor_, other.descriptor_);
        return *this;
    }
    ~Descriptor();

    int get() const { return descriptor_; }
    explicit operator bool() const { return descriptor_ >= 0; }

private:
    int descriptor_ = -1;
};

// Where the destination stands, as the kernel reached it.
struct Place {
    enum class Kind {
        throughOpen,  // to be left to the built-in `open`
        missing,      // no file yet: `name` in `folder` is free
        existing,     // a regular file, entered in `folder` as `name`
        changed,      // changed while it was being looked at
    };
    Kind kind = Kind::throughOpen;
    int folder = -1;         // the folder that holds the entry
    Descriptor linkFolder;   // owns `folder` when a link led there
    std::string name;
    Descriptor file;         // existing: the file, open for writing, not emptied
    struct stat status = {};  // existing: of `file`
};

// The file that the writes of one call go to, for the path a caller gave.
class Destination {
public:
    Destination(PyObject* path, std::optional<std::uint64_t> size) : path_(path), size_(size) {}
    ~Destination();
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    // Opens a new file for the destination, or else the destination in place;
    // false with an exception set, the one that `open` raises for a path it refuses.
    bool open();

    // The file object that the writes go to (borrowed).
    PyObject* file() const { return file_.get(); }

    enum class Outcome {
        done,     // the written file is at the destination
        failed,   // an exception is set; a destination to be replaced is as it was
        refused,  // the destination cannot be replaced; it is as it was
    };
    // Once the file is closed, complete: puts a new file in the destination's
    // place, or cuts a file written in place to what was written.
    Outcome complete();

    // After `refused`: opens the destination itself, to be written in place.
    bool openInPlace();

private:
    bool standsIn();
    bool createNewFile(mode_t mode);
    bool openReserved();
    bool openThroughBuiltin();
    bool wrapDescriptor(int descriptor);
    bool raiseError(int error);
    std::optional<Outcome> takeFreeName();
    std::optional<Outcome> replaceExisting();
    bool linkHidden();
    Outcome linkingFailed(int error);
    bool reachAgain();
    Outcome cutToWritten();
    void discardNewFile();

    PyObject* path_;                      // as the caller gave it
    std::optional<std::uint64_t> size_;   // of what will be written, when known
    py::Ref openable_;     // what `open` gets: the path, or what its __fspath__ returned
    py::Ref file_;
    Descriptor startFolder_;   // the folder the path names, opened by the kernel
    std::string startName_;    // the path's last component
    Place place_;
    Descriptor newFile_;       // the file that replaces the destination, until it is linked
    std::string hiddenName_;   // its name in place_.folder, where it has one
    bool synced_ = false;      // whether the new file has reached the disk
    Descriptor inPlace_;       // the destination, written in place
};

// Opens `path` for writing and runs `body(file) -> bool` (false with an
// exception set) inside the `with` block; `size` is the number of bytes that
// `body` writes, where the caller knows it. False with the exception set on
// failure. `body` runs a second time, on the destination opened in place, when
// a complete new file cannot take the destination's name (a mount point, a
// system that cannot name a file made without one): it must do nothing but write.
template <class Body>
bool create(PyObject* path, std::optional<std::uint64_t> size, Body&& body) {
    Destination destination(path, size);
    if (!destination.open()) {
        return false;
    }
    for (;;) {
        const py::BlockOutcome written = py::withBlock(destination.file(), body).outcome;
        if (written != py::BlockOutcome::completed) {
            // Suppressed by __exit__: no exception, but no complete file to put in place.
            return written == py::BlockOutcome::suppressed;
        }
        // A destination opened in place is never refused, so this runs at most twice.
        const Destination::Outcome completed = destination.complete();
        if (completed != Destination::Outcome::refused) {
            return completed == Destination::Outcome::done;
        }
        if (!destination.openInPlace()) {
            return false;
        }
    }
}

// Creates `path` holding `pieces`, written one call each, in order.
inline bool createWith(PyObject* path, std::span<const py::Ref> pieces) {
    return create(path, totalSize(pieces),
                  [pieces](PyObject* file) { return writeAll(file, pieces); });
}

}  // namespace output_file
