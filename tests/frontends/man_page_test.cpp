// The manual pages against what the programs print themselves: every option
// and exit status of `FirmwareUpgrade --help` is an entry of FirmwareUpgrade.1
// (FirmwareUpgrade-cli's page points there) and the other way round, and
// every command fwpkg lists is in fwpkg.1, so that neither can drift.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace fwu::test {
namespace {

using Names = std::set<std::string>;

// A troff line as it reads: escaped minus signs as hyphens, font changes gone.
std::string Plain(std::string line) {
    line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
    return std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
}

// The tags of the .TP entries in section `name` of a page, as they read
// without their font macro (".BI \-\-wait " SECONDS"" is "--wait " SECONDS"").
std::vector<std::string> Tags(const std::string& page, const std::string& name) {
    std::vector<std::string> tags;
    std::istringstream lines(page);
    bool inside = false;
    bool tag = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(".SH ")) {
            inside = line.substr(4) == name;
            continue;
        }
        if (inside && tag)
            tags.push_back(std::regex_replace(Plain(line), std::regex(R"(^\.\w+ )"), ""));
        tag = inside && line == ".TP";
    }
    return tags;
}

// Every long option a text names.
Names LongOptions(const std::string& text) {
    Names names;
    const std::regex option(R"(--[a-z][a-z0-9-]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it)
        names.insert(it->str());
    return names;
}

// The numbers that begin the entries of the "Exit status:" list of --help.
Names HelpStatuses(const std::string& help) {
    Names statuses;
    std::istringstream lines(help.substr(help.find("\nExit status:\n")));
    std::smatch match;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, match, std::regex(R"(  (\d+)  .*)"))) statuses.insert(match[1]);
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
    Names commands;
    const std::regex command(R"(fwpkg ([a-z][a-z-]*))");
    for (auto it = std::sregex_iterator(usage.output.begin(), usage.output.end(), command);
         it != std::sregex_iterator(); ++it)
        commands.insert((*it)[1]);
    EXPECT_GE(commands.size(), 5u) << usage.output;

    const std::string page = Page("fwpkg.1");
    const std::vector<std::string> tags = Tags(page, "DESCRIPTION");
    EXPECT_EQ(Names(tags.begin(), tags.end()), commands);
    const std::string synopsis = Plain(page.substr(0, page.find(".SH DESCRIPTION")));
    for (const std::string& name : commands)
        EXPECT_NE(synopsis.find(".B fwpkg " + name + "\n"), std::string::npos) << name;
}

}  // namespace
}  // namespace fwu::test
