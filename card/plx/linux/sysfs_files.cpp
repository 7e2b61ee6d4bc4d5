// File-descriptor utilities of the sysfs backend: every device file is opened
// through open_file, and a failed system call becomes a status here.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "card/plx/linux/sysfs_internal.h"
#include "card/plx/linux/sysfs_pci.h"

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

}  // namespace plx_linux
