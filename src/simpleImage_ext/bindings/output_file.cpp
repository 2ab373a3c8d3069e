#include "bindings/output_file.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>
#include <vector>

#include "capi/names.hpp"
#include "module/module_state.hpp"

namespace output_file {
namespace {

using py::Ref;
using Kind = Place::Kind;

// As many symbolic links as the kernel follows in one path.
constexpr int kMaxLinks = 40;
// Tries of a hidden name that turns out taken, and reaches of a destination
// that keeps changing under this code, before giving up.
constexpr int kAttempts = 16;
// Bytes of the destination's name kept in a hidden name, which adds 14 and must
// stay within the 255 that file systems allow.
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

// `path` as the folder that holds its last component, and that component.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool isEntryName(const std::string& name) {
    return !name.empty() && name != "." && name != "..";
}

// The folder at `path`, resolved by the kernel from `base` (unless absolute).
Descriptor openFolder(int base, const std::string& path) {
    return Descriptor(openat(base, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

bool sameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

bool sameFolder(int one, int other) {
    struct stat first;
    struct stat second;
    return one == other || (fstat(one, &first) == 0 && fstat(other, &second) == 0 &&
                            sameFile(first, second));
}

bool onProc(int folder) {
    struct statfs system;
    return fstatfs(folder, &system) == 0 && system.f_type == PROC_SUPER_MAGIC;
}

std::optional<std::string> readLink(int folder, const std::string& name) {
    std::string target(PATH_MAX, '\0');
    const ssize_t size = readlinkat(folder, name.c_str(), target.data(), target.size());
    if (size < 0 || static_cast<std::size_t>(size) == target.size()) {
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(size));
    return target;
}

// Follows the symbolic link `place.name` in `place.folder`, and the links it
// leads to, to the entry of the file that the kernel opened (`place.status`).
// The kernel has already followed them, applying its rules; this only finds the
// folder of the entry to replace, which must then hold that very file.
Kind locate(Place& place) {
    for (int links = 0; links <= kMaxLinks; ++links) {
        struct stat entry;
        if (fstatat(place.folder, place.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            return Kind::changed;
        }
        if (sameFile(entry, place.status)) {
            return Kind::existing;
        }
        if (!S_ISLNK(entry.st_mode)) {
            return Kind::changed;
        }
        // The links in /proc stand for files that processes hold open
        // (/dev/stdout and /dev/fd/N lead there): writing to one means writing to
        // that open file, in place.
        if (onProc(place.folder)) {
            return Kind::throughOpen;
        }
        const std::optional<std::string> target = readLink(place.folder, place.name);
        if (!target) {
            return Kind::changed;
        }
        auto [folderPath, name] = splitPath(*target);
        Descriptor folder = openFolder(place.folder, folderPath);
        if (!folder || !isEntryName(name)) {
            return Kind::changed;
        }
        place.linkFolder = std::move(folder);
        place.folder = place.linkFolder.get();
        place.name = std::move(name);
    }
    return Kind::changed;
}

// The destination `name` in `folder` as `open(path, "wb")` reaches it.
Place reach(int folder, const std::string& name) {
    Place place;
    place.folder = folder;
    place.name = name;
    if (!isEntryName(name)) {
        return place;
    }
    struct stat entry;
    if (fstatat(folder, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        place.kind = errno == ENOENT ? Kind::missing : Kind::throughOpen;
        return place;
    }
    // A link is followed by the kernel, which applies its link protections.
    // A link to a missing file is left to `open`, which creates that file.
    Descriptor linked;
    if (S_ISLNK(entry.st_mode)) {
        linked = Descriptor(openat(folder, name.c_str(), O_PATH | O_CLOEXEC));
        if (!linked || fstat(linked.get(), &entry) != 0) {
            return place;
        }
    }
    if (!S_ISREG(entry.st_mode)) {
        return place;
    }
    // Opened for writing as `open` opens it, O_CREAT included (the kernel's
    // protection of other users' files in sticky folders looks for it), but not
    // emptied. Where the kernel refuses, `open` raises the same error.
    place.file = Descriptor(openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!place.file || fstat(place.file.get(), &place.status) != 0) {
        return place;
    }
    if (!sameFile(place.status, entry)) {
        place.kind = Kind::changed;
        return place;
    }
    place.kind = linked ? locate(place) : Kind::existing;
    return place;
}

// `reach`, again while the destination changes under it.
Place reachSteadily(int folder, const std::string& name) {
    Place place = reach(folder, name);
    for (int attempt = 1; attempt < kAttempts && place.kind == Kind::changed; ++attempt) {
        place = reach(folder, name);
    }
    return place;
}

// Gives the file without a name `file` the name `name` in `folder`.
int linkUnnamed(int file, int folder, const std::string& name) {
    const int linked = linkat(file, "", folder, name.c_str(), AT_EMPTY_PATH);
    if (linked == 0 || errno != ENOENT) {
        return linked;
    }
    // Where the kernel lets only privileged processes link a descriptor, the
    // others go through /proc.
    const std::string link = "/proc/self/fd/" + std::to_string(file);
    return linkat(AT_FDCWD, link.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW);
}

// Whether a file system that refused an unnamed file with `error` has none to
// give, while it may still create named files.
bool lacksUnnamedFiles(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// A hidden name beside `name`, different for every attempt and, with the
// process ID and the clock, between processes and calls.
std::string hiddenName(const std::string& name, int attempt) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto tag = static_cast<std::uint32_t>(getpid()) * 2654435761U ^
                     static_cast<std::uint32_t>(now.tv_nsec) ^
                     static_cast<std::uint32_t>(now.tv_sec) * 40503U ^
                     static_cast<std::uint32_t>(attempt) * 0x9E3779B9U;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", tag);
    std::string hidden(".");
    hidden.append(name, 0, kNameBytesKept).append(suffix);
    return hidden;
}

// Whether a folder that refused a new file with `error` refuses every new
// file, while the destination in it may still be written: no permission to
// add a name, no free inode or block, a used-up quota. Any other error (too
// many open files, an I/O error) is raised.
bool refusesNewFile(int error) {
    return error == EACCES || error == EPERM || error == ENOSPC || error == EDQUOT;
}

// Whether a rename that failed with `error` failed because the destination
// cannot be replaced by another file, while it can still be written in place:
// a mount point (EBUSY, EXDEV), a file in a sticky folder owned by someone else
// (EPERM, EACCES). Any other error (no space, an I/O error) is raised.
bool refusesReplacement(int error) {
    return error == EBUSY || error == EXDEV || error == EPERM || error == EACCES;
}

// The names of the extended attributes of `file`; nothing when they cannot be listed.
std::optional<std::vector<std::string>> attributeNames(int file) {
    std::string list;
    for (;;) {
        const ssize_t size = flistxattr(file, nullptr, 0);
        if (size == 0 || (size < 0 && errno == ENOTSUP)) {
            return std::vector<std::string>{};
        }
        if (size < 0) {
            return std::nullopt;
        }
        list.resize(static_cast<std::size_t>(size));
        const ssize_t listed = flistxattr(file, list.data(), list.size());
        if (listed >= 0) {
            list.resize(static_cast<std::size_t>(listed));
            break;
        }
        if (errno != ERANGE) {  // ERANGE: the list grew in between
            return std::nullopt;
        }
    }
    std::vector<std::string> names;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = list.find('\0', start);
        names.push_back(list.substr(start, end - start));
        start = end == std::string::npos ? list.size() : end + 1;
    }
    return names;
}

std::optional<std::string> attributeValue(int file, const std::string& name) {
    std::string value;
    for (;;) {
        const ssize_t size = fgetxattr(file, name.c_str(), nullptr, 0);
        if (size < 0) {
            return std::nullopt;
        }
        value.resize(static_cast<std::size_t>(size));
        const ssize_t read = fgetxattr(file, name.c_str(), value.data(), value.size());
        if (read >= 0) {
            value.resize(static_cast<std::size_t>(read));
            return value;
        }
        if (errno != ERANGE) {
            return std::nullopt;
        }
    }
}

// Gives `copy` exactly the extended attributes of `original`: ACL entries,
// security labels, user attributes; false where one cannot be given or removed.
bool carryExtendedAttributes(int original, int copy) {
    const std::optional<std::vector<std::string>> wanted = attributeNames(original);
    const std::optional<std::vector<std::string>> present = attributeNames(copy);
    if (!wanted || !present) {
        return false;
    }
    for (const std::string& name : *wanted) {
        const std::optional<std::string> value = attributeValue(original, name);
        if (!value) {
            return false;
        }
        // One that the new file already has (a label the system gave it, an ACL
        // from the folder's default) is left alone: setting it may need rights
        // that keeping it does not.
        if (std::ranges::find(*present, name) != present->end() &&
            attributeValue(copy, name) == value) {
            continue;
        }
        if (fsetxattr(copy, name.c_str(), value->data(), value->size(), 0) != 0) {
            return false;
        }
    }
    for (const std::string& name : *present) {
        if (std::ranges::find(*wanted, name) == wanted->end() &&
            fremovexattr(copy, name.c_str()) != 0) {
            return false;
        }
    }
    return true;
}

// Gives `copy` the owner, group, extended attributes and mode of `original`
// (`status`), so that it lets exactly the same users do the same things; false
// where one of them cannot be given.
bool carryAttributes(int original, const struct stat& status, int copy) {
    struct stat own;
    if (fstat(copy, &own) != 0) {
        return false;
    }
    // The owner first: changing it clears the set-user-ID and set-group-ID bits
    // and file capabilities, which the attributes and the mode then restore.
    if ((own.st_uid != status.st_uid || own.st_gid != status.st_gid) &&
        fchown(copy, status.st_uid, status.st_gid) != 0) {
        return false;
    }
    // The mode last: an ACL sets the group bits to its mask, which the original's
    // mode holds as well, so setting it keeps the ACL as it is.
    return carryExtendedAttributes(original, copy) && fchmod(copy, status.st_mode & 07777) == 0;
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

std::optional<std::uint64_t> totalSize(std::span<const py::Ref> pieces, std::uint64_t more) {
    std::uint64_t size = more;
    for (const py::Ref& piece : pieces) {
        if (!PyBytes_CheckExact(piece.get())) {
            return std::nullopt;
        }
        size += static_cast<std::uint64_t>(PyBytes_GET_SIZE(piece.get()));
    }
    return size;
}

Descriptor::~Descriptor() {
    if (descriptor_ >= 0) {
        close(descriptor_);
    }
}

Destination::~Destination() {
    file_ = Ref{};  // closed by now, unless its `with` block never started
    discardNewFile();
    if (inPlace_) {
        // A failed write keeps what it wrote, as a file opened with "wb" would.
        // Where nothing was written the old contents stay, and the room reserved
        // for the new ones is given back.
        const off_t written = lseek(inPlace_.get(), 0, SEEK_CUR);
        static_cast<void>(ftruncate(inPlace_.get(), written > 0 ? written : place_.status.st_size));
    }
}

bool Destination::open() {
    // A descriptor, or any number, goes to `open` as it is.
    if (PyNumber_Check(path_)) {
        openable_ = Ref::borrow(path_);
        return openThroughBuiltin();
    }
    // A path-like object's __fspath__ is called here, once; `open` gets its result.
    openable_ = Ref::steal(PyOS_FSPath(path_));
    if (!openable_) {
        return false;
    }
    const std::optional<std::string> path = filesystemPath(openable_.get());
    if (!path) {
        return openThroughBuiltin();
    }
    auto [folder, name] = splitPath(*path);
    // Everything from here on is relative to this folder, so neither the length
    // of its path nor a link changed meanwhile makes a difference.
    startFolder_ = openFolder(AT_FDCWD, folder);
    if (!startFolder_) {
        return openThroughBuiltin();
    }
    startName_ = std::move(name);
    place_ = reachSteadily(startFolder_.get(), startName_);
    // A file with other names would be parted from them by a new file.
    if (place_.kind == Kind::missing ||
        (place_.kind == Kind::existing && place_.status.st_nlink == 1)) {
        // A replacing file stays private until it has the old one's owner and mode.
        if (createNewFile(place_.kind == Kind::missing ? 0666 : 0600)) {
            if (standsIn()) {
                return wrapDescriptor(newFile_.get());
            }
        } else if (!refusesNewFile(errno)) {
            return raiseError(errno);
        }
    }
    return openInPlace();
}

bool Destination::openInPlace() {
    discardNewFile();
    switch (place_.kind) {
        case Kind::existing:
            return openReserved();
        case Kind::changed:
            return raiseError(EBUSY);
        default:
            return openThroughBuiltin();
    }
}

// Whether the new file can take the place reached: a free name, or a file with
// no other name whose owner, mode and attributes the new file has been given.
bool Destination::standsIn() {
    return place_.kind == Kind::missing ||
           (place_.kind == Kind::existing && place_.status.st_nlink == 1 &&
            carryAttributes(place_.file.get(), place_.status, newFile_.get()));
}

bool Destination::createNewFile(mode_t mode) {
    newFile_ = Descriptor(openat(place_.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (newFile_ || !lacksUnnamedFiles(errno)) {
        return static_cast<bool>(newFile_);
    }
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        hiddenName_ = hiddenName(place_.name, attempt);
        newFile_ = Descriptor(openat(place_.folder, hiddenName_.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
        if (newFile_ || errno != EEXIST) {
            break;
        }
    }
    if (!newFile_) {
        hiddenName_.clear();
    }
    return static_cast<bool>(newFile_);
}

bool Destination::openReserved() {
    inPlace_ = std::move(place_.file);
    if (size_.value_or(0) > 0) {
        // Room for all of the new contents before the first old byte is
        // overwritten: a full disk fails here, with the file as it was.
        while (fallocate(inPlace_.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(*size_)) != 0) {
            if (errno == EINTR) {
                if (PyErr_CheckSignals() != 0) {
                    return false;
                }
                continue;
            }
            // Where the file system cannot reserve room, the file is written as it comes.
            if (errno != EOPNOTSUPP && errno != ENOSYS && errno != ENODEV) {
                return raiseError(errno);
            }
            break;
        }
    }
    return wrapDescriptor(inPlace_.get());
}

bool Destination::openThroughBuiltin() {
    file_ = Ref::steal(
        PyObject_CallFunction(module_state::builtinOpen(), "Os", openable_.get(), "wb"));
    return static_cast<bool>(file_);
}

bool Destination::wrapDescriptor(int descriptor) {
    // open(descriptor, "wb", closefd=False): the file object that the writers
    // see, over a descriptor that stays this code's to sync, cut and close.
    file_ = Ref::steal(PyObject_CallFunction(module_state::builtinOpen(), "isiOOOO", descriptor,
                                             "wb", -1, Py_None, Py_None, Py_None, Py_False));
    return static_cast<bool>(file_);
}

bool Destination::raiseError(int error) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, openable_.get());
    return false;
}

Destination::Outcome Destination::complete() {
    if (inPlace_) {
        return cutToWritten();
    }
    if (!newFile_) {
        return Outcome::done;
    }
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::optional<Outcome> linked =
            place_.kind == Kind::missing ? takeFreeName() : replaceExisting();
        if (linked) {
            return *linked;
        }
        // Another file took the destination's place while this one was written
        // (a concurrent save, say): it is reached again, and replaced in turn.
        if (!reachAgain()) {
            return Outcome::refused;
        }
    }
    raiseError(EBUSY);
    return Outcome::failed;
}

std::optional<Destination::Outcome> Destination::takeFreeName() {
    // No sync: a file that did not exist has no old contents to lose.
    const int linked =
        hiddenName_.empty()
            ? linkUnnamed(newFile_.get(), place_.folder, place_.name)
            : renameat(place_.folder, hiddenName_.c_str(), place_.folder, place_.name.c_str());
    if (linked == 0) {
        hiddenName_.clear();
        newFile_ = Descriptor{};
        return Outcome::done;
    }
    if (errno == EEXIST) {
        return std::nullopt;
    }
    return linkingFailed(errno);
}

std::optional<Destination::Outcome> Destination::replaceExisting() {
    // On disk before it takes the name: after a power cut the name holds either
    // the old file or the complete new one, never a file whose data never arrived.
    if (!synced_) {
        if (fsync(newFile_.get()) != 0) {
            raiseError(errno);
            return Outcome::failed;
        }
        synced_ = true;
    }
    // A name cannot be linked over another, so the new file gets a hidden one
    // first, for as long as the rename takes.
    if (hiddenName_.empty() && !linkHidden()) {
        return linkingFailed(errno);
    }
    struct stat entry;
    if (fstatat(place_.folder, place_.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(entry, place_.status)) {
        return std::nullopt;
    }
    if (renameat(place_.folder, hiddenName_.c_str(), place_.folder, place_.name.c_str()) != 0) {
        if (refusesReplacement(errno)) {
            return Outcome::refused;
        }
        raiseError(errno);
        return Outcome::failed;
    }
    hiddenName_.clear();
    newFile_ = Descriptor{};
    return Outcome::done;
}

bool Destination::linkHidden() {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string name = hiddenName(place_.name, attempt);
        if (linkUnnamed(newFile_.get(), place_.folder, name) == 0) {
            hiddenName_ = std::move(name);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

Destination::Outcome Destination::linkingFailed(int error) {
    // ENOENT: a file without a name that this process cannot link (there is no
    // /proc to link it through), or a folder removed meanwhile. The destination
    // is then written in place, where `open` has the last word.
    if (error == ENOENT) {
        return Outcome::refused;
    }
    raiseError(error);
    return Outcome::failed;
}

bool Destination::reachAgain() {
    Place reached = reachSteadily(startFolder_.get(), startName_);
    const bool sameFolderAsNewFile =
        (reached.kind == Kind::missing || reached.kind == Kind::existing) &&
        sameFolder(reached.folder, place_.folder);
    if (!sameFolderAsNewFile) {
        discardNewFile();  // while place_ still names its folder
    }
    place_ = std::move(reached);
    return sameFolderAsNewFile && standsIn();
}

Destination::Outcome Destination::cutToWritten() {
    const off_t written = lseek(inPlace_.get(), 0, SEEK_CUR);
    if (written < 0 || ftruncate(inPlace_.get(), written) != 0) {
        raiseError(errno);
        return Outcome::failed;
    }
    inPlace_ = Descriptor{};
    return Outcome::done;
}

void Destination::discardNewFile() {
    if (!hiddenName_.empty()) {
        unlinkat(place_.folder, hiddenName_.c_str(), 0);
        hiddenName_.clear();
    }
    newFile_ = Descriptor{};
}

}  // namespace output_file
