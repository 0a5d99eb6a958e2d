#include "MpegInput.h"

#include <cerrno>
#include <fcntl.h>
#include <mpg123.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "xaudio.h"

namespace xaudio {
namespace {

int32_t openErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return XA_ERROR_INPUT_NOT_FOUND;
    case EACCES:
    case EPERM:
        return XA_ERROR_INPUT_ACCESS;
    case ENOMEM:
        return XA_ERROR_OUT_OF_MEMORY;
    default:
        return XA_ERROR_INPUT_READ;
    }
}

// libmpg123 reports a failed read of the file as one of its own codes.
int32_t decodeErrorFromMpg123(int code) {
    switch (code) {
    case MPG123_NO_READER:
    case MPG123_NO_SEEK:
    case MPG123_NO_TIMEOUT:
    case MPG123_LSEEK_FAILED:
        return XA_ERROR_INPUT_READ;
    case MPG123_OUT_OF_MEM:
        return XA_ERROR_OUT_OF_MEMORY;
    default:
        return XA_ERROR_DECODE;
    }
}

} // namespace

MpegInput::~MpegInput() {
    close();
}

int32_t MpegInput::open(const std::string& name) {
    close();
    if (name.empty()) {
        return XA_ERROR_INPUT_NOT_FOUND;
    }
    static std::once_flag initOnce;
    std::call_once(initOnce, [] { mpg123_init(); });

    // Non-blocking so that a FIFO or device cannot stall the open; only regular
    // files are decoded.
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return openErrorFromErrno(errno);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return XA_ERROR_INPUT_NOT_A_FILE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    int error = MPG123_OK;
    mpg123_handle* mh = mpg123_new(nullptr, &error);
    if (!mh) {
        ::close(fd);
        return XA_ERROR_DECODER_INIT;
    }
    // Tags are skipped, not parsed: they carry nothing the player reports, and a
    // huge tag would otherwise be held in memory.
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_SKIP_ID3V2, 0.0);
    // Every rate the library knows, 16-bit signed, in the stream's own channel count.
    mpg123_format_none(mh);
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i) {
        mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }

    int32_t result = XA_SUCCESS;
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_open_fd(mh, fd) != MPG123_OK) {
        result = decodeErrorFromMpg123(mpg123_errcode(mh));
    } else {
        int r = mpg123_getformat(mh, &rate, &channels, &encoding);
        if (r != MPG123_OK) {
            int code = mpg123_errcode(mh);
            // An empty file or one without a single frame ends before any format.
            result = (r == MPG123_DONE || r == MPG123_NEED_MORE || code == MPG123_RESYNC_FAIL ||
                      code == MPG123_OK)
                         ? XA_ERROR_NOT_MPEG_AUDIO
                         : decodeErrorFromMpg123(code);
            if (result == XA_ERROR_DECODE) {
                result = XA_ERROR_NOT_MPEG_AUDIO;
            }
        } else if (encoding != MPG123_ENC_SIGNED_16 || channels < 1 || channels > 2) {
            result = XA_ERROR_NOT_MPEG_AUDIO;
        }
    }
    if (result != XA_SUCCESS) {
        mpg123_delete(mh);
        ::close(fd);
        return result;
    }
    handle_ = mh;
    fd_ = fd;
    fileSize_ = st.st_size;
    rate_ = rate;
    channels_ = channels;
    name_ = name;
    return XA_SUCCESS;
}

void MpegInput::close() {
    if (handle_) {
        mpg123_close(handle_);
        mpg123_delete(handle_);
        handle_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    fileSize_ = 0;
    rate_ = 0;
    channels_ = 0;
    name_.clear();
}

int MpegInput::bitrate() const {
    if (!handle_) {
        return 0;
    }
    mpg123_frameinfo info{};
    if (mpg123_info(handle_, &info) != MPG123_OK) {
        return 0;
    }
    return info.vbr == MPG123_ABR ? info.abr_rate : info.bitrate;
}

uint32_t MpegInput::durationMs() const {
    if (!handle_ || rate_ <= 0) {
        return 0;
    }
    off_t samples = mpg123_length(handle_);
    if (samples <= 0) {
        return 0;
    }
    return static_cast<uint32_t>(static_cast<int64_t>(samples) * 1000 / rate_);
}

uint32_t MpegInput::timeMs() const {
    if (!handle_ || rate_ <= 0) {
        return 0;
    }
    off_t samples = mpg123_tell(handle_);
    return samples <= 0 ? 0 : static_cast<uint32_t>(static_cast<int64_t>(samples) * 1000 / rate_);
}

uint32_t MpegInput::position(uint32_t range) const {
    if (!handle_ || fileSize_ <= 0) {
        return 0;
    }
    int64_t at = mpg123_tell_stream(handle_);
    if (at < 0) {
        at = 0;
    }
    if (at > fileSize_) {
        at = fileSize_;
    }
    return static_cast<uint32_t>(at * range / fileSize_);
}

MpegInput::Status MpegInput::read(unsigned char* buffer, size_t size, size_t& done, int32_t& error,
                                  std::string& detail) {
    done = 0;
    if (!handle_) {
        error = XA_ERROR_NO_INPUT;
        return Status::Error;
    }
    int r = mpg123_read(handle_, buffer, size, &done);
    switch (r) {
    case MPG123_OK:
        return Status::Data;
    case MPG123_NEW_FORMAT: {
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        if (mpg123_getformat(handle_, &rate, &channels, &encoding) == MPG123_OK) {
            rate_ = rate;
            channels_ = channels;
        }
        return Status::NewFormat;
    }
    case MPG123_DONE:
    case MPG123_NEED_MORE:
        return Status::End;
    default:
        error = decodeErrorFromMpg123(mpg123_errcode(handle_));
        detail = mpg123_strerror(handle_);
        return Status::Error;
    }
}

int32_t MpegInput::rewind() {
    if (!handle_) {
        return XA_ERROR_NO_INPUT;
    }
    const std::string name = name_;
    return open(name);
}

int32_t MpegInput::seek(uint32_t offset, uint32_t range) {
    if (!handle_) {
        return XA_ERROR_NO_INPUT;
    }
    if (range == 0 || offset > range) {
        return XA_ERROR_INVALID_PARAMETERS;
    }
    off_t length = mpg123_length(handle_);
    if (length < 0) {
        length = 0;
    }
    off_t target = static_cast<off_t>(static_cast<int64_t>(length) * offset / range);
    if (mpg123_seek(handle_, target, SEEK_SET) < 0) {
        return XA_ERROR_SEEK;
    }
    return XA_SUCCESS;
}

} // namespace xaudio
