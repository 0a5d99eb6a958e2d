#include <gtest/gtest.h>

#include "FakeServices.h"
#include "TestEnv.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "settings/Settings.h"

using namespace settings;
using platform::Registry;
using platform::RegistryRoot;

namespace {

// Writes a complete stored record under a root, then lets the test change it.
void storeAll(RegistryRoot root, const std::string& decoded = "/d", const std::string& encoded = "/e") {
    Registry reg(root);
    ASSERT_TRUE(reg.createKey(kSettingsKey));
    reg.writeString(kSettingsKey, "DecodedDir", decoded);
    reg.writeString(kSettingsKey, "EncodedDir", encoded);
    reg.writeString(kSettingsKey, "Signature", "sig");
    reg.writeString(kSettingsKey, "RipperOut", "/r");
    reg.writeInteger(kSettingsKey, "Overwrite", 1);
    reg.writeInteger(kSettingsKey, "Priority", 3);
    reg.writeInteger(kSettingsKey, "MWPosition", 2);
    reg.writeInteger(kSettingsKey, "PlaySound", 0);
    reg.writeInteger(kSettingsKey, "OpenDir", 1);
    reg.writeInteger(kSettingsKey, "NoErrors", 1);
}

SettingsRecord loaded() {
    SettingsRecord r;
    LoadSettingsRecord(r);
    return r;
}

}  // namespace

namespace {
// Each test starts from an empty registry, also when all run in one process.
class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override { testenv::useFreshRegistry(); }
};
}  // namespace

TEST_F(SettingsStore, FreshAccountGetsTheDefaults) {
    SettingsRecord r = loaded();
    std::string music = platform::musicDir();
    EXPECT_EQ(r.DecodedDir, music + "/Decoded WAVs");
    EXPECT_EQ(r.EncodedDir, music + "/Compressed MP3");
    EXPECT_EQ(r.RipperOut, music + "/Ripped Files");
    EXPECT_EQ(r.Signature, "MP3 Tunewright");
    EXPECT_EQ(r.Overwrite, 0);
    EXPECT_EQ(r.Priority, 2);
    EXPECT_EQ(r.MWPosition, 4);
    EXPECT_EQ(r.PlaySound, 1);
    EXPECT_EQ(r.OpenDir, 0);
    EXPECT_EQ(r.NoErrors, 0);
    EXPECT_EQ(music, std::string(std::getenv("HOME")) + "/Music");
}

TEST_F(SettingsStore, StoredValuesLoad) {
    storeAll(RegistryRoot::CurrentUser);
    SettingsRecord r = loaded();
    EXPECT_EQ(r.DecodedDir, "/d");
    EXPECT_EQ(r.EncodedDir, "/e");
    EXPECT_EQ(r.Signature, "sig");
    EXPECT_EQ(r.RipperOut, "/r");
    EXPECT_EQ(r.Overwrite, 1);
    EXPECT_EQ(r.Priority, 3);
    EXPECT_EQ(r.MWPosition, 2);
    EXPECT_EQ(r.PlaySound, 0);
    EXPECT_EQ(r.OpenDir, 1);
    EXPECT_EQ(r.NoErrors, 1);
}

TEST_F(SettingsStore, EmptyEncodedDirTakesTheOtherDefaultSpelling) {
    storeAll(RegistryRoot::CurrentUser, "/d", "");
    SettingsRecord r = loaded();
    EXPECT_EQ(r.EncodedDir, platform::musicDir() + "/Compressed MP3s");
    EXPECT_EQ(r.DecodedDir, "/d");
    EXPECT_EQ(r.Overwrite, 1);
}

TEST_F(SettingsStore, OutOfRangeIntegersAreReplacedOneByOne) {
    struct Row {
        const char* name;
        int32_t stored;
        int16_t SettingsRecord::*field;
        int16_t expected;
    };
    const Row rows[] = {
        {"MWPosition", 7, &SettingsRecord::MWPosition, 4},
        {"Overwrite", 3, &SettingsRecord::Overwrite, 0},
        {"Priority", -1, &SettingsRecord::Priority, 2},
        {"Overwrite", 65537, &SettingsRecord::Overwrite, 1},   // low 16 bits
        {"MWPosition", 65536 + 3, &SettingsRecord::MWPosition, 3},
        {"Priority", 0x7fff0001, &SettingsRecord::Priority, 1},
    };
    for (const Row& row : rows) {
        storeAll(RegistryRoot::CurrentUser);
        Registry(RegistryRoot::CurrentUser).writeInteger(kSettingsKey, row.name, row.stored);
        SettingsRecord r = loaded();
        EXPECT_EQ(r.*row.field, row.expected) << row.name << " = " << row.stored;
        EXPECT_EQ(r.DecodedDir, "/d") << "other fields keep their stored values";
    }
}

TEST_F(SettingsStore, MissingOrWrongTypedValueAbandonsTheWholeLoad) {
    storeAll(RegistryRoot::CurrentUser);
    Registry reg(RegistryRoot::CurrentUser);
    ASSERT_TRUE(reg.deleteValue(kSettingsKey, "NoErrors"));
    SettingsRecord r = loaded();
    EXPECT_EQ(r.DecodedDir, platform::musicDir() + "/Decoded WAVs");
    EXPECT_EQ(r.EncodedDir, platform::musicDir() + "/Compressed MP3");
    EXPECT_EQ(r.Overwrite, 0);

    storeAll(RegistryRoot::CurrentUser);
    reg.writeString(kSettingsKey, "Priority", "3");
    EXPECT_EQ(loaded().RipperOut, platform::musicDir() + "/Ripped Files");

    storeAll(RegistryRoot::CurrentUser);
    reg.writeInteger(kSettingsKey, "Signature", 5);
    EXPECT_EQ(loaded().Signature, "MP3 Tunewright");
}

TEST_F(SettingsStore, AbsentStringReadsEmptyAndIsThenValidated) {
    storeAll(RegistryRoot::CurrentUser);
    Registry reg(RegistryRoot::CurrentUser);
    reg.deleteValue(kSettingsKey, "RipperOut");
    reg.deleteValue(kSettingsKey, "Signature");
    SettingsRecord r = loaded();
    EXPECT_EQ(r.RipperOut, platform::musicDir() + "/Ripped Files");
    EXPECT_EQ(r.Signature, "");
    EXPECT_EQ(r.DecodedDir, "/d");
}

TEST_F(SettingsStore, NonZeroBooleanReadsTrueAndSavesAsOne) {
    storeAll(RegistryRoot::CurrentUser);
    Registry reg(RegistryRoot::CurrentUser);
    reg.writeInteger(kSettingsKey, "PlaySound", 5);
    SettingsRecord r = loaded();
    EXPECT_EQ(r.PlaySound, 1);
    ASSERT_TRUE(SaveSettingsRecord(r, nullptr));
    EXPECT_EQ(reg.readInteger(kSettingsKey, "PlaySound"), 1);
}

TEST_F(SettingsStore, MachineSettingsAreReadThenSavedForTheUser) {
    storeAll(RegistryRoot::LocalMachine, "/machine");
    SettingsRecord r = loaded();
    EXPECT_EQ(r.DecodedDir, "/machine");
    r.Overwrite = 2;
    ASSERT_TRUE(SaveSettingsRecord(r, nullptr));
    Registry user(RegistryRoot::CurrentUser);
    EXPECT_EQ(user.readString(kSettingsKey, "DecodedDir"), "/machine");
    EXPECT_EQ(user.readInteger(kSettingsKey, "Overwrite"), 2);
    EXPECT_EQ(Registry(RegistryRoot::LocalMachine).readInteger(kSettingsKey, "Overwrite"), 1)
        << "the machine-wide key is never written";
    // The user's key now wins over the machine's.
    storeAll(RegistryRoot::LocalMachine, "/other");
    EXPECT_EQ(loaded().DecodedDir, "/machine");
}

TEST_F(SettingsStore, SignatureSurvivesLoadAndSaveAlsoWhenEmpty) {
    for (std::string signature : {"My own \xe9 text", ""}) {
        storeAll(RegistryRoot::CurrentUser);
        Registry reg(RegistryRoot::CurrentUser);
        reg.writeString(kSettingsKey, "Signature", signature);
        SettingsRecord r = loaded();
        ASSERT_TRUE(SaveSettingsRecord(r, nullptr));
        EXPECT_EQ(reg.readString(kSettingsKey, "Signature"), signature);
    }
}

TEST_F(SettingsStore, SaveWritesAllTenTypedValues) {
    SettingsRecord r = loaded();
    ASSERT_TRUE(SaveSettingsRecord(r, nullptr));
    Registry reg(RegistryRoot::CurrentUser);
    for (const char* s : {"DecodedDir", "EncodedDir", "Signature", "RipperOut"}) {
        EXPECT_EQ(reg.valueType(kSettingsKey, s), platform::RegistryType::String) << s;
    }
    for (const char* i : {"Overwrite", "Priority", "MWPosition", "PlaySound", "OpenDir", "NoErrors"}) {
        EXPECT_EQ(reg.valueType(kSettingsKey, i), platform::RegistryType::DWord) << i;
    }
    SettingsRecord again = loaded();
    EXPECT_EQ(again.EncodedDir, r.EncodedDir);
    EXPECT_EQ(again.MWPosition, 4);
}

TEST_F(SettingsStore, FailedSaveNamesTheValueAndKeepsEarlierOnes) {
    std::string blocker = testenv::root() + "notadir";
    testenv::writeFile(blocker, "x");
    setenv("TUNEWRIGHT_REGISTRY_DIR", (blocker + "/reg").c_str(), 1);
    SettingsRecord r = loaded();
    std::string failed = "?";
    EXPECT_FALSE(SaveSettingsRecord(r, &failed));
    EXPECT_EQ(failed, "") << "the key itself could not be created";
}
