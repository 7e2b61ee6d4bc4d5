// File-descriptor utilities of the Linux backend: every device file is opened
// through open_file, and a failed system call becomes a status here.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "card/plx/linux/linux_internal.h"

namespace plx_linux {

namespace {

constexpr size_t MAX_TEXT = 65536;  // more than any attribute file holds

}  // namespace

PLX_STATUS errno_status(int error)
{
    switch (error) {
    case EPERM:
    case EACCES:
        return PLX_STATUS_ACCESS_DENIED;  // file modes, or kernel lockdown
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
        return PLX_STATUS_IO_ERROR;  // the device or its file is gone
    default:
        return PLX_STATUS_FAILED;
    }
}

int open_file(const std::string& path, int flags)
{
    return ::open(path.c_str(), flags | O_CLOEXEC);
}

bool read_text(int fd, std::string* text)
{
    text->clear();
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0) {
            return false;
        }
        if (got == 0 || text->size() > MAX_TEXT) {
            return true;
        }
        text->append(chunk, static_cast<size_t>(got));
    }
}

std::string text_of(const std::string& path)
{
    Fd fd(open_file(path, O_RDONLY));
    std::string text;
    if (!fd.ok() || !read_text(fd.get(), &text)) {
        return "";
    }
    return text;
}

std::string link_name(const std::string& link)
{
    char target[4096];
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length <= 0) {
        return "";
    }
    return base_name(std::string(target, static_cast<size_t>(length)));
}

PLX_STATUS file_transfer(int fd, off_t offset, const void* source, void* target,
                         uint32_t byte_count)
{
    uint8_t bytes[4];
    ssize_t transferred;
    if (source != nullptr) {
        std::memcpy(bytes, source, byte_count);
        transferred = pwrite(fd, bytes, byte_count, offset);
    } else {
        transferred = pread(fd, bytes, byte_count, offset);
    }
    if (transferred < 0) {
        return errno_status(errno);
    }
    if (static_cast<uint32_t>(transferred) != byte_count) {
        return PLX_STATUS_IO_ERROR;
    }
    if (source == nullptr) {
        std::memcpy(target, bytes, byte_count);
    }
    return PLX_STATUS_SUCCESS;
}

}  // namespace plx_linux
