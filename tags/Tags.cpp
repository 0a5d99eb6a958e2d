// Tags over TagLib 1.13. Reading goes through TagLib's parsers only; writing goes
// through TagLib's MPEG and WAV savers, on a copy for MP3 (the tag grows the file's
// front) and in place with an undo for WAV (the chunks go after the audio).

#include "tags/Tags.h"

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/oggflacfile.h>
#include <taglib/opusfile.h>
#include <taglib/speexfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/trueaudiofile.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ByteOrder.h"
#include "platform/FileIO.h"
#include "platform/ReplacementFile.h"

namespace tags {
namespace {

// INFO chunks carry no declared encoding: text that is valid UTF-8 is read as
// UTF-8, anything else as Latin-1 (what older Windows programs wrote). TagLib's
// default handler would give such text back empty.
class InfoStringHandler : public TagLib::RIFF::Info::StringHandler {
public:
    TagLib::String parse(const TagLib::ByteVector& data) const override {
        // Fields are NUL-padded; the text ends at the first NUL.
        const int end = data.find('\0');
        const TagLib::ByteVector text = end < 0 ? data : data.mid(0, static_cast<unsigned>(end));
        if (isUtf8(text)) {
            return TagLib::String(text, TagLib::String::UTF8);
        }
        return TagLib::String(text, TagLib::String::Latin1);
    }
    TagLib::ByteVector render(const TagLib::String& s) const override {
        return s.data(TagLib::String::UTF8);
    }

private:
    static bool isUtf8(const TagLib::ByteVector& text) {
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t n = text.size();
        for (std::size_t i = 0; i < n;) {
            const unsigned char c = p[i];
            std::size_t follow = 0;
            if (c < 0x80) {
                ++i;
                continue;
            } else if (c >= 0xC2 && c <= 0xDF) {
                follow = 1;
            } else if (c >= 0xE0 && c <= 0xEF) {
                follow = 2;
            } else if (c >= 0xF0 && c <= 0xF4) {
                follow = 3;
            } else {
                return false;
            }
            for (std::size_t k = 1; k <= follow; ++k) {
                if (i + k >= n || (p[i + k] & 0xC0) != 0x80) {
                    return false;
                }
            }
            i += follow + 1;
        }
        return true;
    }
};

void installStringHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        static const InfoStringHandler handler;
        TagLib::RIFF::Info::Tag::setStringHandler(&handler);
    });
}

std::string utf8(const TagLib::String& s) {
    return s.to8Bit(true);
}

TagLib::String fromUtf8(const std::string& s) {
    return TagLib::String(s, TagLib::String::UTF8);
}

// A read-only view of an open file for TagLib: reads with pread (the descriptor's
// own position never moves), writes nothing, and opens nothing by name. Reads are
// bounded: one read above kMaxReadBytes and everything past kMaxTotalBytes come back
// empty, so a tag that claims a huge item is not read (TagLib then drops that item
// or the tag) and no lying length makes a job hold more than that.
class DescriptorStream : public TagLib::IOStream {
public:
    static constexpr unsigned long kMaxReadBytes = (16ul << 20) + (1ul << 20);
    static constexpr unsigned long kMaxTotalBytes = 48ul << 20;

    DescriptorStream(int fd, const std::string& name) : fd_(fd), name_(name) {}

    TagLib::FileName name() const override { return name_.c_str(); }
    TagLib::ByteVector readBlock(unsigned long length) override {
        const long size = this->length();
        if (length > kMaxReadBytes || total_ + length > kMaxTotalBytes || pos_ >= size) {
            return TagLib::ByteVector();
        }
        length = std::min<unsigned long>(length, static_cast<unsigned long>(size - pos_));
        TagLib::ByteVector data(static_cast<unsigned>(length), '\0');
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::pread(fd_, data.data() + done, length - done, pos_ + done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        data.resize(static_cast<unsigned>(done));
        pos_ += static_cast<long>(done);
        total_ += done;
        return data;
    }
    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return fd_ >= 0; }
    void seek(long offset, Position p) override {
        const long base = p == Beginning ? 0 : p == Current ? pos_ : length();
        pos_ = std::max(0L, base + offset);
    }
    long tell() const override { return pos_; }
    long length() override {
        struct stat st {};
        return ::fstat(fd_, &st) == 0 ? static_cast<long>(st.st_size) : 0;
    }
    void truncate(long) override {}

private:
    int fd_;
    std::string name_;
    long pos_ = 0;
    unsigned long total_ = 0;
};

// A file opened to read its tags: read-only, without blocking on a FIFO or device,
// and only when it is a regular file; -1 otherwise.
int openForReading(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

std::string lowerExtension(const std::string& path) {
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return {};
    }
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return ext;
}

// "3/12", "03", "3 of 12": the leading number and the number after a slash.
void parseTrack(const std::string& text, unsigned& track, unsigned& total) {
    auto number = [&text](std::size_t& i) {
        unsigned value = 0;
        bool any = false;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (value < 100000) {
                value = value * 10 + static_cast<unsigned>(text[i] - '0');
            }
            any = true;
            ++i;
        }
        return any ? value : 0u;
    };
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    track = number(i);
    total = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    if (track != 0 && i < text.size() && text[i] == '/') {
        ++i;
        total = number(i);
    }
}

// Sets a field that is still empty from the first value of a property.
void fillFrom(std::string& field, const TagLib::PropertyMap& properties, const char* key) {
    if (!field.empty()) {
        return;
    }
    const auto it = properties.find(key);
    if (it == properties.end() || it->second.isEmpty()) {
        return;
    }
    field = utf8(it->second.toString(" / "));
}

void fillFromProperties(TagSet& tags, const TagLib::PropertyMap& properties) {
    fillFrom(tags.title, properties, "TITLE");
    fillFrom(tags.artist, properties, "ARTIST");
    fillFrom(tags.album, properties, "ALBUM");
    fillFrom(tags.albumArtist, properties, "ALBUMARTIST");
    fillFrom(tags.date, properties, "DATE");
    fillFrom(tags.genre, properties, "GENRE");
    fillFrom(tags.comment, properties, "COMMENT");
    // TagLib gives an ID3v2.4 timestamp with a blank between date and time; the
    // timestamp format (and the tag written from it) has a 'T' there.
    if (tags.date.size() > 10 && tags.date[10] == ' ' && tags.date[4] == '-') {
        tags.date[10] = 'T';
    }
    if (tags.track == 0) {
        std::string track;
        fillFrom(track, properties, "TRACKNUMBER");
        parseTrack(track, tags.track, tags.trackTotal);
    }
}

void readId3v2(TagSet& tags, TagLib::ID3v2::Tag* id3, bool withPictures) {
    if (!id3 || id3->isEmpty()) {
        return;
    }
    fillFromProperties(tags, id3->properties());
    if (!withPictures) {
        return;
    }
    const TagLib::ID3v2::FrameList& pictures = id3->frameListMap()["APIC"];
    for (TagLib::ID3v2::Frame* frame : pictures) {
        auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
        if (!apic || apic->picture().isEmpty()) {
            continue;
        }
        Picture picture;
        picture.mimeType = utf8(apic->mimeType());
        picture.type = static_cast<int>(apic->type());
        picture.description = utf8(apic->description());
        picture.data.assign(apic->picture().data(), apic->picture().size());
        tags.pictures.push_back(std::move(picture));
    }
}

void fillFromInfo(TagSet& tags, TagLib::RIFF::Info::Tag* info) {
    if (!info || info->isEmpty()) {
        return;
    }
    auto fill = [info](std::string& field, const char* id) {
        if (field.empty()) {
            field = utf8(info->fieldText(id));
        }
    };
    fill(tags.title, "INAM");
    fill(tags.artist, "IART");
    fill(tags.album, "IPRD");
    fill(tags.date, "ICRD");
    fill(tags.genre, "IGNR");
    fill(tags.comment, "ICMT");
    if (tags.track == 0) {
        std::string track = utf8(info->fieldText("IPRT"));
        if (track.empty()) {
            track = utf8(info->fieldText("ITRK"));
        }
        parseTrack(track, tags.track, tags.trackTotal);
    }
}

// Replaces the frames `id` of the tag with one text frame, or removes them for an
// empty text.
void setTextFrame(TagLib::ID3v2::Tag& id3, const char* id, const std::string& text) {
    id3.removeFrames(id);
    if (text.empty()) {
        return;
    }
    auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, TagLib::String::UTF8);
    frame->setText(fromUtf8(text));
    id3.addFrame(frame);
}

void fillId3v2(TagLib::ID3v2::Tag& id3, const TagSet& tags, bool withPictures) {
    setTextFrame(id3, "TIT2", tags.title);
    setTextFrame(id3, "TPE1", tags.artist);
    setTextFrame(id3, "TALB", tags.album);
    setTextFrame(id3, "TPE2", tags.albumArtist);
    setTextFrame(id3, "TDRC", tags.date);
    setTextFrame(id3, "TCON", tags.genre);
    setTextFrame(id3, "TRCK", tags.trackText());
    id3.removeFrames("COMM");
    if (!tags.comment.empty()) {
        auto* comment = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF8);
        comment->setLanguage("eng");
        comment->setText(fromUtf8(tags.comment));
        id3.addFrame(comment);
    }
    id3.removeFrames("APIC");
    if (!withPictures) {
        return;
    }
    for (const Picture& picture : tags.pictures) {
        auto* apic = new TagLib::ID3v2::AttachedPictureFrame();
        apic->setTextEncoding(TagLib::String::UTF8);
        apic->setMimeType(fromUtf8(picture.mimeType));
        apic->setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(
            picture.type >= 0 && picture.type <= 0x14 ? picture.type : 0));
        apic->setDescription(fromUtf8(picture.description));
        apic->setPicture(
            TagLib::ByteVector(picture.data.data(), static_cast<unsigned>(picture.data.size())));
        id3.addFrame(apic);
    }
}

std::string errnoText(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

bool fileSize(const std::string& path, off_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    size = st.st_size;
    return true;
}

// Copies the whole of `from` into `to` (both open); false with errno set.
bool copyContent(int from, int to) {
    for (;;) {
        ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (n == 0) {
            return true;
        }
        if (n > 0) {
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            return false;
        }
        break; // not supported here: plain reads and writes
    }
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (!platform::writeAll(to, buffer, static_cast<std::size_t>(n))) {
            return false;
        }
    }
}

// The size of the ID3v2 tag at the start of a file (header, frames, footer), or 0.
std::uint64_t id3v2SizeAtFront(const std::string& path) {
    unsigned char header[10] = {};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    ssize_t n = ::pread(fd, header, sizeof header, 0);
    ::close(fd);
    if (n != 10 || std::memcmp(header, "ID3", 3) != 0) {
        return 0;
    }
    std::uint64_t size = (std::uint64_t{header[6]} & 0x7F) << 21 |
                         (std::uint64_t{header[7]} & 0x7F) << 14 |
                         (std::uint64_t{header[8]} & 0x7F) << 7 | (std::uint64_t{header[9]} & 0x7F);
    return size + 10 + ((header[5] & 0x10) ? 10 : 0);
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Pictures above this size are left out of the MP3's tag.
constexpr unsigned kMaxPictureBytes = 16u << 20;

Picture makePicture(const TagLib::String& mimeType, int type, const TagLib::String& description,
                    const TagLib::ByteVector& data) {
    Picture picture;
    picture.mimeType = utf8(mimeType);
    picture.type = type;
    picture.description = utf8(description);
    picture.data.assign(data.data(), data.size());
    return picture;
}

// A picture's MIME type from its first bytes, for formats that store none (APE).
TagLib::String sniffMimeType(const TagLib::ByteVector& data) {
    if (data.startsWith(TagLib::ByteVector("\xFF\xD8\xFF", 3))) {
        return "image/jpeg";
    }
    if (data.startsWith("\x89PNG")) {
        return "image/png";
    }
    if (data.startsWith("GIF8")) {
        return "image/gif";
    }
    if (data.startsWith("BM")) {
        return "image/bmp";
    }
    return "image/";
}

void xiphPictures(std::vector<Picture>& out, const TagLib::List<TagLib::FLAC::Picture*>& list) {
    for (const TagLib::FLAC::Picture* p : list) {
        if (p && !p->data().isEmpty()) {
            out.push_back(makePicture(p->mimeType(), static_cast<int>(p->type()), p->description(),
                                      p->data()));
        }
    }
}

void xiphCommentPictures(std::vector<Picture>& pictures, TagLib::Ogg::XiphComment* xiph) {
    if (xiph) {
        xiphPictures(pictures, xiph->pictureList());
    }
}

void mp4Pictures(std::vector<Picture>& out, TagLib::MP4::Tag* tag) {
    if (!tag || !tag->contains("covr")) {
        return;
    }
    for (const TagLib::MP4::CoverArt& art : tag->item("covr").toCoverArtList()) {
        const char* mime = "image/";
        switch (art.format()) {
        case TagLib::MP4::CoverArt::JPEG:
            mime = "image/jpeg";
            break;
        case TagLib::MP4::CoverArt::PNG:
            mime = "image/png";
            break;
        case TagLib::MP4::CoverArt::BMP:
            mime = "image/bmp";
            break;
        case TagLib::MP4::CoverArt::GIF:
            mime = "image/gif";
            break;
        default:
            break;
        }
        if (!art.data().isEmpty()) {
            // MP4 has no picture types: a cover is a front cover.
            out.push_back(makePicture(mime, 3, TagLib::String(), art.data()));
        }
    }
}

void asfPictures(std::vector<Picture>& out, TagLib::ASF::Tag* tag) {
    if (!tag || !tag->contains("WM/Picture")) {
        return;
    }
    for (const TagLib::ASF::Attribute& attribute : tag->attribute("WM/Picture")) {
        const TagLib::ASF::Picture p = attribute.toPicture();
        if (p.isValid() && !p.picture().isEmpty()) {
            out.push_back(makePicture(p.mimeType(), static_cast<int>(p.type()), p.description(),
                                      p.picture()));
        }
    }
}

void apePictures(std::vector<Picture>& out, TagLib::APE::Tag* tag) {
    if (!tag) {
        return;
    }
    // A binary item "Cover Art (<kind>)": a file name, a NUL, then the picture.
    const TagLib::APE::ItemListMap& items = tag->itemListMap();
    for (const auto& [key, item] : items) {
        if (item.type() != TagLib::APE::Item::Binary || !key.upper().startsWith("COVER ART")) {
            continue;
        }
        const TagLib::ByteVector value = item.binaryData();
        const int nul = value.find('\0');
        if (nul < 0 || static_cast<unsigned>(nul) + 1 >= value.size()) {
            continue;
        }
        const TagLib::ByteVector data = value.mid(static_cast<unsigned>(nul) + 1);
        const int type = key.upper() == "COVER ART (FRONT)" ? 3 : 0;
        out.push_back(makePicture(sniffMimeType(data), type, value.mid(0, nul), data));
    }
}

// The one picture an MP3 made from another format gets: the front cover, else the
// first picture; a picture above 16 MiB is left out (with a line on stderr).
void choosePicture(TagSet& tags, std::vector<Picture>& pictures, const std::string& path) {
    std::vector<Picture> kept;
    for (Picture& picture : pictures) {
        if (picture.data.size() > kMaxPictureBytes) {
            std::fprintf(stderr,
                         "mp3tunewright: a picture of %zu bytes in %s is over 16 MiB and is left "
                         "out of the tag\n",
                         picture.data.size(), path.c_str());
            std::fflush(stderr);
            continue;
        }
        kept.push_back(std::move(picture));
    }
    pictures.clear();
    tags.pictures.clear();
    if (kept.empty()) {
        return;
    }
    auto front =
        std::find_if(kept.begin(), kept.end(), [](const Picture& p) { return p.type == 3; });
    tags.pictures.push_back(std::move(front != kept.end() ? *front : kept.front()));
}
} // namespace

bool TagSet::empty() const {
    return title.empty() && artist.empty() && album.empty() && albumArtist.empty() &&
           date.empty() && genre.empty() && comment.empty() && track == 0 && pictures.empty();
}

std::string TagSet::trackText() const {
    if (track == 0) {
        return {};
    }
    std::string text = std::to_string(track);
    if (trackTotal != 0) {
        text += "/" + std::to_string(trackTotal);
    }
    return text;
}

namespace {

TagSet readMp3Tags(TagLib::IOStream& stream) {
    TagSet tags;
    try {
        TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        if (!file.isValid()) {
            return tags;
        }
        if (file.hasID3v2Tag()) {
            readId3v2(tags, file.ID3v2Tag(), true);
        }
        if (file.hasID3v1Tag() && file.ID3v1Tag()) {
            fillFromProperties(tags, file.ID3v1Tag()->properties());
        }
    } catch (...) {
        return TagSet{};
    }
    return tags;
}

TagSet readWavTags(TagLib::IOStream& stream) {
    installStringHandlers();
    TagSet tags;
    try {
        TagLib::RIFF::WAV::File file(&stream, false);
        if (!file.isValid()) {
            return tags;
        }
        if (file.hasID3v2Tag()) {
            readId3v2(tags, file.ID3v2Tag(), true);
        }
        if (file.hasInfoTag()) {
            fillFromInfo(tags, file.InfoTag());
        }
    } catch (...) {
        return TagSet{};
    }
    return tags;
}

TagSet readSourceTags(TagLib::IOStream& stream, const std::string& path) {
    TagSet tags;
    std::vector<Picture> pictures;
    try {
        // TagLib picks the format by the name's extension, else by the content.
        TagLib::FileRef ref(&stream, false);
        TagLib::File* file = ref.file();
        if (ref.isNull() || !file || !file->isValid()) {
            return tags;
        }
        if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
            xiphPictures(pictures, flac->pictureList());
            xiphCommentPictures(pictures, flac->xiphComment());
            if (flac->hasID3v2Tag()) {
                readId3v2(tags, flac->ID3v2Tag(), false);
            }
        } else if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) {
            xiphCommentPictures(pictures, vorbis->tag());
        } else if (auto* opus = dynamic_cast<TagLib::Ogg::Opus::File*>(file)) {
            xiphCommentPictures(pictures, opus->tag());
        } else if (auto* oggFlac = dynamic_cast<TagLib::Ogg::FLAC::File*>(file)) {
            xiphCommentPictures(pictures, oggFlac->tag());
        } else if (auto* speex = dynamic_cast<TagLib::Ogg::Speex::File*>(file)) {
            xiphCommentPictures(pictures, speex->tag());
        } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
            mp4Pictures(pictures, mp4->tag());
        } else if (auto* asf = dynamic_cast<TagLib::ASF::File*>(file)) {
            asfPictures(pictures, asf->tag());
            // ffmpeg writes the comment and the date as attributes of these names,
            // which TagLib does not map.
            auto attribute = [asf](std::string& field, const char* name) {
                if (field.empty() && asf->tag()->contains(name)) {
                    field = utf8(asf->tag()->attribute(name).front().toString());
                }
            };
            attribute(tags.comment, "Description");
            attribute(tags.date, "date");
        } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) {
            if (aiff->hasID3v2Tag()) {
                readId3v2(tags, aiff->tag(), false);
                for (TagLib::ID3v2::Frame* frame : aiff->tag()->frameListMap()["APIC"]) {
                    auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
                    if (apic && !apic->picture().isEmpty()) {
                        pictures.push_back(makePicture(apic->mimeType(),
                                                       static_cast<int>(apic->type()),
                                                       apic->description(), apic->picture()));
                    }
                }
            }
        } else if (auto* ape = dynamic_cast<TagLib::APE::File*>(file)) {
            apePictures(pictures, ape->APETag());
        } else if (auto* wavPack = dynamic_cast<TagLib::WavPack::File*>(file)) {
            apePictures(pictures, wavPack->APETag());
        } else if (auto* mpc = dynamic_cast<TagLib::MPC::File*>(file)) {
            apePictures(pictures, mpc->APETag());
        }
        const TagLib::PropertyMap properties = file->properties();
        fillFromProperties(tags, properties);
        // Spellings TagLib does not map: album artist in Vorbis comments written by
        // other programs, and the track total kept apart from the number.
        fillFrom(tags.albumArtist, properties, "ALBUM ARTIST");
        fillFrom(tags.albumArtist, properties, "ALBUM_ARTIST");
        fillFrom(tags.comment, properties, "DESCRIPTION");
        if (tags.track != 0 && tags.trackTotal == 0) {
            std::string total;
            fillFrom(total, properties, "TRACKTOTAL");
            fillFrom(total, properties, "TOTALTRACKS");
            unsigned ignored = 0;
            parseTrack(total, tags.trackTotal, ignored);
        }
    } catch (...) {
        return TagSet{};
    }
    choosePicture(tags, pictures, path);
    return tags;
}

// The tags of the file open at `fd`, by the format `name`'s extension names.
TagSet readTags(int fd, const std::string& name) {
    if (fd < 0) {
        return TagSet{};
    }
    DescriptorStream stream(fd, name);
    const std::string ext = lowerExtension(name);
    if (ext == "mp3") {
        return readMp3Tags(stream);
    }
    if (ext == "wav") {
        return readWavTags(stream);
    }
    return readSourceTags(stream, name);
}

// Reads the tags of the file at `path` through `read`, opened read-only for it.
TagSet readByPath(const std::string& path,
                  TagSet (*read)(TagLib::IOStream& stream, const std::string& path)) {
    const int fd = openForReading(path);
    if (fd < 0) {
        return TagSet{};
    }
    DescriptorStream stream(fd, path);
    TagSet tags = read(stream, path);
    ::close(fd);
    return tags;
}

} // namespace

TagSet ReadMp3Tags(const std::string& path) {
    return readByPath(path, [](TagLib::IOStream& s, const std::string&) { return readMp3Tags(s); });
}

TagSet ReadWavTags(const std::string& path) {
    return readByPath(path, [](TagLib::IOStream& s, const std::string&) { return readWavTags(s); });
}

TagSet ReadSourceTags(const std::string& path) {
    return readByPath(path, readSourceTags);
}

TagSet ReadTags(const std::string& path) {
    const int fd = openForReading(path);
    TagSet tags = readTags(fd, path);
    if (fd >= 0) {
        ::close(fd);
    }
    return tags;
}

TagSet ReadTags(int fd, const std::string& name) {
    return readTags(fd, name);
}

namespace {

// Puts the ID3v2.4 tag in front of the MP3 at `path` through TagLib, and checks that
// the file is then the new tag followed by every byte after the old one.
bool saveMp3Tag(const std::string& path, const TagSet& tags, std::uint64_t oldSize,
                std::uint64_t oldTagSize, std::string& why) {
    try {
        TagLib::MPEG::File file(path.c_str(), false);
        if (!file.isValid() || file.readOnly()) {
            why = "TagLib cannot open the file for writing";
            return false;
        }
        fillId3v2(*file.ID3v2Tag(true), tags, true);
        // The file is freshly encoded audio: an ID3v1 or APE trailer TagLib finds
        // there can only be audio bytes that look like one, which stripping would cut.
        const bool trailerLookalike = file.hasID3v1Tag() || file.hasAPETag();
        if (!file.save(TagLib::MPEG::File::ID3v2,
                       trailerLookalike ? TagLib::File::StripNone : TagLib::File::StripOthers,
                       TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate)) {
            why = "TagLib could not save the tag";
            return false;
        }
    } catch (const std::exception& e) {
        why = std::string("TagLib failed: ") + e.what();
        return false;
    }
    // A full disk shows up here as a short file.
    off_t tagged = 0;
    const std::uint64_t tagSize = id3v2SizeAtFront(path);
    if (!fileSize(path, tagged) || tagSize == 0 ||
        static_cast<std::uint64_t>(tagged) != tagSize + oldSize - oldTagSize) {
        why = "the tagged file is incomplete";
        return false;
    }
    return true;
}

} // namespace

bool WriteMp3Tags(const std::string& path, const TagSet& tags, std::string& why, bool inPlace) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = errnoText("cannot read the file", errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0) {
        why = "not a finished MP3 file";
        return false;
    }
    // A link is followed: the file it names gets the tag, the link stays a link. A
    // private file's /proc/self/fd link is opened as it is.
    char resolved[PATH_MAX];
    const std::string target = inPlace || !::realpath(path.c_str(), resolved) ? path : resolved;

    const std::uint64_t oldTagSize = id3v2SizeAtFront(target);
    if (oldTagSize > static_cast<std::uint64_t>(st.st_size)) {
        why = "the file's ID3v2 tag is longer than the file";
        return false;
    }
    const auto oldSize = static_cast<std::uint64_t>(st.st_size);

    if (inPlace) {
        // Nobody else sees the file, so TagLib moves the audio within it. The room
        // the larger file needs is taken first (the tag, and TagLib's padding): a
        // full disk then refuses the tag before a byte of the audio has moved.
        TagLib::ID3v2::Tag rendered;
        fillId3v2(rendered, tags, true);
        const off_t room =
            static_cast<off_t>(rendered.render(TagLib::ID3v2::v4).size()) + (64 << 10);
        int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            why = errnoText("cannot open the file", errno);
            return false;
        }
        if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, room) != 0 && errno != EOPNOTSUPP) {
            why = errnoText("no room for the tag", errno);
            ::close(fd);
            return false;
        }
        const bool saved = saveMp3Tag(target, tags, oldSize, oldTagSize, why);
        // What was reserved beyond the end and not used goes back.
        struct stat after {};
        if (::fstat(fd, &after) == 0) {
            (void)!::ftruncate(fd, after.st_size);
        }
        ::close(fd);
        return saved;
    }

    platform::ReplacementFile copy(directoryOf(target), ".tw-tag-");
    if (copy.fd() < 0) {
        why = errnoText("cannot create a file beside it", errno);
        return false;
    }
    int in = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0 || !copyContent(in, copy.fd())) {
        why = errnoText("cannot copy the file", errno);
        if (in >= 0) {
            ::close(in);
        }
        return false;
    }
    ::close(in);
    // The copy keeps the permissions the file had (it was made private).
    ::fchmod(copy.fd(), st.st_mode & 07777);
    return saveMp3Tag(copy.path(), tags, oldSize, oldTagSize, why) && copy.publish(target, why);
}

bool WriteWavTags(const std::string& path, const TagSet& tags, std::string& why) {
    installStringHandlers();
    // Only the shape every writer of the program produces is tagged: "RIFF", "WAVE",
    // a 16-byte "fmt " chunk, "data" at 36 and the file ending with the data. Any other
    // shape (a header that lies about its data, a stopped rip) is left alone rather
    // than have its samples parsed as chunks.
    unsigned char header[44] = {};
    off_t size = 0;
    {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            why = errnoText("cannot read the file", errno);
            return false;
        }
        const bool read =
            ::pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
        ::close(fd);
        if (!read || !fileSize(path, size)) {
            why = "not a finished WAV file";
            return false;
        }
    }
    const std::uint32_t dataSize = platform::getLe32(header + 40);
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVEfmt ", 8) != 0 ||
        platform::getLe32(header + 16) != 16 || std::memcmp(header + 36, "data", 4) != 0 ||
        static_cast<std::uint64_t>(size) != 44 + std::uint64_t{dataSize}) {
        why = "the WAV file is not a 44-byte header followed by its data";
        return false;
    }

    if (dataSize == 0) {
        return true; // no audio, nothing to describe: the file stays a bare header
    }

    auto undo = [&] {
        int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            if (::ftruncate(fd, size) == 0) {
                // Only the RIFF size can have changed in front of the old end.
                (void)!::pwrite(fd, header, 12, 0);
            }
            ::close(fd);
        }
    };
    try {
        TagLib::RIFF::WAV::File file(path.c_str(), false);
        if (!file.isValid() || file.readOnly()) {
            why = "TagLib cannot open the file for writing";
            return false;
        }
        TagLib::RIFF::Info::Tag* info = file.InfoTag();
        info->setFieldText("INAM", fromUtf8(tags.title));
        info->setFieldText("IART", fromUtf8(tags.artist));
        info->setFieldText("IPRD", fromUtf8(tags.album));
        info->setFieldText("ICRD", fromUtf8(tags.date.substr(0, 10)));
        info->setFieldText("IGNR", fromUtf8(tags.genre));
        info->setFieldText("ICMT", fromUtf8(tags.comment));
        info->setFieldText("IPRT", fromUtf8(tags.trackText()));
        fillId3v2(*file.ID3v2Tag(), tags, false);
        if (!file.save(TagLib::RIFF::WAV::File::AllTags, TagLib::File::StripOthers,
                       TagLib::ID3v2::v4)) {
            why = "TagLib could not save the tags";
            undo();
            return false;
        }
    } catch (const std::exception& e) {
        why = std::string("TagLib failed: ") + e.what();
        undo();
        return false;
    }

    // The header must still describe the same audio: only the RIFF size may differ.
    unsigned char after[44] = {};
    off_t newSize = 0;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0 && ::pread(fd, after, sizeof after, 0) == 44;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!read || !fileSize(path, newSize) || newSize < size ||
        std::memcmp(after + 8, header + 8, 36) != 0 ||
        platform::getLe32(after + 4) != static_cast<std::uint64_t>(newSize) - 8) {
        why = "the tags were not written completely";
        undo();
        return false;
    }
    return true;
}

namespace {

void tagFile(const std::string& path, const TagSet& tags, TargetFile kind) {
    if (tags.empty()) {
        return;
    }
    const std::string ext = kind == TargetFile::PrivateMp3   ? "mp3"
                            : kind == TargetFile::PrivateWav ? "wav"
                                                             : lowerExtension(path);
    std::string why;
    bool ok = true;
    if (ext == "mp3") {
        ok = WriteMp3Tags(path, tags, why, kind == TargetFile::PrivateMp3);
    } else if (ext == "wav") {
        ok = WriteWavTags(path, tags, why);
    } else {
        ok = false;
        why = "neither an MP3 nor a WAV file";
    }
    if (!ok) {
        std::fprintf(stderr, "mp3tunewright: tags not written to %s: %s\n", path.c_str(),
                     why.c_str());
        std::fflush(stderr);
    }
}

} // namespace

void TagFile(const std::string& path, const TagSet& tags) {
    tagFile(path, tags, TargetFile::ByName);
}

void CarryTags(const std::string& source, const std::string& target, TargetFile kind) {
    const int fd = openForReading(source);
    CarryTags(fd, source, target, kind);
    if (fd >= 0) {
        ::close(fd);
    }
}

void CarryTags(int sourceFd, const std::string& sourceName, const std::string& target,
               TargetFile kind) {
    TagSet tags = ReadTags(sourceFd, sourceName);
    const bool mp3 = kind == TargetFile::ByName ? lowerExtension(target) == "mp3"
                                                : kind == TargetFile::PrivateMp3;
    if (!mp3) {
        tags.pictures.clear();
    }
    tagFile(target, tags, kind);
}

std::string LocalTimestamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

} // namespace tags
