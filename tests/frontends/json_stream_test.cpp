// FirmwareUpgrade-cli --json as a bench script reads it: every line of
// standard output a JSON object, the events in the order of the run, the
// result last, also when the run never starts. (A replay that differs or
// stops short: tests/trace.)
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace fwu::test {
namespace {

using nlohmann::json;

struct JsonRun {
    int status = -1;
    std::vector<json> events;
    std::string bad;  // the first line that is not a JSON object
};

JsonRun RunJson(const std::string& args) {
    const ProcessOutcome outcome = RunProcess("'" FWU_CLI "' --json " + args + " 2>/dev/null");
    JsonRun run;
    run.status = outcome.status;
    std::istringstream lines(outcome.output);
    for (std::string line; std::getline(lines, line);) {
        json event = json::parse(line, nullptr, false);
        if (!event.is_object() || !event.contains("event") || !event["event"].is_string()) {
            if (run.bad.empty()) run.bad = line;
            continue;
        }
        run.events.push_back(std::move(event));
    }
    return run;
}

// Index of the first event named `name` (with `key` equal to `value` when
// given), or -1.
int Find(const JsonRun& run, const std::string& name, const std::string& key = "",
         const std::string& value = "") {
    for (std::size_t i = 0; i < run.events.size(); ++i) {
        const json& e = run.events[i];
        if (e["event"] != name) continue;
        if (!key.empty() && (!e.contains(key) || e[key] != value)) continue;
        return static_cast<int>(i);
    }
    return -1;
}

TEST(JsonStream, WholeSimulatedRunInOrderWithTheResultLast) {
    const JsonRun run = RunJson("--simulate --simulate-fast --update");
    ASSERT_EQ(run.status, 0);
    EXPECT_TRUE(run.bad.empty()) << run.bad;
    ASSERT_FALSE(run.events.empty());

    const int package = Find(run, "label", "label", "package_version");
    const int device = Find(run, "label", "label", "device");
    const int press = Find(run, "notice", "text", "Pressing Update.");
    const int ok = Find(run, "message_box", "caption", "Update OK");
    ASSERT_GE(package, 0);
    ASSERT_GE(device, 0);
    EXPECT_LT(package, press);
    EXPECT_LT(device, press);
    ASSERT_GE(ok, 0);
    EXPECT_NE(run.events[ok]["text"].get<std::string>().find("Update and Verify OK!"),
              std::string::npos);

    // The progress climbs inside its range between the press and the box.
    int last = -1;
    int progress = 0;
    for (std::size_t i = 0; i < run.events.size(); ++i) {
        const json& e = run.events[i];
        if (e["event"] != "progress") continue;
        ++progress;
        EXPECT_GT(static_cast<int>(i), press);
        EXPECT_LT(static_cast<int>(i), ok);
        EXPECT_GE(e["pos"].get<int>(), e["lower"].get<int>());
        EXPECT_LE(e["pos"].get<int>(), e["upper"].get<int>());
        EXPECT_GT(e["percent"].get<int>(), last);
        last = e["percent"].get<int>();
    }
    EXPECT_GT(progress, 0);
    EXPECT_EQ(last, 100);

    const json& result = run.events.back();
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["status"], 0);
    EXPECT_EQ(result["outcome"], "updated");
    EXPECT_EQ(Find(run, "result"), static_cast<int>(run.events.size()) - 1);

    // A failed run ends the same way: its error box, then the result.
    const JsonRun failed = RunJson("--simulate-fast --simulate-fault=write-fail@40 --update");
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(failed.bad.empty()) << failed.bad;
    ASSERT_GE(failed.events.size(), 2u);
    EXPECT_EQ(failed.events[failed.events.size() - 2]["caption"], "Error");
    EXPECT_EQ(failed.events.back()["outcome"], "failed");
}

TEST(JsonStream, ARunThatEndsBeforeItStartsEndsWithTheResultToo) {
    // A command line not understood, a simulated controller that cannot be
    // made, a trace that cannot be read: why, then the result.
    for (const char* args :
         {"--wait=never", "--simulate-fault=melt", "--replay /nonexistent/run.jsonl"}) {
        SCOPED_TRACE(args);
        const JsonRun run = RunJson(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.bad.empty()) << run.bad;
        ASSERT_EQ(run.events.size(), 2u);
        EXPECT_EQ(run.events[0]["event"], "notice");
        EXPECT_EQ(run.events[1],
                  json::parse(R"({"event":"result","status":1,"outcome":"failed"})"));
    }
}

TEST(JsonStream, StationNamesThePortOfEveryRunsEventAndCountsLast) {
    const JsonRun run =
        RunJson("--station --simulate-count=2 --simulate-unit=1:current --simulate-fast --count 2");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.bad.empty()) << run.bad;
    ASSERT_FALSE(run.events.empty());
    std::map<std::string, std::string> outcomes;  // each run's result, by port
    std::map<std::string, int> events;
    for (std::size_t i = 0; i + 1 < run.events.size(); ++i) {
        const json& e = run.events[i];
        if (!e.contains("port")) {
            // The station's own: the product, the package's version, notices.
            EXPECT_TRUE(e["event"] == "title" || e["event"] == "label" || e["event"] == "notice")
                << e.dump();
            continue;
        }
        ++events[e["port"]];
        if (e["event"] == "result") outcomes[e["port"]] = e["outcome"];
    }
    EXPECT_EQ(outcomes,
              (std::map<std::string, std::string>{{"sim0", "updated"}, {"sim1", "refused"}}));
    EXPECT_GT(events["sim0"], 100);  // its progress too
    const json& last = run.events.back();
    EXPECT_EQ(last, json::parse(R"({"event":"result","status":0,"outcome":"updated","updated":1,
                                  "current":1,"failed":0,"unconfirmed":0,"skipped":0})"));
}

}  // namespace
}  // namespace fwu::test
