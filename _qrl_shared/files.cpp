// Files named by path arguments: comparing them through os.path, and
// writing one through the descriptor that was checked.
#include "files.h"

#include "calls.h"
#include "errors.h"
#include "numbers.h"
#include "runtime.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace qrl {

int same_file(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    Ref path_a = steal(PyOS_FSPath(a));
    Ref path_b = path_a ? steal(PyOS_FSPath(b)) : Ref();
    if (!path_b) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref os_path = steal(PyImport_ImportModule("os.path"));
    if (!os_path) return -1;
    const RuntimeNames& n = runtime().names;
    Ref real_a = call_method(os_path.get(), n.realpath.get(), path_a.get());
    Ref real_b = real_a ? call_method(os_path.get(), n.realpath.get(), path_b.get()) : Ref();
    const int equal = cmp(real_a, real_b, Py_EQ);
    if (equal != 0) return equal;
    const int a_exists = truth(call_method(os_path.get(), n.exists.get(), path_a.get()));
    if (a_exists <= 0) return a_exists;
    const int b_exists = truth(call_method(os_path.get(), n.exists.get(), path_b.get()));
    if (b_exists <= 0) return b_exists;
    return truth(call_method(os_path.get(), n.samefile.get(), path_a.get(), path_b.get()));
}

}  // namespace qrl

namespace qrl {

namespace {

// Opens an existing name for writing as it is. O_CREAT only for a symbolic
// link whose target does not exist yet: with it, a kernel that protects
// files in sticky directories (fs.protected_regular) would refuse another
// user's file before it could be examined.
int open_existing(const char* name, int mode) {
    const int fd = ::open(name, O_WRONLY | O_CLOEXEC);
    return fd >= 0 || errno != ENOENT ? fd : ::open(name, O_WRONLY | O_CREAT | O_CLOEXEC, mode);
}

// Writes all of `data` to `fd`; false with errno set.
bool write_all(int fd, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        data = data.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

FileForWriting::~FileForWriting() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileForWriting::raise_os_error() const {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
    return false;
}

bool FileForWriting::open(PyObject* target, int mode, const char* role, const char* content) {
    path_ = steal(PyOS_FSPath(target));
    if (!path_) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();  // not a path: left to the object's own methods
        return true;
    }
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(path_.get(), &bytes)) return false;
    encoded_ = steal(bytes);
    const char* name = PyBytes_AS_STRING(encoded_.get());
    fd_ = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    created_ = fd_ >= 0;
    if (fd_ < 0 && errno == EEXIST) fd_ = open_existing(name, mode);
    struct stat info;
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) return raise_os_error();
    regular_ = S_ISREG(info.st_mode);
    if (regular_ && info.st_uid != ::geteuid()) {
        PyErr_Format(PyExc_ValueError, "the %s file %R belongs to another user; refusing to write the %s into it", role,
                     path_.get(), content);
        return false;
    }
    return true;
}

bool FileForWriting::restrict_to_owner() { return ::fchmod(fd_, 0600) == 0 || raise_os_error(); }

bool FileForWriting::write_and_close(std::span<const std::uint8_t> data) {
    if ((regular_ && ::ftruncate(fd_, 0) != 0) || !write_all(fd_, data)) return raise_os_error();
    return ::close(std::exchange(fd_, -1)) == 0 || raise_os_error();
}

void FileForWriting::discard_if_created() {
    if (!created_) return;
    Ref error = fetch_exception();
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    ::unlink(PyBytes_AS_STRING(encoded_.get()));
    restore_exception(std::move(error));
}

}  // namespace qrl
