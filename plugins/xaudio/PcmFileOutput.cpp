#include "PcmFileOutput.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "xaudio.h"

namespace xaudio {
namespace {

bool writeAll(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

PcmFileOutput::~PcmFileOutput() {
    close();
}

int32_t PcmFileOutput::open(const std::string& name) {
    close();
    if (name.empty()) {
        return XA_ERROR_OUTPUT_OPEN;
    }
    // Non-blocking open: a FIFO without a reader fails instead of hanging.
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        return XA_ERROR_OUTPUT_OPEN;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const unsigned char header[kHeaderArea] = {};
    if (!writeAll(fd, header, sizeof header)) {
        ::close(fd);
        return XA_ERROR_OUTPUT_OPEN;
    }
    fd_ = fd;
    name_ = name;
    written_ = 0;
    return XA_SUCCESS;
}

int32_t PcmFileOutput::write(const unsigned char* data, size_t size) {
    if (fd_ < 0) {
        return XA_ERROR_NO_OUTPUT;
    }
    if (!writeAll(fd_, data, size)) {
        return XA_ERROR_OUTPUT_WRITE;
    }
    written_ += size;
    return XA_SUCCESS;
}

int32_t PcmFileOutput::close() {
    if (fd_ < 0) {
        return XA_SUCCESS;
    }
    int result = ::close(fd_);
    fd_ = -1;
    name_.clear();
    // close() reports a write the system could not complete (a full disk on a
    // network file system); EINTR still closes the descriptor on Linux.
    return result == 0 || errno == EINTR ? XA_SUCCESS : XA_ERROR_OUTPUT_CLOSE;
}

} // namespace xaudio
