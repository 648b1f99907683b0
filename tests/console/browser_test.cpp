// The console in a real browser: trevane-broker runs the demonstration flow with --http,
// and headless Chromium loads its page before and after messages pass. The page must
// hold the flow's picture with every node's name, and its own script must bring the
// counters up to date (the picture itself is drawn once, with zeros). The screenshot is
// kept in the build tree (test-artifacts/console.png).
#include <gtest/gtest.h>

#include "tests/runtime/helpers.h"

namespace {

using rttest::Process;

constexpr const char *BROKER = BROKER_PATH;

std::string findChromium() {
    for (const char *candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

// The text of the figure whose SVG group has id "a_<id>".
std::string figure(const std::string &dom, const std::string &id) {
    size_t at = dom.find("id=\"a_" + id + "\"");
    size_t text = at == std::string::npos ? at : dom.find("<text", at);
    size_t start = text == std::string::npos ? text : dom.find('>', text);
    size_t end = start == std::string::npos ? start : dom.find("</text>", start);
    return end == std::string::npos ? "(no figure " + id + ")"
                                    : dom.substr(start + 1, end - start - 1);
}

class Browser : public ::testing::Test {
protected:
    void SetUp() override {
        chromium = findChromium();
        ASSERT_FALSE(chromium.empty())
            << "Debian's chromium is needed for this test: run scripts/install-deps.sh";
        ASSERT_FALSE(dir.path().empty());
        ::setenv("RT_TEST_DIR", dir.path().c_str(), 1);
        qm = std::make_unique<rttest::QueueManager>("QMB", dir.file("mq"));
        qm->define("I.Q");
        qm->define("OUT.Q");
        rttest::writeFile(dir.file("flow.yaml"), rttest::demoFlowText("QMB", 0));
    }

    // Runs Chromium on the page with a fresh profile; its own output goes to files.
    std::string run(const std::vector<std::string> &what, const std::string &tag) {
        std::vector<std::string> argv = {chromium,
                                         "--headless",
                                         "--no-sandbox",
                                         "--disable-gpu",
                                         "--disable-quic",
                                         "--no-first-run",
                                         "--disable-background-networking",
                                         "--disable-component-update",
                                         "--disable-sync",
                                         "--disable-dev-shm-usage",
                                         "--hide-scrollbars",
                                         "--user-data-dir=" + dir.file("profile-" + tag),
                                         "--window-size=1280,760",
                                         "--virtual-time-budget=4000"};
        argv.insert(argv.end(), what.begin(), what.end());
        argv.push_back(url);
        Process browser(argv, dir.file(tag + ".out"), dir.file(tag + ".err"));
        int status = browser.wait(std::chrono::seconds(60));
        EXPECT_EQ(rttest::exitCode(status), 0) << tag << ":\n" << browser.err();
        return browser.out();
    }

    std::string chromium;
    std::string url;
    rttest::TempDir dir;
    std::unique_ptr<rttest::QueueManager> qm;
};

TEST_F(Browser, PageShowsTheFlowAndItsCountersFollowTheMessages) {
    const std::string ready = dir.file("ready");
    Process broker({BROKER, "--plugin-path", PLUGIN_DIR, "--ready-file", ready, "--log",
                    dir.file("broker.log"), "--http", "127.0.0.1:0", dir.file("flow.yaml")},
                   dir.file("broker.out"), dir.file("broker.err"));
    ASSERT_TRUE(rttest::waitFor([&] { return ::access(ready.c_str(), F_OK) == 0; }))
        << broker.err();
    const std::string log = rttest::readFile(dir.file("broker.log"));
    const std::string marker = "is at http://127.0.0.1:";
    size_t at = log.find(marker);
    ASSERT_NE(at, std::string::npos) << log;
    size_t end = log.find('/', at + marker.size());
    ASSERT_NE(end, std::string::npos) << log;
    url = log.substr(at + 6, end + 1 - (at + 6));
    ASSERT_EQ(url.find_first_not_of("http:/.0123456789"), std::string::npos) << url;

    const std::string before = run({"--dump-dom"}, "before");
    ASSERT_NE(before.find("<svg"), std::string::npos) << before.substr(0, 2000);
    for (const char *node : {"In", "Db", "Code", "Out"}) {
        EXPECT_NE(before.find(std::string("<title>") + node + "</title>"), std::string::npos)
            << node;
    }
    EXPECT_EQ(figure(before, "n0_in"), "0");
    EXPECT_NE(before.find("ok: flow 'flow' is deployed"), std::string::npos)
        << "the page's script did not fetch the figures";

    constexpr int MESSAGES = 3;
    qm->put("I.Q", std::vector<std::string>(MESSAGES, "<outer><tag1>data1</tag1></outer>"));
    ASSERT_TRUE(rttest::waitFor([&] { return qm->depth("OUT.Q") == MESSAGES; })) << broker.err();

    const std::string artifacts = std::string(BUILD_DIR) + "/test-artifacts";
    ::mkdir(artifacts.c_str(), 0755);
    const std::string screenshot = artifacts + "/console.png";
    std::remove(screenshot.c_str());
    run({"--screenshot=" + screenshot}, "screenshot");
    const std::string png = rttest::readFile(screenshot);
    EXPECT_GT(png.size(), 10000u) << screenshot;
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << screenshot;

    const std::string after = run({"--dump-dom"}, "after");
    const std::string m = std::to_string(MESSAGES);
    EXPECT_EQ(figure(after, "n0_in"), m) << "In: messages taken";
    EXPECT_EQ(figure(after, "n0_t0"), m) << "In.out";
    EXPECT_EQ(figure(after, "n1_in"), m) << "Db: messages in";
    EXPECT_EQ(figure(after, "n1_t1"), m) << "Db.failure";
    EXPECT_EQ(figure(after, "n2_t0"), m) << "Code.out";
    EXPECT_EQ(figure(after, "n3_in"), m) << "Out: messages in";
    EXPECT_EQ(figure(after, "q1_depth"), m) << "OUT.Q depth";
    EXPECT_EQ(figure(after, "q0_depth"), "0") << "I.Q depth";

    broker.signal(SIGTERM);
    EXPECT_EQ(rttest::exitCode(broker.wait(std::chrono::seconds(20))), 0) << broker.err();
}

TEST(BrokerConsoleOption, WrongAddressesAreRefusedBeforeAnythingRuns) {
    rttest::TempDir dir;
    const std::pair<const char *, const char *> cases[] = {
        {"99999", "trevane-broker: --http: '99999' is not [ADDRESS:]PORT"},
        {"::1:80", "write an IPv6 address in brackets"},
    };
    for (const auto &[address, message] : cases) {
        Process broker({BROKER, "--http", address, "flow.yaml"}, dir.file("out"), dir.file("err"));
        EXPECT_EQ(rttest::exitCode(broker.wait()), 2) << address;
        EXPECT_NE(broker.err().find(message), std::string::npos) << broker.err();
    }
}

} // namespace
