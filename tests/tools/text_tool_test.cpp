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
    // command: FILE stands for the input file
    // out: the whole output, or lines each found in it
    const struct { const char* name; const char* command; std::string input; int status;
        std::string out; bool whole = true; } rows[] = {
        {"MarkupIsReadAsTheClientReadsIt", "tokenise --raw FILE", "<s>Hello <b>big</b> world</s>",
         0,
         "<s>" + mark(3, 3, 5, 5) + "Hello <b>" + mark(12, 12, 3, 3) + "big</b> " +
             mark(20, 20, 5, 5) + "world</s>" + kFinal},
        {"WordsAreShownWithTheirPlaces", "tokenise FILE", "<s>Hello <b>big</b> world</s>", 0,
         "<s>Hello <b>big</b> world</s>\n\n"
         "word  at char  at byte  chars  bytes  text\n"
         "   1        3        3      5      5  Hello\n"
         "   2       12       12      3      3  big\n"
         "   3       20       20      5      5  world\n"},
        {"RepairsAreSaidInWords", "tokenise FILE", "<b>Hello <i>big</b>", 0,
         "<b>Hello <i>big</i></b>\n\nmarkup repaired:\n"
         "  </i> added: the element around it was closed first\n", false},
        {"Latin1IsReadAsVrelaySayReadsIt", "tokenise FILE", "<s>caf\xE9 ol\xE9</s>", 0,
         "(byte 0xE9 at offset 6); such bytes are read as Latin-1 (Windows-1252)\n"
         "<s>café olé</s>\n"
         "   1        3        3      4      5  café\n"
         "   2        8        9      3      4  olé\n", false},
        {"PlainTextModeEscapesMarkup", "tokenise --plain-text --raw FILE", "a < b", 0,
         "<parent>" + mark(0, 0, 1, 1) + "a " + mark(2, 2, 1, 1) + "&lt; " + mark(4, 4, 1, 1) +
             "b" + kFinal + "</parent>"},
        {"BreakEndsASpurt", "spurts FILE",
         "<speak>one <break time=\"1.5s\"/><emphasis>two</emphasis> three</speak>", 0,
         "run 1 (1.5 s pause after): <speak>one</speak>\n"
         "run 2: <speak><emphasis>two</emphasis> three</speak>\n"},
        {"RawSpurtsAreTheModelsXml", "spurts --raw FILE",
         "<speak>one <break time=\"1.5s\"/>two</speak>", 0, "spurt_id='001'\ntime='1.500'",
         false},
        {"ConfigFileOverridesBuiltInSettings", "config FILE",
         "<tpconfig><tokenise context_size='512'/><extra k='v'/></tpconfig>", 0,
         // The override, an untouched default and a setting only the file has.
         "tokenise.context_size=512\ntokenise.processing_mode=lax\nextra.k=v", false},
        {"ConfigOfGarbageIsAnError", "config FILE", "not a document", 1,
         "is not a configuration document: it holds no XML element\n", false},
        {"ConfigOfAnotherDocumentIsAnError", "config FILE", "<html><p x='1'/></html>", 1,
         "is not a configuration document: its root element is <html>, not <tpconfig>\n", false},
        {"MissingFileIsAPlainError", "tokenise /nonexistent/in.txt", "", 1,
         "vrelay-text: cannot read /nonexistent/in.txt: No such file or directory\n"},
        {"AFolderIsAPlainError", "spurts /", "", 1, "vrelay-text: cannot read /: Is a directory\n"},
        {"MissingConfigIsAPlainError", "config /nonexistent/c.xml", "", 1,
         "vrelay-text: cannot read /nonexistent/c.xml: No such file or directory\n"},
        {"HelpIsPlainAndSucceeds", "--help", "", 0,
         "usage: vrelay-text tokenise [--plain-text] [--raw] FILE\n"
         "  --raw      the output as the library writes it (XML, marks and all)\n",
         false},
        {"WrongCommandLineShowsUsage", "tokenise --json FILE", "", 2,
         "usage: vrelay-text tokenise [--plain-text] [--raw] FILE\n"
         "       vrelay-text spurts [--raw] FILE\n"
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
        for (std::string line; std::getline(lines, line);)
            EXPECT_NE(run.out.find(line), std::string::npos) << row.name << ": " << line;
    }
    remove(file.c_str());
}

}  // namespace
