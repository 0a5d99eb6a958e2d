#include "app/CommandLine.h"

#include "app/Startup.h"
#include "settings/Settings.h"

#include <cstdlib>

namespace app {

std::string UsageText() {
    return "Usage: mp3tunewright [--help | --version | --parallel-jobs=N | --notify=0|1]\n"
           "       mp3tunewright [--decode-folders] [--] FILE...\n"
           "\n"
           "Decodes MP3 files to WAV and encodes WAV files to MP3, rips audio CDs and\n"
           "records from the sound card.\n"
           "\n"
           "Without FILE, shows the launcher window: CD ripper, recorder, options and help.\n"
           "With FILEs, converts them in a small conversion window: an MP3 file is decoded\n"
           "to WAV, a WAV file is encoded to MP3. Several files are converted at once, one\n"
           "per processor (see --parallel-jobs); the window shows them in their order.\n"
           "A FILE that is a folder converts the audio files in it and in its subfolders\n"
           "(hidden ones left out) into subfolders of the same names: every audio file but\n"
           "the MP3s is encoded to MP3, or with --decode-folders the MP3s are decoded.\n"
           "With FILEs while another conversion runs, hands the names over to it and ends\n"
           "at once; the running conversion adds them to its queue.\n"
           "\n"
           "Options:\n"
           "  --help      show this text and exit\n"
           "  --version   show the version and exit\n"
           "  --parallel-jobs=N\n"
           "              store how many files a conversion converts at once and exit:\n"
           "              0 (the default) one per processor the program may use, 1 one\n"
           "              file at a time, up to 16 (the setting ParallelJobs)\n"
           "  --notify=0|1\n"
           "              store whether a finished conversion, rip or long recording is\n"
           "              announced by a desktop notification (1, the default) or not (0),\n"
           "              and exit (the setting Notify)\n"
           "  --decode-folders\n"
           "              the FILEs that are folders are decoded (their MP3s), not\n"
           "              encoded; \"Decode to WAVE\" in the file managers passes it\n"
           "  --          end of the options: every later argument is a FILE, also one\n"
           "              that starts with '-'\n"
           "\n"
           "Exit status:\n"
           "  0  normal end (also after --help and --version)\n"
           "  1  the FILEs were handed over to the running conversion\n"
           "  2  an unknown option, or the runtime folder or the hand-off file could not\n"
           "     be used\n"
           "\n"
           "Environment:\n"
           "  TUNEWRIGHT_REGISTRY_DIR  keep all settings and associations in this folder\n"
           "  TUNEWRIGHT_RUNTIME_DIR   folder of the lock and the hand-off files (default\n"
           "                           $XDG_RUNTIME_DIR/mp3tunewright or\n"
           "                           /tmp/mp3tunewright-UID; private to the user)\n"
           "  TUNEWRIGHT_UNATTENDED=1  write message boxes to stderr and answer them with\n"
           "                           their default button\n"
           "  TUNEWRIGHT_WAVE_DEVICE   ALSA capture device of the recorder (default: default)\n"
           "  TUNEWRIGHT_CD_IMAGES     colon-separated CUE/BIN images shown as CD drives\n"
           "  TUNEWRIGHT_NAUTILUS_EXTENSIONS_DIR\n"
           "                           folder where GNOME Files' Python extension loader\n"
           "                           (python3-nautilus) is looked for (default: the\n"
           "                           system's nautilus/extensions-4 folders)\n"
           "  XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_RUNTIME_DIR  as usual\n"
           "\n"
           "See mp3tunewright(1) for the files the program reads and writes.\n";
}

int AnswerArguments(const Arguments& arguments, std::FILE* out, std::FILE* err) {
    std::string text;
    switch (arguments.request) {
    case Arguments::Request::Start:
        return 0;
    case Arguments::Request::Help:
        text = UsageText();
        break;
    case Arguments::Request::Version:
        text = std::string(kApplicationTitle) + "\n";
        break;
    case Arguments::Request::ParallelJobs:
        if (!settings::SaveParallelJobs(arguments.parallelJobs)) {
            std::fprintf(err, "mp3tunewright: cannot store the setting ParallelJobs\n");
            return kExitError;
        }
        text = "ParallelJobs " + std::to_string(arguments.parallelJobs) +
               (arguments.parallelJobs == 0 ? " (one per processor)\n" : "\n");
        break;
    case Arguments::Request::Notify:
        if (!settings::SaveNotify(arguments.notify)) {
            std::fprintf(err, "mp3tunewright: cannot store the setting Notify\n");
            return kExitError;
        }
        text = std::string("Notify ") + (arguments.notify ? "1 (on)\n" : "0 (off)\n");
        break;
    case Arguments::Request::Invalid:
        std::fprintf(err,
                     "mp3tunewright: unknown option '%s'\n"
                     "Try 'mp3tunewright --help' for more information; put '--' before a file "
                     "name that starts with '-'.\n",
                     arguments.invalid.c_str());
        return kExitError;
    }
    // A full disk or a closed pipe must not look like a shown text.
    if (std::fputs(text.c_str(), out) < 0 || std::fflush(out) != 0) {
        std::fprintf(err, "mp3tunewright: cannot write to the standard output\n");
        return kExitError;
    }
    return 0;
}

} // namespace app
