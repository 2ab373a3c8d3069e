#include "glue/output_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "glue/module_state.hpp"
#include "glue/names.hpp"

namespace output_file {
namespace {

using py::Ref;

// As many symbolic links as the kernel follows in one path.
constexpr int kMaxLinks = 40;
// Names of temporary files tried before the destination is opened in place.
constexpr int kTemporaryAttempts = 16;
// Bytes of the destination's name kept in a temporary file's name, which adds
// 14 and must stay within the 255 that file systems allow.
constexpr std::size_t kNameBytesKept = 200;

// `path` (a str or bytes) as the file system sees it; nothing for what `open`
// refuses by itself (an empty path, a NUL byte, a name the file system encoding
// cannot hold), which is then left to `open` to refuse.
std::optional<std::string> filesystemPath(PyObject* path) {
    Ref encoded = Ref::borrow(path);
    if (!PyBytes_Check(path)) {
        encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    }
    if (!encoded) {
        PyErr_Clear();
        return std::nullopt;
    }
    const std::string_view bytes(PyBytes_AS_STRING(encoded.get()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (bytes.empty() || bytes.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(bytes);
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return path;
    }
    return path.substr(slash + 1);
}

// The folder of `path` with every link resolved; nothing when it is missing,
// or inside /proc, whose entries stand for files that processes hold open
// (/dev/stdout and /dev/fd/N lead there): writing to one means writing to that
// open file, in place.
std::optional<std::string> realFolder(const std::string& path) {
    char* resolved = realpath(folderOf(path).c_str(), nullptr);
    if (resolved == nullptr) {
        return std::nullopt;
    }
    std::string folder(resolved);
    std::free(resolved);
    if (folder == "/proc" || folder.starts_with("/proc/")) {
        return std::nullopt;
    }
    return folder;
}

// Where the symbolic link `link`, in `folder`, leads.
std::optional<std::string> linkTarget(const std::string& link, const std::string& folder) {
    std::string target(PATH_MAX, '\0');
    const ssize_t size = readlink(link.c_str(), target.data(), target.size());
    if (size < 0 || static_cast<std::size_t>(size) == target.size()) {
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(size));
    if (target.starts_with('/')) {
        return target;
    }
    return folder + "/" + target;
}

// A regular file with no other name (writing a copy would part it from its
// other links) that this process could open for writing.
bool replaceableFile(const std::string& path, const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_nlink == 1 &&
           faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// The file that a temporary file can replace.
struct Replaceable {
    std::string folder;                   // resolved
    std::string name;
    std::optional<struct stat> existing;  // nothing for a new file
};

// What `path` names once its symbolic links are followed (a link stays a link,
// its target is replaced), when that can be replaced by a new file: a new file
// in an existing folder, or a file that `replaceableFile` accepts. Nothing for
// every other destination, which is then written in place.
std::optional<Replaceable> replaceable(std::string path) {
    for (int links = 0; links <= kMaxLinks; ++links) {
        const std::optional<std::string> folder = realFolder(path);
        if (!folder) {
            return std::nullopt;
        }
        std::string name = nameOf(path);
        if (name.empty() || name == "." || name == "..") {
            return std::nullopt;
        }
        struct stat status;
        if (lstat(path.c_str(), &status) != 0) {
            // A link to a missing file is left to `open`, which creates the file.
            if (errno != ENOENT || links > 0) {
                return std::nullopt;
            }
            return Replaceable{*folder, std::move(name), std::nullopt};
        }
        if (!S_ISLNK(status.st_mode)) {
            if (!replaceableFile(path, status)) {
                return std::nullopt;
            }
            return Replaceable{*folder, std::move(name), status};
        }
        const std::optional<std::string> target = linkTarget(path, *folder);
        if (!target) {
            return std::nullopt;
        }
        path = *target;
    }
    return std::nullopt;
}

// A hidden name beside the destination, different at every call.
std::string temporaryName(const Replaceable& place) {
    static std::uint32_t calls = 0;
    std::uint32_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        random = static_cast<std::uint32_t>(getpid()) << 16;
    }
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", random ^ ++calls);
    return place.folder + "/." + place.name.substr(0, kNameBytesKept) + suffix;
}

// Creates a temporary file, exclusively, under a new name in `name`; -1 when
// none can be created. A new destination gets the mode that `open` would give
// it (0666 less the umask, or as the folder's default ACL says); one that
// replaces a file starts private and then takes that file's owner and mode.
int createTemporary(const Replaceable& place, std::string& name) {
    const mode_t mode = place.existing ? 0600 : 0666;
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        name = temporaryName(place);
        const int descriptor =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (descriptor >= 0 || errno != EEXIST) {
            return descriptor;
        }
    }
    return -1;
}

// The replaced file's owner where this process may set it, else at least its
// group where it may, then its mode. The owner comes first: changing it clears
// the set-user-ID and set-group-ID bits, which the mode then restores.
bool takeOwnerAndMode(int descriptor, const struct stat& replaced) {
    // Where neither is permitted, the file keeps this process's owner and group.
    if (fchown(descriptor, replaced.st_uid, replaced.st_gid) != 0) {
        static_cast<void>(fchown(descriptor, static_cast<uid_t>(-1), replaced.st_gid));
    }
    return fchmod(descriptor, replaced.st_mode & 07777) == 0;
}

// Whether a rename that failed with `error` failed because the destination
// cannot be replaced by another file, while it can still be written in place:
// a mount point (EBUSY, EXDEV), a file in a sticky folder owned by someone else
// (EPERM, EACCES). Any other error (no space, an I/O error) is raised.
bool refusesReplacement(int error) {
    return error == EBUSY || error == EXDEV || error == EPERM || error == EACCES;
}

// open(descriptor, "wb", closefd=False): the file object that the writers see,
// over a descriptor that stays this code's to sync and close.
Ref openDescriptor(int descriptor) {
    return Ref::steal(PyObject_CallFunction(module_state::builtinOpen(), "isiOOOO", descriptor,
                                            "wb", -1, Py_None, Py_None, Py_None, Py_False));
}

}  // namespace

bool write(PyObject* file, PyObject* piece) {
    PyObject* write = py::name("write");
    if (write == nullptr) {
        return false;
    }
    return static_cast<bool>(py::Ref::steal(PyObject_CallMethodOneArg(file, write, piece)));
}

bool writeAll(PyObject* file, std::span<const py::Ref> pieces) {
    for (const py::Ref& piece : pieces) {
        if (!write(file, piece.get())) {
            return false;
        }
    }
    return true;
}

Destination::~Destination() {
    file_ = Ref{};  // closed by now, unless its `with` block never started
    discardTemporary();
}

bool Destination::open() {
    // A descriptor, or any number, goes to `open` as it is.
    if (PyNumber_Check(path_)) {
        openable_ = Ref::borrow(path_);
        return openInPlace();
    }
    // A path-like object's __fspath__ is called here, once; `open` gets its result.
    openable_ = Ref::steal(PyOS_FSPath(path_));
    if (!openable_) {
        return false;
    }
    if (openTemporary()) {
        return true;
    }
    return openInPlace();
}

bool Destination::openTemporary() {
    const std::optional<std::string> path = filesystemPath(openable_.get());
    if (!path) {
        return false;
    }
    const std::optional<Replaceable> place = replaceable(*path);
    if (!place) {
        return false;
    }
    descriptor_ = createTemporary(*place, temporary_);
    if (descriptor_ < 0) {
        temporary_.clear();
        return false;
    }
    if (place->existing && !takeOwnerAndMode(descriptor_, *place->existing)) {
        discardTemporary();
        return false;
    }
    file_ = openDescriptor(descriptor_);
    if (!file_) {
        PyErr_Clear();
        discardTemporary();
        return false;
    }
    replaced_ = place->folder + "/" + place->name;
    return true;
}

bool Destination::openInPlace() {
    file_ = Ref::steal(
        PyObject_CallFunction(module_state::builtinOpen(), "Os", openable_.get(), "wb"));
    return static_cast<bool>(file_);
}

Destination::Outcome Destination::replace() {
    if (temporary_.empty()) {
        return Outcome::done;
    }
    // On disk before it takes the name: after a power cut the name holds either
    // the old file or the complete new one, never a file whose data never arrived.
    if (fsync(descriptor_) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, openable_.get());
        discardTemporary();
        return Outcome::failed;
    }
    if (rename(temporary_.c_str(), replaced_.c_str()) != 0) {
        const int error = errno;
        discardTemporary();
        if (refusesReplacement(error)) {
            return Outcome::refused;
        }
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, openable_.get());
        return Outcome::failed;
    }
    temporary_.clear();
    closeDescriptor();
    return Outcome::done;
}

void Destination::discardTemporary() {
    if (!temporary_.empty()) {
        unlink(temporary_.c_str());
        temporary_.clear();
    }
    closeDescriptor();
}

void Destination::closeDescriptor() {
    if (descriptor_ >= 0) {
        close(descriptor_);
        descriptor_ = -1;
    }
}

}  // namespace output_file
