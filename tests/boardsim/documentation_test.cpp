// The simulated board's documentation held to the tables it documents, so that neither can drift from
// the other: every scenario setting of the reader's table (scenario_settings()) is a key of
// boardsim-scenario(5) and of the key tables of boardsim/README.md, and nothing else is; every option
// of the runner's usage (boardsim --help, made from its table of options) is in boardsim(1)'s synopsis
// and options with its value's name, and nothing else is.
#include "readers/scenario.h"
#include "run.h"

// GCC 12 reports string concatenation with temporaries as an overlapping copy (its bug 105329).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using lines = std::vector<std::string>;
using testsupport::read_file;
using testsupport::split_lines;

std::string source_file(const std::string &relative) {
    return std::string{BOARDSIM_SOURCE_DIR} + "/" + relative;
}

// ---- roff, as far as the pages use it ----

// The text of a piece of roff with its escapes read: \- a hyphen, \e a backslash, the named quotes,
// font changes and the zero-width \& gone.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'e') {
            out += '\\';
        } else if (c == 'f' && i + 1 < text.size()) {
            ++i; // \fB, \fI, \fR, \fP
        } else if (c == '(' && i + 2 < text.size()) {
            const std::string_view name = text.substr(i + 1, 2);
            out += name == "aq" ? "'" : name == "dq" ? "\"" : "";
            i += 2;
        } else if (c != '&') {
            out += c;
        }
    }
    return out;
}

// A macro's arguments: words, or double-quoted text that may hold blanks.
lines arguments(std::string_view rest) {
    lines args;
    std::size_t i = 0;
    while (i < rest.size()) {
        if (rest[i] == ' ') {
            ++i;
            continue;
        }
        if (rest[i] == '"') {
            const std::size_t close = std::min(rest.find('"', i + 1), rest.size());
            args.emplace_back(rest.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        const std::size_t end = std::min(rest.find(' ', i), rest.size());
        args.emplace_back(rest.substr(i, end - i));
        i = end;
    }
    return args;
}

// What a line of a page shows: a text line's text; a font macro's arguments, run together for the
// macros that alternate fonts (.BI chain " N " inserted: "chain N inserted"), else joined by blanks.
std::string shown(const std::string &line) {
    if (!line.starts_with('.')) return unescape(line);
    const std::size_t blank = std::min(line.find(' '), line.size());
    const std::string macro = line.substr(1, blank - 1);
    const lines args = arguments(std::string_view{line}.substr(blank));
    const bool alternating = macro.size() == 2 && macro.find_first_not_of("BIR") == std::string::npos;
    std::string text;
    for (const std::string &a : args)
        text += (alternating || text.empty() ? "" : " ") + unescape(a);
    return text;
}

// The lines of the page's section NAME, from its .SH to the next.
lines section(const std::string &page, const std::string &name) {
    lines found;
    bool inside = false;
    for (const std::string &line : split_lines(page)) {
        if (line.starts_with(".SH ")) {
            std::string heading = line.substr(4);
            std::erase(heading, '"');
            inside = heading == name;
            continue;
        }
        if (inside) found.push_back(line);
    }
    return found;
}

// The tags of a list: the line after each .TP, as it shows.
lines tags(const lines &part) {
    lines found;
    for (std::size_t i = 0; i + 1 < part.size(); ++i)
        if (part[i] == ".TP") found.push_back(shown(part[i + 1]));
    std::sort(found.begin(), found.end());
    return found;
}

// ---- options ----

using option = std::pair<std::string, std::string>; // "--trace", "FILE"; "--timeline", ""

bool is_option(const std::string &word) {
    return word.size() >= 2 && word[0] == '-' && word != "--" &&
           std::isalpha(static_cast<unsigned char>(word.back())) != 0;
}

bool is_value_name(const std::string &word) {
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) { return std::isupper(c); });
}

// The options that a text names, each with the value name that follows it, if one does. Brackets,
// bars and commas stand apart from the words; "--" alone ends the options.
std::vector<option> options_in(const std::string &text) {
    std::string spaced;
    for (const char c : text)
        spaced += std::string_view{"[]|,"}.find(c) != std::string_view::npos ? std::string{' ', c, ' '}
                                                                             : std::string{c};
    lines words;
    for (std::size_t at = 0; (at = spaced.find_first_not_of(" \t\n", at)) != std::string::npos;) {
        const std::size_t end = std::min(spaced.find_first_of(" \t\n", at), spaced.size());
        words.push_back(spaced.substr(at, end - at));
        at = end;
    }
    std::vector<option> found;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (!is_option(words[i])) continue;
        const bool valued = i + 1 < words.size() && is_value_name(words[i + 1]);
        found.emplace_back(words[i], valued ? words[i + 1] : "");
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The options the runner's usage lists, one line each after its synopsis ("  --trace FILE   write ...",
// "  -h, --help   this text").
std::vector<option> usage_options(const std::string &usage) {
    std::string listed;
    for (const std::string &line : split_lines(usage)) {
        if (!line.starts_with("  -")) continue;
        // The option and its value come before the description, which starts with a lower-case word.
        std::string head;
        for (std::size_t at = 0; at < line.size();) {
            at = line.find_first_not_of(' ', at);
            if (at == std::string::npos) break;
            const std::size_t end = std::min(line.find(' ', at), line.size());
            const std::string word = line.substr(at, end - at);
            std::string bare = word;
            if (bare.ends_with(',')) bare.pop_back();
            if (!is_option(bare) && !is_value_name(word)) break;
            head += word + " ";
            at = end;
        }
        listed += head + "\n";
    }
    return options_in(listed);
}

std::string runner_usage() {
    const testsupport::run_result r = testsupport::run_program({testsupport::bin_path("boardsim"), "--help"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

// ---- the README's key tables ----

// The first cell of each row of every table whose first column is "Key", without its backquotes.
lines readme_keys(const std::string &readme) {
    lines found;
    bool in_table = false;
    for (const std::string &line : split_lines(readme)) {
        if (line.starts_with("| Key |")) {
            in_table = true;
            continue;
        }
        if (!line.starts_with('|')) {
            in_table = false;
            continue;
        }
        if (!in_table || line.starts_with("|---")) continue;
        std::string cell = line.substr(1, line.find('|', 1) - 1);
        cell.erase(0, cell.find_first_not_of(' '));
        cell.erase(cell.find_last_not_of(' ') + 1);
        if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`')
            cell = cell.substr(1, cell.size() - 2);
        found.push_back(cell);
    }
    std::sort(found.begin(), found.end());
    return found;
}

lines settings() {
    lines names = boardsim::detail::scenario_settings();
    std::sort(names.begin(), names.end());
    return names;
}

// ---- the pieces, each on a sample whose reading is known ----

TEST(documentation_reading, roff_lines_show_as_a_reader_sees_them) {
    struct sample {
        std::string line;
        std::string text;
    };
    for (const sample &s : {
             sample{".BI chain \" N \" inserted", "chain N inserted"},
             sample{".B fail\\-op", "fail-op"},
             sample{".B run time\\-limit", "run time-limit"},
             sample{".BR \\-h \", \" \\-\\-help", "-h, --help"},
             sample{".RB [ \\-\\-fail\\-op", "[--fail-op"},
             sample{".IR FILE \" |\"", "FILE |"},
             sample{"a \\fBbold\\fR word, \\(dqquoted\\(dq\\&", "a bold word, \"quoted\""},
         }) {
        EXPECT_EQ(shown(s.line), s.text) << s.line;
    }
}

TEST(documentation_reading, options_are_read_with_their_value_names) {
    EXPECT_EQ(options_in("[--scenario FILE | --record FILE] [--timeline] -- program [argument ...]\n"
                         "-h | --help | --version"),
              (std::vector<option>{{"--help", ""},
                                   {"--record", "FILE"},
                                   {"--scenario", "FILE"},
                                   {"--timeline", ""},
                                   {"--version", ""},
                                   {"-h", ""}}));
    EXPECT_EQ(usage_options("usage: boardsim [--trace FILE]\n"
                            "Runs PROGRAM on the simulated board\n"
                            "  --trace FILE      write the trace of every board operation to FILE\n"
                            "  --timeline        draw the run's GPIO levels\n"
                            "  -h, --help        this text\n"),
              (std::vector<option>{{"--help", ""}, {"--timeline", ""}, {"--trace", "FILE"}, {"-h", ""}}));
}

TEST(documentation_reading, the_readme_key_tables_are_read_by_their_first_column) {
    EXPECT_EQ(readme_keys("| Key | Values | Meaning |\n"
                          "|---|---|---|\n"
                          "| `chain N type` | 0 to 15 | the type |\n"
                          "| `fail-op` | count | an operation |\n"
                          "\n"
                          "| Option | Meaning |\n"
                          "|---|---|\n"
                          "| `--trace FILE` | the trace |\n"),
              (lines{"chain N type", "fail-op"}));
}

// ---- the documents ----

TEST(documentation, the_scenario_page_documents_every_setting_and_no_other) {
    const std::string page = read_file(source_file("man/boardsim-scenario.5"));
    EXPECT_EQ(tags(section(page, "SETTINGS")), settings());
}

TEST(documentation, the_readme_key_tables_document_every_setting_and_no_other) {
    EXPECT_EQ(readme_keys(read_file(source_file("boardsim/README.md"))), settings());
}

TEST(documentation, the_runner_page_gives_every_option_of_the_usage_and_no_other) {
    const std::vector<option> usage = usage_options(runner_usage());
    ASSERT_GE(usage.size(), 10u) << "the usage's options were not found";
    const std::string page = read_file(source_file("man/boardsim.1"));
    std::string synopsis;
    for (const std::string &line : section(page, "SYNOPSIS"))
        synopsis += shown(line) + "\n";
    EXPECT_EQ(options_in(synopsis), usage) << "SYNOPSIS";
    std::string listed;
    for (const std::string &tag : tags(section(page, "OPTIONS")))
        listed += tag + "\n";
    EXPECT_EQ(options_in(listed), usage) << "OPTIONS";
}

} // namespace
