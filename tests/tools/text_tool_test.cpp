// SPDX-License-Identifier: MIT
// vrelay-text run as a user runs it, on small files, with exact output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/run_command.h"
#include "tests/textproc/tokenise_support.h"

namespace {

using ToolRun = vrelay::test::CommandRun;
using tokenise_test::kFinal;
using tokenise_test::mark;

ToolRun Text(const std::string& arguments) {
    const std::string command = std::string(VRELAY_TEXT_PATH) + " " + arguments + " 2>&1";
    return vrelay::test::RunCommand(command);
}

TEST(TextToolTest, PrintsExactlyWhatEachCommandProduces) {
    const std::string file = ::testing::TempDir() + "vrelay-text-" + std::to_string(getpid());
    const struct {
        const char* name;
        const char* command;  // FILE stands for the input file
        std::string input;
        int status;
        std::string out;  // the whole output, or lines each found in it
        bool whole = true;
    } rows[] = {
        {"MarkupIsReadAsTheClientReadsIt", "tokenise FILE", "<s>Hello <b>big</b> world</s>", 0,
         "<s>" + mark(3, 3, 5, 5) + "Hello <b>" + mark(12, 12, 3, 3) + "big</b> " +
             mark(20, 20, 5, 5) + "world</s>" + kFinal},
        {"PlainTextModeEscapesMarkup", "tokenise --plain-text FILE", "a < b", 0,
         "<parent>" + mark(0, 0, 1, 1) + "a " + mark(2, 2, 1, 1) + "&lt; " + mark(4, 4, 1, 1) +
             "b" + kFinal + "</parent>"},
        {"BreakEndsASpurt", "spurts FILE", "<speak>one <break time=\"1.5s\"/>two</speak>", 0,
         "spurt_id='001'\ntime='1.500'", false},
        {"ConfigFileOverridesBuiltInSettings", "config FILE",
         "<tpconfig><tokenise context_size='512'/><extra k='v'/></tpconfig>", 0,
         // The override, an untouched default and a setting only the file has.
         "tokenise.context_size=512\ntokenise.processing_mode=lax\nextra.k=v", false},
        {"MissingFileIsAPlainError", "tokenise /nonexistent/in.txt", "", 1,
         "vrelay-text: cannot read /nonexistent/in.txt: No such file or directory\n"},
        {"MissingConfigIsAPlainError", "config /nonexistent/c.xml", "", 1,
         "vrelay-text: cannot read configuration /nonexistent/c.xml\n"},
        {"WrongCommandLineShowsUsage", "tokenise --json FILE", "", 2,
         "usage: vrelay-text tokenise [--plain-text] FILE\n       vrelay-text spurts FILE\n"
         "       vrelay-text config FILE\n"},
    };
    for (const auto& row : rows) {
        std::ofstream(file, std::ios::binary) << row.input;
        std::string command = row.command;
        const size_t at = command.find("FILE");
        if (at != std::string::npos)
            command.replace(at, 4, file);
        const ToolRun run = Text(command);
        EXPECT_EQ(run.status, row.status) << row.name;
        if (row.whole) {
            EXPECT_EQ(run.out, row.out) << row.name;
            continue;
        }
        std::istringstream lines(row.out);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_NE(run.out.find(line), std::string::npos) << row.name << ": " << line;
        }
    }
    remove(file.c_str());
}

}  // namespace
