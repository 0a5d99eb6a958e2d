// The decode and encode jobs of the conversion window: one queue entry each, from
// the target directory and name through the codec loop to the status shown.

#include "app/BatchJobs.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <cstdio>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

#include "app/ConversionForm.h"
#include "app/Startup.h"
#include "codec/MP3Codec.h"
#include "platform/Paths.h"
#include "platform/Services.h"
#include "settings/Settings.h"

namespace app {

bool CreateTargetDirectory(const std::string& dir) {
    if (dir.empty()) {
        return false;
    }
    return platform::forceDirectories(dir);
}

std::string TargetNameFor(const std::string& dir, const std::string& entry,
                          const std::string& extension) {
    std::string base = platform::fileName(entry);
    const std::string::size_type dot = base.rfind('.');
    if (dot != std::string::npos) {
        base.erase(dot);
    }
    std::string directory = dir;
    if (!directory.empty() && directory.back() == '/') {
        directory.pop_back();
    }
    return directory + "/" + base + extension;
}

std::string UniqueTargetName(const std::string& target, const std::string& extension) {
    const std::string directory = platform::withTrailingSlash(platform::parentDir(target));
    std::string base = platform::fileName(target);
    const std::string::size_type dot = base.rfind('.');
    if (dot != std::string::npos) {
        base.erase(dot);
    }
    for (unsigned long n = 0;; ++n) {
        std::string candidate = directory + base + std::to_string(n) + extension;
        if (!PathExists(candidate)) {
            return candidate;
        }
    }
}

std::string RedoTarget(const std::string& target) {
    return platform::withTrailingSlash(platform::parentDir(target)) + ".tw-redo-" +
           platform::fileName(target);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace app

namespace {

// What tells the two kinds of job apart.
struct JobKind {
    int16_t lastKind;
    const char* extension;
    const char* kindLine;
    int16_t errorShift;
};

constexpr JobKind kDecodeJob{TForm1::KindDecode, ".WAV", "Decompressing", 11};
constexpr JobKind kEncodeJob{TForm1::KindEncode, ".MP3", "Compressing", 21};

// Texts of message boxes are shown as UTF-8; file names are bytes.
std::string displayText(const std::string& bytes) {
    return QFile::decodeName(bytes.c_str()).toStdString();
}

void processPendingEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Every job that fails says so on stderr, boxes or not: a batch started from a
// script, or with "Don't display errors", still leaves a trace of what failed.
void reportFailure(const std::string& source, const std::string& what) {
    std::fprintf(stderr, "mp3tunewright: %s: %s\n", source.c_str(), what.c_str());
    std::fflush(stderr);
}

off_t sizeOrZero(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

} // namespace

platform::Button TForm1::Box(const std::string& text, const std::string& caption, unsigned buttons,
                             platform::Icon icon) {
    struct Open {
        int& count;
        ~Open() { --count; }
    } open{openBoxes_};
    ++openBoxes_;
    return platform::messageBox(text, caption, buttons, icon);
}

void TForm1::DecodeFile(const std::string& entry) {
    RunJobGuarded(entry, KindDecode);
}

void TForm1::EncodeFile(const std::string& entry) {
    RunJobGuarded(entry, KindEncode);
}

void TForm1::RunJobGuarded(const std::string& entry, Kind kind) {
    // A job started by a tick inside another job's box keeps the outer job's flag.
    const bool outerEntryTaken = entryTaken_;
    const uint32_t outerTakenIndex = takenIndex_;
    const uint32_t outerTakenEpoch = takenEpoch_;
    entryTaken_ = false;
    takenIndex_ = kNoIndex;
    jobCutOff_ = false;
    redoTarget_.clear();
    try {
        RunJob(entry, kind);
    } catch (const std::exception& error) {
        EndJobAfterException(entry, kind, &error);
    } catch (...) {
        EndJobAfterException(entry, kind, nullptr);
    }
    DeleteAbandonedTarget();
    // The finished entry leaves the record before any further job starts; an
    // entry of a record that was replaced meanwhile is not in the new one. A job
    // cut off by a close from outside is not finished: the next converter redoes it.
    if (takenIndex_ != kNoIndex && takenEpoch_ == recordEpoch_ && !jobCutOff_) {
        RecordWritten(record_.finish({takenIndex_}));
    }
    entryTaken_ = outerEntryTaken;
    takenIndex_ = outerTakenIndex;
    takenEpoch_ = outerTakenEpoch;
}

void TForm1::EndJobAfterException(const std::string& entry, Kind kind,
                                  const std::exception* error) {
    // The job ends as an error: its entry leaves the queue, the codec lets go of
    // its files, Busy is cleared (else no later job nor the completion could ever
    // run) and the batch goes on.
    if (!entryTaken_ && !FileQueue.empty() && FileQueue.front() == entry) {
        takenIndex_ = PopEntry();
        takenEpoch_ = recordEpoch_;
    }
    if (Busy) {
        try {
            if (kind == KindDecode) {
                Codec().CloseDecode();
            } else {
                Codec().CloseEncode();
            }
        } catch (...) {
            // The first error is the one reported.
        }
    }
    Busy = false;
    FinishRedo(kCodecFailed);
    SetProgress(255);
    ShowStatus("Error encountered",
               kind == KindDecode ? kDecodeJob.errorShift : kEncodeJob.errorShift);
    reportFailure(entry, error ? error->what() : "Unknown exception");
    if (!CurrentSettings().NoErrors) {
        ++openBoxes_;
        app::ShowException(error);
        --openBoxes_;
    }
}

void TForm1::FinishRedo(int code) {
    if (redoTarget_.empty()) {
        return;
    }
    // The redo takes the target's place when it finished, or when it got further
    // than the interrupted job did; else the target keeps what it held.
    const std::string written = TargetName;
    if (code == codec::kCodecDone || sizeOrZero(written) > sizeOrZero(redoTarget_)) {
        if (::rename(written.c_str(), redoTarget_.c_str()) == 0) {
            TargetName = redoTarget_;
        }
    }
    ::unlink(written.c_str());
    redoTarget_.clear();
}

void TForm1::TakeEntry(const std::string& target) {
    takenIndex_ = PopEntry();
    takenEpoch_ = recordEpoch_;
    entryTaken_ = true;
    if (takenIndex_ != kNoIndex) {
        RecordWritten(record_.started(takenIndex_, target));
    }
}

void TForm1::RunJob(const std::string& entry, Kind kindValue) {
    const JobKind& kind = kindValue == KindDecode ? kDecodeJob : kEncodeJob;
    const bool decode = kindValue == KindDecode;

    LastKind = kind.lastKind;
    // A job interrupted before (the converter was killed or closed from outside
    // inside it) is redone into the target it had begun, not into a second one.
    std::string redo;
    if (auto left = leftInfo_.find(entry); left != leftInfo_.end()) {
        redo = left->second.target;
        leftInfo_.erase(left);
    }
    const std::string targetDir =
        !redo.empty() ? platform::parentDir(redo)
                      : (decode ? CurrentSettings().DecodedDir : CurrentSettings().EncodedDir);
    const bool directoryMade = app::CreateTargetDirectory(targetDir);
    ShowStatus("Starting", 10);

    if (!directoryMade) {
        TakeEntry({});
        ShowStatus("Failed", 0);
        reportFailure(entry, "Unable to create target directory " + targetDir);
        if (!CurrentSettings().NoErrors) {
            Box("Unable to create target directory", "Error", platform::Ok, platform::Icon::None);
        }
        if (!decode) {
            Shutdown();
        }
        return;
    }

    std::string target =
        !redo.empty() ? redo : app::TargetNameFor(targetDir, entry, kind.extension);
    if (redo.empty() && app::PathExists(target)) {
        switch (CurrentSettings().Overwrite) {
        case 1:
            target = app::UniqueTargetName(target, kind.extension);
            break;
        case 2:
            ShowStatus("Skipping", 0);
            TakeEntry({});
            return;
        default:
            // The codec deletes the existing file when it opens the job.
            break;
        }
    }

    SourceName = entry;
    TargetName = redo.empty() ? target : app::RedoTarget(target);
    redoTarget_ = redo;
    TakeEntry(target);
    SetCountLine();

    // A missing source fails its own entry only, for both kinds: ending the batch
    // here would drop every later entry, names already taken from hand-off files
    // included, without a word.
    if (!platform::fileExists(SourceName)) {
        redoTarget_.clear();
        reportFailure(SourceName, "Unable to find source file");
        if (!CurrentSettings().NoErrors) {
            Box("Unable to find source file: " + displayText(SourceName), "Error", platform::Ok,
                platform::Icon::None);
        }
        return;
    }

    Busy = true;
    const QString source = QFile::decodeName(SourceName.c_str());
    Label3->setText(app::SourceLineText(source, Label3->fontMetrics(), Label3->width()));
    Label3->setToolTip(source);
    Label1->setText(kind.kindLine);
    codec::TMP3Codec& codec = Codec();
    int code = decode ? codec.OpenDecode(SourceName, TargetName)
                      : codec.OpenEncode(SourceName, TargetName);

    const bool runLoop = decode || code == codec::kCodecOk;
    if (runLoop) {
        ShowStatus("Working", 10);
        uint16_t percent = 0;
        while (code == codec::kCodecOk && !CloseRequested) {
            processPendingEvents();
            if (StopRequested) {
                break;
            }
            code = decode ? codec.DecodeStep(percent) : codec.EncodeStep(percent);
            SetProgress(app::ProgressWidth(static_cast<int16_t>(percent)));
            processPendingEvents();
        }
        // Ended by a close from outside before the file was done: the next
        // converter redoes it.
        jobCutOff_ = code == codec::kCodecOk && CloseRequested && !StopRequested;
        if (!decode) {
            codec.CloseEncode();
        }
    }
    SetProgress(255);

    const bool failed = code != codec::kCodecOk && code != codec::kCodecDone;
    if (failed) {
        ShowStatus("Error encountered", kind.errorShift);
        reportFailure(SourceName, codec::CodecResultText(code));
        // A decode's errors show no box, but for a write that failed (a full
        // disk), which the user must hear of as an encode's.
        const bool box = !decode || code == codec::kCodecWriteFail;
        if (box && !CurrentSettings().NoErrors) {
            Box("Error occured: " + std::string(codec::CodecResultText(code)) +
                    "\n while operating with: " + displayText(platform::fileName(SourceName)),
                app::kApplicationTitle, platform::Ok, platform::Icon::None);
        }
    } else {
        ShowStatus("Done", 10);
    }

    if (decode) {
        codec.CloseDecode();
    }
    FinishRedo(code);
    Busy = false;
}
