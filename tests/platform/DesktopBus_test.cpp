// The desktop services over D-Bus as the desktop's own services see them: a
// notification server and a dock on a private session bus, logind on a private
// system bus (stand-ins in Debian's Python), and no bus at all.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestEnv.h"

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        out.push_back(text.substr(start, end - start));
    }
    return out;
}

} // namespace

TEST(DesktopBus, TheDesktopsServicesSeeWhatTheProgramSends) {
    const std::string root = testenv::makeDir("desktop-bus");
    testenv::PrivateSystemBus systemBus(root);
    const std::string log = root + "/events.txt";
    const std::string peers = "/usr/bin/python3 '" TW_BUS_PEERS "' ";
    const std::string driver = " -- '" + testenv::appDir() + "tw_desktop_bus_driver' ";
    const std::string notify = "notify '12 files compressed to MP3' 'In /m/MP3 s' '/m/MP3 s' ";
    const std::string icon = "io.github.tunewright.MP3Tunewright";
    const std::string entry = "update application://" + icon + ".desktop|";
    const std::string withSystemBus = "env DBUS_SYSTEM_BUS_ADDRESS=" + systemBus.address + " ";
    struct Row {
        std::string label;
        std::string command;
        std::vector<std::string> events; // as the stand-ins saw them
        std::vector<std::string> said;   // by the program
    };
    const std::vector<Row> rows = {
        {"a notification server and a dock on the session bus",
         "dbus-run-session -- " + peers + "--notifications '" + log + "'" + driver + notify +
             "wait 1500 notify Done '' '' progress 0.25 progress 0.2504 progress 1 clear wait 200",
         {"notify MP3 Tunewright|0|" + icon +
              "|12 files compressed to MP3|In /m/MP3 s|default,Open folder|desktop-entry|-1",
          "notify MP3 Tunewright|0|" + icon + "|Done|||desktop-entry|-1", entry + "0.250|1",
          entry + "1.000|1", entry + "0.000|0"},
         // A click on another program's notification opens nothing.
         {"opened /m/MP3 s"}},
        {"logind on the system bus",
         withSystemBus + peers + "--logind '" + log + "'" + driver +
             "inhibit 'Ripping 3 tracks' wait 300 release wait 1000",
         {"inhibit sleep:idle|MP3 Tunewright|Ripping 3 tracks|block", "released while running"},
         {"held"}},
        {"buses without the services",
         "dbus-run-session -- " + withSystemBus + peers + "'" + log + "'" + driver + notify +
             "progress 0.5 inhibit Recording wait 300",
         {},
         {"not held"}},
        {"no bus at all",
         driver.substr(4) + notify + "progress 0.5 inhibit Recording wait 300",
         {},
         {"not held"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        std::remove(log.c_str());
        const std::string said = root + "/said.txt";
        EXPECT_EQ(testenv::run("timeout 90 " + row.command + " > '" + said + "' 2>/dev/null"), 0);
        EXPECT_EQ(lines(testenv::readFile(log)), row.events);
        EXPECT_EQ(lines(testenv::readFile(said)), row.said);
    }
}
