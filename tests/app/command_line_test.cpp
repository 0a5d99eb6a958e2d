#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"

namespace {

app::Arguments parse(std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>("/usr/bin/mp3tunewright")};
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return app::ParseArguments(static_cast<int>(argv.size() - 1), argv.data());
}

std::string contents(std::FILE* f) {
    std::string text;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

} // namespace

TEST(CommandLineOptions, OptionsBeforeTheEndMarkerAreNeverFileNames) {
    using R = app::Arguments::Request;
    struct Row {
        std::vector<std::string> args;
        R request;
        std::string invalid;
        std::vector<std::string> names;
        bool decodeFolders = false;
    };
    const std::vector<Row> rows = {
        {{"a.mp3", "b c.wav"}, R::Start, "", {"a.mp3", "b c.wav"}},
        {{"a.mp3", "--help"}, R::Help, "", {"a.mp3"}},
        {{"--version", "--help"}, R::Version, "", {}},
        {{"--help", "--bogus"}, R::Help, "", {}},
        {{"--bogus", "--help"}, R::Invalid, "--bogus", {}},
        {{"-"}, R::Invalid, "-", {}},
        {{"-platform", "xcb"}, R::Invalid, "-platform", {"xcb"}},
        {{"--help=all"}, R::Invalid, "--help=all", {}},
        {{"--", "--help", "-x.mp3", "--"}, R::Start, "", {"--help", "-x.mp3", "--"}},
        {{"a.wav", "--", "-"}, R::Start, "", {"a.wav", "-"}},
        {{"", "\xff-.wav"}, R::Start, "", {"", "\xff-.wav"}},
        {{"--"}, R::Start, "", {}},
        {{"--parallel-jobs=0", "a.wav"}, R::ParallelJobs, "", {"a.wav"}},
        {{"--parallel-jobs=16"}, R::ParallelJobs, "", {}},
        {{"--parallel-jobs=17"}, R::Invalid, "--parallel-jobs=17", {}},
        {{"--parallel-jobs=-1"}, R::Invalid, "--parallel-jobs=-1", {}},
        {{"--parallel-jobs="}, R::Invalid, "--parallel-jobs=", {}},
        {{"--parallel-jobs=2x"}, R::Invalid, "--parallel-jobs=2x", {}},
        {{"--decode-folders", "Album", "a.mp3"}, R::Start, "", {"Album", "a.mp3"}, true},
        {{"a.mp3", "--decode-folders", "--", "--decode-folders"},
         R::Start,
         "",
         {"a.mp3", "--decode-folders"},
         true},
        {{"--", "--decode-folders"}, R::Start, "", {"--decode-folders"}},
        {{"--decode-folders", "--help"}, R::Help, "", {}, true},
        {{"--notify=0", "a.mp3"}, R::Notify, "", {"a.mp3"}},
        {{"--notify=1"}, R::Notify, "", {}},
        {{"--notify=2"}, R::Invalid, "--notify=2", {}},
        {{"--notify"}, R::Invalid, "--notify", {}},
    };
    for (const Row& row : rows) {
        const app::Arguments a = parse(row.args);
        EXPECT_EQ(a.request, row.request) << testing::PrintToString(row.args);
        EXPECT_EQ(a.invalid, row.invalid) << testing::PrintToString(row.args);
        EXPECT_EQ(a.names, row.names) << testing::PrintToString(row.args);
        EXPECT_EQ(a.decodeFolders, row.decodeFolders) << testing::PrintToString(row.args);
    }
}

TEST(CommandLineOptions, HelpThatCannotBeWrittenIsAFailure) {
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_TRUE(full);
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(app::AnswerArguments(parse({"--help"}), full, err), 2);
    EXPECT_NE(contents(err).find("cannot write"), std::string::npos);
    std::fclose(full);
    std::fclose(err);
}
