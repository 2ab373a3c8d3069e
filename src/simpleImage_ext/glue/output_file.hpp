// The files that the writers create.
//
// Writers finish every check before they get here, so a call that fails before
// writing leaves an existing file as it was. What is written goes, where it can,
// to a new temporary file beside the destination, which takes the destination's
// name only once it is complete and closed: a write that fails (a full disk, an
// interrupt) then leaves the destination as it was, too, and no file behind.
// Destinations that cannot be replaced that way (a descriptor, a device, a pipe,
// a file with several links, a folder that refuses a new file) are opened in
// place with the built-in `open(path, "wb")`, as a plain Python writer would.
// Either way the file is used as a managed file, closed on every way out.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <utility>

#include "glue/context.hpp"
#include "glue/ref.hpp"

namespace output_file {

// file.write(piece), with `write` looked up on the file for every call.
bool write(PyObject* file, PyObject* piece);

// One write call per piece, in order.
bool writeAll(PyObject* file, std::span<const py::Ref> pieces);

// The file that the writes of one call go to, for the path a caller gave.
class Destination {
public:
    explicit Destination(PyObject* path) : path_(path) {}
    ~Destination();
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    // Opens a temporary file beside the destination, or else the destination in
    // place; false with the exception that the built-in `open` raises for it.
    bool open();

    // The file object that the writes go to (borrowed).
    PyObject* file() const { return file_.get(); }

    enum class Outcome {
        done,     // the written file is at the destination
        failed,   // an exception is set; the destination is as it was
        refused,  // the destination cannot be replaced; it is as it was
    };
    // Once the file is closed, complete: puts a temporary file in the
    // destination's place. Until then, and on every way out but `done`, the
    // temporary file is removed.
    Outcome replace();

    // Opens the destination itself, as the built-in `open(path, "wb")` does.
    bool openInPlace();

private:
    bool openTemporary();
    void discardTemporary();
    void closeDescriptor();

    PyObject* path_;          // as the caller gave it
    py::Ref openable_;        // what `open` gets: the path, or what its __fspath__ returned
    py::Ref file_;
    std::string temporary_;   // empty unless a temporary file is being written
    std::string replaced_;    // the file that the temporary file replaces
    int descriptor_ = -1;     // the temporary file's, kept by this object
};

// Opens `path` for writing and runs `body(file) -> bool` (false with an
// exception set) inside the `with` block. False with the exception set on
// failure. `body` runs a second time, on the destination opened in place, when
// a complete temporary file cannot take the destination's name (a mount point, a
// sticky folder): it must do nothing but write.
template <class Body>
bool create(PyObject* path, Body&& body) {
    Destination destination(path);
    if (!destination.open()) {
        return false;
    }
    const py::BlockOutcome written = py::withBlock(destination.file(), body).outcome;
    if (written != py::BlockOutcome::completed) {
        // Suppressed by __exit__: no exception, but no complete file to put in place.
        return written == py::BlockOutcome::suppressed;
    }
    const Destination::Outcome replaced = destination.replace();
    if (replaced != Destination::Outcome::refused) {
        return replaced == Destination::Outcome::done;
    }
    if (!destination.openInPlace()) {
        return false;
    }
    return py::withBlock(destination.file(), body).outcome != py::BlockOutcome::raised;
}

// Creates `path` holding `pieces`, written one call each, in order.
inline bool createWith(PyObject* path, std::span<const py::Ref> pieces) {
    return create(path, [pieces](PyObject* file) { return writeAll(file, pieces); });
}

}  // namespace output_file
