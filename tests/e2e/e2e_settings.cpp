// The settings helper of the real-process tests, apart from e2e_support.cpp so
// that suites which do not link the program's libraries can still use the rest.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace e2e {

void saveSettings(const std::string& decoded, const std::string& encoded,
                  const std::function<void(settings::SettingsRecord&)>& adjust) {
    settings::SettingsRecord record;
    settings::SetDefaultSettings(record);
    record.DecodedDir = decoded;
    record.EncodedDir = encoded;
    record.PlaySound = 0;
    record.OpenDir = 0;
    record.NoErrors = 0;
    if (adjust) {
        adjust(record);
    }
    std::string failed;
    ASSERT_TRUE(settings::SaveSettingsRecord(record, &failed)) << failed;
}

} // namespace e2e
