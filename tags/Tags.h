#pragma once

// Tags that travel with the audio: ID3v2 on MP3 files, a RIFF "LIST"/"INFO" chunk and
// an "ID3 " chunk on WAV files, all read and written through TagLib. Tags are always
// written last, on a finished and closed file: the audio bytes (and a WAV file's
// 44-byte header) stay exactly where the writers put them.
//
// Reading never fails: a file without tags, with broken tags, or that cannot be
// read gives an empty TagSet. A file is only ever read: it is opened read-only,
// without blocking, and only when it is a regular file; an item above 17 MiB is
// not read at all. Writing reports its failure and leaves the file as it
// was. Everything here may run on any thread; nothing is shared between calls.

#include <string>
#include <vector>

namespace tags {

// An embedded picture of an ID3v2 tag (APIC frame).
struct Picture {
    std::string mimeType;
    int type = 3; // ID3v2 picture type; 3 is the front cover
    std::string description;
    std::string data;
};

// The fields the program carries from file to file. Texts are UTF-8.
struct TagSet {
    std::string title;
    std::string artist;
    std::string album;
    std::string albumArtist;
    std::string date; // "2026", "2026-12-08" or "2026-12-08T10:58:57"
    std::string genre;
    std::string comment;
    unsigned track = 0;      // 0: none
    unsigned trackTotal = 0; // 0: unknown
    std::vector<Picture> pictures;

    bool empty() const;
    // "n/N", "n", or "" without a track number.
    std::string trackText() const;
};

// The ID3v2 tag of an MP3 file (any version); fields it lacks come from an ID3v1
// trailer.
TagSet ReadMp3Tags(const std::string& path);

// The "ID3 " (or "id3 ") chunk of a WAV file; fields it lacks come from the
// "LIST"/"INFO" chunk. INFO text that is not UTF-8 is read as Latin-1.
TagSet ReadWavTags(const std::string& path);

// The tags of any other audio file TagLib reads (by extension, else by content):
// Vorbis comments of FLAC, Ogg Vorbis, Opus and Ogg FLAC, MP4 atoms, ASF, the ID3v2
// tag of AIFF, APE tags of Monkey's Audio, WavPack and Musepack. Of the pictures,
// only one is kept: the front cover, else the first; pictures above 16 MiB are left
// out, each with a line on stderr.
TagSet ReadSourceTags(const std::string& path);

// ReadMp3Tags or ReadWavTags by the name's extension (any case); ReadSourceTags
// for every other name.
TagSet ReadTags(const std::string& path);
// The same for a file the caller has open for reading at `fd`: it is read there
// (with pread, so its position does not move) and never opened again by name;
// `name` gives the format by its extension.
TagSet ReadTags(int fd, const std::string& name);

// Puts an ID3v2.4 tag in front of the audio of a finished MP3 file. The tag is
// written into a copy in the same folder, which is flushed to disk and then renamed
// over the file, so the file holds either the old or the new content at any moment.
// False with the reason in `why`; the file is then untouched.
// With `inPlace` (a private file nobody else reads), the tag is written into the file
// itself, without a copy.
bool WriteMp3Tags(const std::string& path, const TagSet& tags, std::string& why,
                  bool inPlace = false);

// Appends an INFO "LIST" chunk and an "ID3 " chunk (ID3v2.4, pictures left out) after
// the data chunk of a finished WAV file that is exactly a 44-byte header and its
// data; only the RIFF size at offset 4 changes in front of them. False with the
// reason in `why`; a file of any other shape is not touched, and a write that fails
// halfway is undone (the file is cut back to its old size and header). A file with
// no audio (data size 0) stays a bare header.
bool WriteWavTags(const std::string& path, const TagSet& tags, std::string& why);

// Tags a finished MP3 or WAV file (by extension). Empty tags write nothing. A tag
// that cannot be written is one line on stderr; the file stays as it was.
void TagFile(const std::string& path, const TagSet& tags);

// What a target of CarryTags is: a file known by its name (MP3 or WAV by its
// extension), or a private file of the caller's that nobody else sees yet (an unnamed
// output reached through /proc/self/fd) of the given format, which is tagged in place
// rather than through a copy renamed over it.
enum class TargetFile { ByName, PrivateMp3, PrivateWav };

// Carries the tags of `source` (any format ReadTags reads) to the finished `target`
// (WAV or MP3).
// Pictures go into an MP3 target only. A source without tags gives no tag.
void CarryTags(const std::string& source, const std::string& target,
               TargetFile kind = TargetFile::ByName);
// The same for a source open for reading at `sourceFd` (see ReadTags).
void CarryTags(int sourceFd, const std::string& sourceName, const std::string& target,
               TargetFile kind);

// The local time as an ID3v2.4 timestamp, "yyyy-MM-ddTHH:mm:ss".
std::string LocalTimestamp();

} // namespace tags
