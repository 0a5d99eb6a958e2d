#pragma once

#include <cstdint>
#include <string>

namespace settings {

// The registry key every setting lives under, below HKEY_CURRENT_USER (written)
// or HKEY_LOCAL_MACHINE (read when the user has none).
inline constexpr const char* kSettingsKey = "\\Software\\Brevant\\MP3 Tunewright";

// The one settings record of the process. Every reader takes its fields at the
// moment it needs a value, so a change in the options dialog acts at once.
struct SettingsRecord {
    std::string DecodedDir;
    std::string EncodedDir;
    std::string Signature;
    std::string RipperOut;
    int16_t Overwrite = 0;   // 0 overwrite, 1 unique new name, 2 skip the source
    int16_t Priority = 2;    // 0 Low, 1 Normal, 2 Above normal, 3 High
    int16_t MWPosition = 4;  // 0 centre, 1 left top, 2 left bottom, 3 right top, 4 right bottom
    uint8_t PlaySound = 1;
    uint8_t OpenDir = 0;
    uint8_t NoErrors = 0;
};

// Default directories below the user's music folder.
std::string defaultDecodedDir();
std::string defaultEncodedDir();           // "Compressed MP3": a machine without settings
std::string defaultEncodedDirWhenEmpty();  // "Compressed MP3s": a stored empty value
std::string defaultRipperOut();

// Fills the record from the registry (HKEY_CURRENT_USER when the key exists there,
// else HKEY_LOCAL_MACHINE); any absent or wrong-typed integer or boolean, or a
// wrong-typed string, abandons the load and every field takes its default. Then
// validates. Shows no message.
void LoadSettingsRecord(SettingsRecord& record);
void SetDefaultSettings(SettingsRecord& record);
void ValidateSettings(SettingsRecord& record);
// The number of conversion jobs run at once: the DWORD "ParallelJobs" beside the ten
// values, read from the root LoadSettingsRecord reads. The options dialog neither
// shows nor writes it. 0 when absent or of another type: one job per processor.
uint32_t LoadParallelJobs();

// Stores "ParallelJobs" under HKEY_CURRENT_USER. A user without a settings key of
// their own gets the ten values they read now first (as the options dialog's
// close would write them), so that the new key hides nothing read from
// HKEY_LOCAL_MACHINE. False when the registry cannot be written.
bool SaveParallelJobs(uint32_t jobs);

// Whether the end of a conversion batch, of a rip and of a recording longer than
// a minute is announced by a desktop notification: the DWORD "Notify" beside
// ParallelJobs, read from the same root. On when absent, of another type or not
// 0; off when 0. The options dialog neither shows nor writes it.
bool LoadNotify();

// Stores "Notify" (1 or 0) under HKEY_CURRENT_USER as SaveParallelJobs stores its
// value. False when the registry cannot be written.
bool SaveNotify(bool on);

// Writes the ten values under HKEY_CURRENT_USER in their order. On a failure
// the values written before it stay; returns false with `failedValue` naming the
// value that could not be written ("" when the key could not be created).
bool SaveSettingsRecord(const SettingsRecord& record, std::string* failedValue);

}  // namespace settings
