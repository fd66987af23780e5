// The manual pages against what the programs print themselves: every option
// and exit status of `FirmwareUpgrade --help` is an entry of FirmwareUpgrade.1
// (FirmwareUpgrade-cli's page points there) and the other way round, and
// every command fwpkg lists is in fwpkg.1, so that neither can drift.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace fwu::test {
namespace {

using Names = std::set<std::string>;

bool NameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Every name in `text` that begins with `prefix` ("--" for the long options,
// "fwpkg " for its commands), kept from `from` on (0: with the prefix).
Names Find(const std::string& text, const std::string& prefix, std::size_t from) {
    Names names;
    for (std::size_t at = text.find(prefix); at != std::string::npos;
         at = text.find(prefix, at + 1)) {
        std::size_t end = at + prefix.size();
        if (end >= text.size() || text[end] < 'a' || text[end] > 'z') continue;
        while (end < text.size() && NameChar(text[end])) ++end;
        names.insert(text.substr(at + from, end - at - from));
    }
    return names;
}

Names LongOptions(const std::string& text) {
    return Find(text, "--", 0);
}

// A troff line as it reads: escaped minus signs as hyphens, font changes
// gone, a leading font macro dropped.
std::string Plain(std::string line) {
    std::string plain;
    for (std::size_t at = 0; at < line.size();) {
        if (line.compare(at, 2, "\\-") == 0) {
            plain += '-';
            at += 2;
        } else if (line.compare(at, 2, "\\f") == 0 && at + 2 < line.size() &&
                   std::string_view("BIRP").find(line[at + 2]) != std::string_view::npos) {
            at += 3;
        } else {
            plain += line[at++];
        }
    }
    line = std::move(plain);
    if (line.starts_with(".") && line.find(' ') != std::string::npos)
        line.erase(0, line.find(' ') + 1);
    return line;
}

// The tags of the .TP entries in section `name` of a page.
std::vector<std::string> Tags(const std::string& page, const std::string& name) {
    std::vector<std::string> tags;
    std::istringstream lines(page);
    bool inside = false;
    bool tag = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(".SH ")) inside = line.substr(4) == name;
        if (inside && tag) tags.push_back(Plain(line));
        tag = inside && line == ".TP";
    }
    return tags;
}

// The numbers that begin the entries of the "Exit status:" list of --help.
Names HelpStatuses(const std::string& help) {
    Names statuses;
    std::istringstream lines(help.substr(help.find("\nExit status:\n")));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t digits = line.find_first_not_of("0123456789", 2);
        if (line.starts_with("  ") && digits > 2 && digits != std::string::npos &&
            line.compare(digits, 2, "  ") == 0)
            statuses.insert(line.substr(2, digits - 2));
    }
    return statuses;
}

std::string Page(const char* name) {
    return ReadFileText(std::string(FWU_MAN_DIR "/") + name);
}

TEST(ManPages, FirmwareUpgradeListsEveryOptionAndExitStatusOfItsHelp) {
    const ProcessOutcome help = RunProcess("'" FWU_EXE "' --help");
    ASSERT_EQ(help.status, 0);
    const std::string page = Page("FirmwareUpgrade.1");
    ASSERT_FALSE(page.empty());

    Names options;
    for (const std::string& tag : Tags(page, "OPTIONS")) {
        const Names named = LongOptions(tag);
        EXPECT_EQ(named.size(), 1u) << tag;
        options.insert(named.begin(), named.end());
    }
    EXPECT_EQ(options, LongOptions(help.output));

    Names statuses;
    for (const std::string& tag : Tags(page, "EXIT STATUS")) statuses.insert(tag);
    const Names helpStatuses = HelpStatuses(help.output);
    EXPECT_GE(helpStatuses.size(), 5u) << help.output;
    EXPECT_EQ(statuses, helpStatuses);
}

TEST(ManPages, FwpkgListsEveryCommandItKnows) {
    const ProcessOutcome usage = RunProcess("'" FWU_FWPKG "' 2>&1");
    ASSERT_EQ(usage.status, 2) << usage.output;
    const Names commands = Find(usage.output, "fwpkg ", 6);
    EXPECT_GE(commands.size(), 5u) << usage.output;

    const std::string page = Page("fwpkg.1");
    const std::vector<std::string> tags = Tags(page, "DESCRIPTION");
    EXPECT_EQ(Names(tags.begin(), tags.end()), commands);
    std::istringstream lines(page.substr(0, page.find(".SH DESCRIPTION")));
    Names synopsisCommands;
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(".B fwpkg ")) synopsisCommands.insert(Plain(line).substr(6));
    EXPECT_EQ(synopsisCommands, commands);
}

}  // namespace
}  // namespace fwu::test
