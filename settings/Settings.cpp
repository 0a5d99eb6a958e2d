#include "settings/Settings.h"

#include <optional>

#include "platform/Paths.h"
#include "platform/Registry.h"

namespace settings {

using platform::Registry;
using platform::RegistryRoot;

std::string defaultDecodedDir() { return platform::joinPath(platform::musicDir(), "Decoded WAVs"); }
std::string defaultEncodedDir() {
    return platform::joinPath(platform::musicDir(), "Compressed MP3");
}
std::string defaultEncodedDirWhenEmpty() {
    return platform::joinPath(platform::musicDir(), "Compressed MP3s");
}
std::string defaultRipperOut() { return platform::joinPath(platform::musicDir(), "Ripped Files"); }

void SetDefaultSettings(SettingsRecord& r) {
    r.DecodedDir = defaultDecodedDir();
    r.EncodedDir = defaultEncodedDir();
    r.Signature = "MP3 Tunewright";
    r.RipperOut = defaultRipperOut();
    r.Overwrite = 0;
    r.Priority = 2;
    r.MWPosition = 4;
    r.PlaySound = 1;
    r.OpenDir = 0;
    r.NoErrors = 0;
}

void ValidateSettings(SettingsRecord& r) {
    if (r.DecodedDir.empty()) {
        r.DecodedDir = defaultDecodedDir();
    }
    if (r.RipperOut.empty()) {
        r.RipperOut = defaultRipperOut();
    }
    if (r.EncodedDir.empty()) {
        r.EncodedDir = defaultEncodedDirWhenEmpty();
    }
    if (r.Overwrite < 0 || r.Overwrite > 2) {
        r.Overwrite = 0;
    }
    if (r.Priority < 0 || r.Priority > 3) {
        r.Priority = 2;
    }
    if (r.MWPosition < 0 || r.MWPosition > 4) {
        r.MWPosition = 4;
    }
}

namespace {

// Reads every value in order; false at the first value that abandons the load.
bool readAll(const platform::RegistrySnapshot& reg, SettingsRecord& r) {
    const std::string key = kSettingsKey;
    auto text = [&](const char* name, std::string& field) {
        auto type = reg.valueType(key, name);
        if (!type) {
            field.clear();  // an absent string reads as empty text
            return true;
        }
        auto value = reg.readString(key, name);
        if (!value) {
            return false;
        }
        field = *value;
        return true;
    };
    auto integer = [&](const char* name, int16_t& field) {
        auto value = reg.readInteger(key, name);
        if (!value) {
            return false;
        }
        // Kept in a 16-bit field: only the low 16 bits survive.
        field = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(*value) & 0xffff));
        return true;
    };
    auto boolean = [&](const char* name, uint8_t& field) {
        auto value = reg.readInteger(key, name);
        if (!value) {
            return false;
        }
        field = *value != 0 ? 1 : 0;
        return true;
    };
    return text("DecodedDir", r.DecodedDir) && text("EncodedDir", r.EncodedDir) &&
           text("Signature", r.Signature) && text("RipperOut", r.RipperOut) &&
           integer("Overwrite", r.Overwrite) && integer("Priority", r.Priority) &&
           integer("MWPosition", r.MWPosition) && boolean("PlaySound", r.PlaySound) &&
           boolean("OpenDir", r.OpenDir) && boolean("NoErrors", r.NoErrors);
}

}  // namespace

void LoadSettingsRecord(SettingsRecord& r) {
    // Each root file is read and parsed once for all ten values.
    platform::RegistrySnapshot selected = Registry(RegistryRoot::CurrentUser).snapshot();
    if (!selected.keyExists(kSettingsKey)) {
        selected = Registry(RegistryRoot::LocalMachine).snapshot();
    }
    if (!selected.keyExists(kSettingsKey) || !readAll(selected, r)) {
        SetDefaultSettings(r);
    }
    ValidateSettings(r);
}

namespace {

// A DWORD beside the ten values, from the root LoadSettingsRecord reads.
std::optional<int32_t> loadExtraDword(const char* name) {
    platform::RegistrySnapshot selected = Registry(RegistryRoot::CurrentUser).snapshot();
    if (!selected.keyExists(kSettingsKey)) {
        selected = Registry(RegistryRoot::LocalMachine).snapshot();
    }
    return selected.readInteger(kSettingsKey, name);
}

// Stores a DWORD beside the ten values. A user without a settings key of their
// own gets the values they read now first, so the new key hides nothing read
// from HKEY_LOCAL_MACHINE.
bool saveExtraDword(const char* name, int32_t value) {
    Registry user(RegistryRoot::CurrentUser);
    if (!user.keyExists(kSettingsKey)) {
        SettingsRecord current;
        LoadSettingsRecord(current);
        if (!SaveSettingsRecord(current, nullptr)) {
            return false;
        }
    }
    return user.writeInteger(kSettingsKey, name, value);
}

} // namespace

uint32_t LoadParallelJobs() {
    std::optional<int32_t> value = loadExtraDword("ParallelJobs");
    return value ? static_cast<uint32_t>(*value) : 0;
}

bool SaveParallelJobs(uint32_t jobs) {
    return saveExtraDword("ParallelJobs", static_cast<int32_t>(jobs));
}

bool LoadNotify() {
    return loadExtraDword("Notify").value_or(1) != 0;
}

bool SaveNotify(bool on) {
    return saveExtraDword("Notify", on ? 1 : 0);
}

bool SaveSettingsRecord(const SettingsRecord& r, std::string* failedValue) {
    Registry user(RegistryRoot::CurrentUser);
    const std::string key = kSettingsKey;
    if (!user.createKey(key)) {
        if (failedValue) {
            failedValue->clear();
        }
        return false;
    }
    auto fail = [&](const char* name) {
        if (failedValue) {
            *failedValue = name;
        }
        return false;
    };
    if (!user.writeString(key, "DecodedDir", r.DecodedDir)) return fail("DecodedDir");
    if (!user.writeString(key, "EncodedDir", r.EncodedDir)) return fail("EncodedDir");
    if (!user.writeString(key, "Signature", r.Signature)) return fail("Signature");
    if (!user.writeString(key, "RipperOut", r.RipperOut)) return fail("RipperOut");
    if (!user.writeInteger(key, "Overwrite", r.Overwrite)) return fail("Overwrite");
    if (!user.writeInteger(key, "Priority", r.Priority)) return fail("Priority");
    if (!user.writeInteger(key, "MWPosition", r.MWPosition)) return fail("MWPosition");
    if (!user.writeInteger(key, "PlaySound", r.PlaySound ? 1 : 0)) return fail("PlaySound");
    if (!user.writeInteger(key, "OpenDir", r.OpenDir ? 1 : 0)) return fail("OpenDir");
    if (!user.writeInteger(key, "NoErrors", r.NoErrors ? 1 : 0)) return fail("NoErrors");
    return true;
}

}  // namespace settings
