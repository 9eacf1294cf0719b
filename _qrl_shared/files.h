// Files named by path arguments: whether two name the same file, and writing
// one through the descriptor that was checked.
#pragma once

#include "ref.h"

#include <cstdint>
#include <span>

namespace qrl {

// 1 when `a` and `b` name the same file: the same object, the same path once
// resolved (os.path.realpath), or the same existing file (os.path.samefile,
// which also sees hard links); objects that are not paths only match
// themselves. 0 otherwise, -1 on error.
int same_file(PyObject* a, PyObject* b);

// A file named by a path argument, opened for writing without truncating it
// and then checked and written through that one descriptor, so that it
// cannot be swapped for another file in between. A new file is created with
// the given mode; an existing name is opened as it is (a symbolic link is
// followed, its target created if need be; a FIFO waits for its reader).
// Objects that are not paths get no descriptor: they are written through
// their own methods.
class FileForWriting {
public:
    FileForWriting() = default;
    FileForWriting(const FileForWriting&) = delete;
    FileForWriting& operator=(const FileForWriting&) = delete;
    ~FileForWriting();

    // Opens `target`. False with the OSError of open() raised, or with
    // ValueError("the <role> file '<path>' belongs to another user; refusing
    // to write the <content> into it") for a regular file of another user,
    // whose owner could read or replace what is written.
    bool open(PyObject* target, int mode, const char* role, const char* content);

    bool has_descriptor() const { return fd_ >= 0; }
    bool created() const { return created_; }
    bool regular() const { return regular_; }

    // Sets the file's mode to owner-only; a strict umask must not take the
    // owner's own read permission either. False with the OSError raised.
    bool restrict_to_owner();
    // Replaces what a regular file held (another kind of file is written
    // to), then closes it. False with the OSError raised.
    bool write_and_close(std::span<const std::uint8_t> data);
    // Removes the file again if it was created here, keeping the exception
    // being raised.
    void discard_if_created();

private:
    bool raise_os_error() const;

    Ref path_;     // the file system path as given (str or bytes)
    Ref encoded_;  // the path encoded for the OS (bytes)
    int fd_ = -1;
    bool created_ = false;
    bool regular_ = false;
};

}  // namespace qrl
