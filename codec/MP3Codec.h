#pragma once

// The file codec: one WAV file to one MP3 file through the encoder library, or one
// MP3 file to one WAV file through the Xaudio player. A conversion is an open
// operation, a step operation called again and again with the message loop running
// between the calls, and a close operation; each returns a result code whose text is
// CodecErrorText[code]. One instance is used by one thread at a time; a decode
// advances only while that thread processes its events (its own event loop on a
// worker thread), as the player reports through posted events.

#include <QPointer>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/EncoderLibrary.h"
#include "codec/Mp3Rates.h"
#include "codec/SampleSource.h"
#include "codec/XaudioPlayer.h"
#include "ffreader.h"

namespace codec {

// Result codes of the file codec. Codes without an operation are never returned.
enum CodecResult : int {
    kCodecOk = 0,
    kCodecUnableToLoadDll = 1,     // LoadEncoder
    kCodecUnableToInitDll = 2,     // LoadEncoder
    kCodecUnableToOverwrite = 3,   // OpenEncode, OpenDecode
    kCodecUnableToInitStream = 4,  // OpenEncode
    kCodecUnableToReadWavData = 5, // EncodeStep
    kCodecChunkEncodeFail = 6,     // EncodeStep
    kCodecWriteFail = 7,           // EncodeStep, DecodeStep
    kCodecDone = 8,                // EncodeStep, DecodeStep: normal end
    kCodecDllNotLoadedOpen = 9,    // OpenEncode
    kCodecDllNotLoadedStep = 10,   // EncodeStep
    kCodecDllNotLoadedClose = 11,  // CloseEncode
    kCodecBadWavFormat = 15,       // OpenEncode
    kCodecGeneralDecodeError = 25, // DecodeStep
};

inline constexpr int kCodecResultCount = 27;

// The message text of each result code, indexed by the code.
extern const std::array<const char*, kCodecResultCount> CodecErrorText;

// CodecErrorText[code], or "" for a code outside 0 to 26.
const char* CodecResultText(int code);

// The configuration record the file codec gives beInitStream for a source rate:
// kind 256, version 1, size 331, that input rate, output rate 0, mode 0 (stereo,
// whatever the source's channels), the rate's bitrate, offsets 28 to 71 zero,
// variable-rate quality 9, average bitrate 0, variable-rate method 1, the rest zero.
// With `lameTag` (the library offers the tag frame) the write variable-rate header
// field is 1, so the stream carries a Xing/Info (LAME) tag frame.
BeConfig FileCodecEncoderConfig(std::uint32_t sampleRate, bool lameTag = false);

// Where an open operation writes. `Replace`: the target is a path, and an existing
// file there is removed first (3 when it cannot be). `Private`: the target is a file
// the caller made and nobody else sees (an unnamed file in the target's folder,
// reached through its /proc/self/fd path), of the kind's format (MP3 for an encode,
// WAV for a decode): nothing is removed, tags are written into it in place, and a
// decode that leaves no audio empties it (size 0) rather than removing it.
enum class TargetMode { Replace, Private };

class TMP3Codec {
public:
    TMP3Codec();
    ~TMP3Codec();
    TMP3Codec(const TMP3Codec&) = delete;
    TMP3Codec& operator=(const TMP3Codec&) = delete;

    // ---- Encoder side ----------------------------------------------------------

    // File name of the encoder library that LoadEncoder looks for in its directory.
    std::string EncoderLibraryName = BE_LIBRARY_NAME;

    // Loads the encoder library from `directory` (a '/' is added if missing; an empty
    // directory means a bare name, looked up in the program directory first).
    // Returns 0, 1 (not loadable) or 2 (an entry point missing; unloaded again).
    int LoadEncoder(const std::string& directory);
    bool EncoderLoaded() const { return encoder_.IsLoaded(); }

    // File name of the source reader library that reads every source but the
    // program's own WAVs, loaded the first time a job needs it.
    std::string SourceReaderLibraryName = FFR_LIBRARY_NAME;

    // Starts encoding `source` to `target` (an MP3 file). An existing target is
    // deleted first (3 when it cannot be: read-only, a directory, or the deletion
    // fails). The source is opened once, read-only and without blocking, and only a
    // regular file is read; that one descriptor serves the samples and the tags, so a
    // source renamed or replaced meanwhile changes nothing. A WAV the WAV reader
    // accepts is read by it, sample for sample; any other file through the source
    // reader library, whose samples reach the encoder as float when the library
    // takes them, else dithered to 16 bits (the dither starts afresh for every
    // file). A source neither reader takes, or without a single sample, is 15 and no
    // target is created. Returns 0, 3, 4, 9 or 15. On anything but 0 nothing stays
    // open.
    int OpenEncode(const std::string& source, const std::string& target,
                   TargetMode mode = TargetMode::Replace);
    // The same for a source the caller has open for reading at `sourceFd` (kept the
    // caller's: the codec reads a duplicate); `sourceName` names it in messages and
    // gives its format by its extension, and is never opened.
    int OpenEncode(int sourceFd, const std::string& sourceName, const std::string& target,
                   TargetMode mode = TargetMode::Replace);

    // Encodes one chunk. Returns 0 while there is more to do (progress set), 8 at the
    // end (progress unchanged), or 5, 6, 7, 10 on failure. 5 is also a source read
    // through the reader library that broke off: a read error, more damaged frames
    // than players would skip, or an end well short of the length its container
    // stated; damaged frames below that bound are skipped.
    int EncodeStep(std::uint16_t& progress);

    // Flushes the encoder into the target, writes the stream's Xing/Info (LAME) tag
    // frame over its first frame when the library offers it, and releases the
    // stream, both files and both buffers, whatever the last step returned; then
    // the source's tags, read from the source's descriptor, go onto the closed MP3 as
    // an ID3v2.4 tag. Damaged frames that were skipped are one line on stderr.
    // Returns 0, or 11 when the encoder library is not loaded.
    int CloseEncode();

    // ---- Decoder side (MP3CodecDecode.cpp) ------------------------------------
    // The decode advances only through the player's notifications, handled while
    // the caller processes events between DecodeStep calls.

    // Makes sure the player exists (library loaded, version 3.8, player created).
    // Returns 0; the directory is not used. EXaudioException passes through.
    int InitDecoder(const std::string& directory);

    // Starts decoding `source` (an MP3 file) into `target` (a WAV file whose samples
    // the decoder library writes from offset 44). An existing target is deleted
    // first (3 when it cannot be). Returns 0 or 3; EXaudioException passes through.
    int OpenDecode(const std::string& source, const std::string& target,
                   TargetMode mode = TargetMode::Replace);

    // Returns 0 while the decode runs (progress set, in percent of the input), 8 at
    // its end, 7 once the player could not create, write or close the WAV (a full
    // disk), 25 once it refused anything else (the input missing, not a regular
    // file or not MPEG audio) or when the stream ended without a single sample. Sends Play while
    // the player is neither playing nor at the end. Waits at most a few milliseconds for the
    // player's next notification, so a caller that processes events between steps
    // does not spin.
    int DecodeStep(std::uint16_t& progress);

    // Closes the player's input and output and writes the 44-byte header over the
    // start of the target, describing the whole frames it holds, also after a
    // refusal (a full disk) when samples were written. A target that holds no
    // audio after a refusal or an end without a single sample (an input the
    // decoder would not take) is removed when this decode created it; a file that
    // was there before is never removed. Nothing happens when no decode was
    // opened; a target that has meanwhile disappeared is not created again. Then
    // the source's ID3 tags go after the data as INFO and ID3 chunks. Returns 0.
    int CloseDecode();

    // The player the codec drives; its owner is the application.
    TXaudioPlayer* XaudioPlayer() const { return player_.player; }

    // Handlers of the player's events.
    void XaudioPlayerNotifyPlayerState(TXaudioPlayer* Sender, int State);
    void XaudioPlayerNotifyInputPosition(TXaudioPlayer* Sender, std::uint32_t Offset,
                                         std::uint32_t Range);
    void XaudioPlayerNotifyStreamParameters(TXaudioPlayer* Sender, std::uint32_t Frequency,
                                            std::int16_t Bitrate, std::uint8_t NbChannels);
    void XaudioPlayerNotifyNack(TXaudioPlayer* Sender, std::uint8_t Command, std::int16_t Code);

private:
    // The player with the codec's four handlers set. It is created with the codec
    // when an application object exists (else at the first decode operation). On
    // the application's thread it is owned by the application and outlives the
    // codec: the handlers are unset when the codec goes, so a late notification
    // cannot reach a codec that is gone. On a worker thread the codec owns it.
    struct PlayerLink {
        explicit PlayerLink(TMP3Codec* codec);
        ~PlayerLink();
        PlayerLink(const PlayerLink&) = delete;
        PlayerLink& operator=(const PlayerLink&) = delete;
        TXaudioPlayer* Get(); // creates the player if needed; may raise
        TMP3Codec* const codec;
        QPointer<TXaudioPlayer> player;
        bool owned = false; // made on a worker thread: deleted with the codec
    };

    // OpenEncode with the source's descriptor from `openSource` (-1 when it cannot be
    // opened), called once the target and the library have passed; the codec owns it.
    int OpenEncodeFrom(const std::function<int()>& openSource, const std::string& sourceName,
                       const std::string& target, TargetMode mode);
    // Finishes an open stream: flush into the target, then the tag frame, then the
    // stream is closed. Every path that ends an encode goes through it.
    void FinishStream();
    // Releases whatever an encode holds open; a stream still open is finished first.
    void ReleaseEncode();

    // Encoder side.
    EncoderLibrary encoder_;
    EncoderConfigBytes configuration_{};
    int sourceFd_ = -1; // the one descriptor of the source, samples and tags
    std::unique_ptr<SampleSource> source_;
    int target_ = -1;
    std::uint32_t samplesPerChunk_ = 0;
    std::uint32_t outputBufferSize_ = 0;
    std::uint32_t stream_ = 0;
    bool streamOpen_ = false;
    std::uint32_t mp3Bytes_ = 0;
    std::vector<std::uint8_t> outputBuffer_;
    std::vector<std::int16_t> sampleBuffer_; // 2 x samples per chunk values
    std::vector<float> floatBuffer_;         // the same for a float source
    std::uint32_t ditherState_ = 0;
    // The files of the open encode, whose tags CloseEncode carries over at the end.
    std::string encodeSource_;
    std::string encodeTarget_;
    bool encodePrivate_ = false; // the encode writes a private target (TargetMode)

    // Decoder side.
    PlayerLink player_{this};
    std::int32_t playerState_ = 0; // last reported: 0 stopped, 1 playing, 3 end of stream
    bool done_ = false;
    bool refused_ = false;
    std::int16_t refusal_ = 0; // the player's code of the first refusal
    bool endedEmpty_ = false;  // the end came without a single sample written
    bool playSent_ = false;    // Play sent since OpenDecode: the player may be writing
    std::uint16_t progress_ = 0;
    std::uint32_t frequency_ = 0;
    std::uint8_t streamChannels_ = 0;
    std::string targetName_;
    bool targetFree_ = false;    // nothing was at the target's name when the decode opened
    bool decodePrivate_ = false; // the decode writes a private target (TargetMode)
    std::string sourceName_;     // the MP3 being decoded, whose tags go to the WAV
};

} // namespace codec
