// The decode and encode jobs of the conversion window: one queue entry each, from
// the target directory and name through the codec loop to the status shown.

#include "app/BatchJobs.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <exception>
#include <sys/stat.h>

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

void errorBox(const std::string& text) {
    platform::messageBox(text, "Error", platform::Ok, platform::Icon::None);
}

} // namespace

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
    try {
        RunJob(entry, kind);
    } catch (const std::exception& error) {
        EndJobAfterException(entry, kind, &error);
    } catch (...) {
        EndJobAfterException(entry, kind, nullptr);
    }
    DeleteAbandonedTarget();
    // The finished entry leaves the record before any further job starts; an
    // entry of a record that was replaced meanwhile is not in the new one.
    if (takenIndex_ != kNoIndex && takenEpoch_ == recordEpoch_) {
        record_.finish({takenIndex_});
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
    SetProgress(255);
    ShowStatus("Error encountered",
               kind == KindDecode ? kDecodeJob.errorShift : kEncodeJob.errorShift);
    if (!CurrentSettings().NoErrors) {
        app::ShowException(error);
    }
}

void TForm1::TakeEntry() {
    takenIndex_ = PopEntry();
    takenEpoch_ = recordEpoch_;
    entryTaken_ = true;
    if (takenIndex_ != kNoIndex) {
        record_.started(takenIndex_);
    }
}

void TForm1::RunJob(const std::string& entry, Kind kindValue) {
    const JobKind& kind = kindValue == KindDecode ? kDecodeJob : kEncodeJob;
    const bool decode = kindValue == KindDecode;

    LastKind = kind.lastKind;
    const std::string targetDir =
        decode ? CurrentSettings().DecodedDir : CurrentSettings().EncodedDir;
    const bool directoryMade = app::CreateTargetDirectory(targetDir);
    ShowStatus("Starting", 10);

    if (!directoryMade) {
        TakeEntry();
        ShowStatus("Failed", 0);
        if (!CurrentSettings().NoErrors) {
            errorBox("Unable to create target directory");
        }
        if (!decode) {
            Shutdown();
        }
        return;
    }

    std::string target = app::TargetNameFor(targetDir, entry, kind.extension);
    if (app::PathExists(target)) {
        switch (CurrentSettings().Overwrite) {
        case 1:
            target = app::UniqueTargetName(target, kind.extension);
            break;
        case 2:
            ShowStatus("Skipping", 0);
            TakeEntry();
            return;
        default:
            // The codec deletes the existing file when it opens the job.
            break;
        }
    }

    SourceName = entry;
    TargetName = target;
    TakeEntry();
    SetCountLine();

    // A missing source fails its own entry only, for both kinds: ending the batch
    // here would drop every later entry, names already taken from hand-off files
    // included, without a word.
    if (!platform::fileExists(SourceName)) {
        if (!CurrentSettings().NoErrors) {
            errorBox("Unable to find source file: " + displayText(SourceName));
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
        if (!decode) {
            codec.CloseEncode();
        }
    }
    SetProgress(255);

    if (code != codec::kCodecOk && code != codec::kCodecDone) {
        ShowStatus("Error encountered", kind.errorShift);
        if (!decode && !CurrentSettings().NoErrors) {
            platform::messageBox(
                "Error occured: " + std::string(codec::CodecResultText(code)) +
                    "\n while operating with: " + displayText(platform::fileName(SourceName)),
                app::kApplicationTitle, platform::Ok, platform::Icon::None);
        }
    } else {
        ShowStatus("Done", 10);
    }

    if (decode) {
        codec.CloseDecode();
    }
    Busy = false;
}
