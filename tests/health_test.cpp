#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/health.h"
#include "tests/support/failures.h"
#include "tests/support/loopback_server.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

namespace {

const std::string HEALTHY = R"({"service":"quellmark-controller","version":"0.2.61","status":"ok"})";

// Wine waits for response headers without the receive time-out that Windows applies; the shim
// puts it back (tests/shim/README.md), so every probe here runs with the shim loaded.
class Health : public ShimUnloaded {
protected:
    void SetUp() override { loadShim(plan()); }
    virtual std::string plan() const { return "record WinHttpOpen args=ws,d\n"; }

    static bool probe(const std::string& response, unsigned delayMs = 0)
    {
        LoopbackServer server(response, delayMs);
        const bool healthy = health(server.port);
        EXPECT_EQ(server.requests, 1) << "one probe is one request";
        return healthy;
    }
};

class HealthWait : public Health {
protected:
    std::string plan() const override { return "fast Sleep\n"; }

    static std::string waitFailure(unsigned port)
    {
        const std::string text = failureText([port] { waitHealthy(port); });
        return text == "(no failure)" ? "(healthy)" : text;
    }

    // The test's own server sleeps too (for 0 ms); the probe loop's pauses are the 1000 ms ones.
    static size_t pauses()
    {
        size_t count = 0;
        for (const ShimRecord& pause : readShimRecords("Sleep"))
            count += pause["ms"] == "1000" ? 1 : 0;
        return count;
    }
};

std::vector<std::string> unhealthyThenHealthy(size_t unhealthy)
{
    std::vector<std::string> responses(unhealthy, httpResponse(503, "starting"));
    responses.push_back(httpResponse(200, HEALTHY));
    return responses;
}

} // namespace

TEST_F(Health, AcceptsBothMarkersInAnyOrderAndFormat)
{
    EXPECT_TRUE(probe(httpResponse(200, HEALTHY)));
    EXPECT_TRUE(probe(httpResponse(200, "0.2.61 is the version of quellmark-controller")));
    EXPECT_TRUE(probe(httpResponse(200, "quellmark-controller 0.2.610"))) << "a plain substring test";
}

TEST_F(Health, AsksTheHealthPathOfTheLoopbackAddressDirectly)
{
    LoopbackServer server(httpResponse(200, HEALTHY));
    EXPECT_TRUE(health(server.port));
    EXPECT_THAT(server.received(),
                testing::ElementsAre(testing::AllOf(
                    testing::StartsWith("GET /api/v1/health HTTP/1.1\r\n"),
                    testing::HasSubstr("\r\nUser-Agent: QuellmarkSetup/0.2.61\r\n"),
                    testing::HasSubstr("\r\nHost: 127.0.0.1:" + std::to_string(server.port) + "\r\n"))));
    // With no proxy configured a proxy-aware session goes direct too; the shim shows what was asked.
    EXPECT_THAT(recordedFields("WinHttpOpen", {"arg2"}), testing::ElementsAre("arg2=1")) << "WINHTTP_ACCESS_TYPE_NO_PROXY";
}

TEST_F(Health, RefusesAnyOtherAnswer)
{
    EXPECT_FALSE(probe(httpResponse(200, R"({"service":"quellmark-controller","version":"0.2.60"})")));
    EXPECT_FALSE(probe(httpResponse(200, R"({"service":"Quellmark-Controller","version":"0.2.61"})")));
    EXPECT_FALSE(probe(httpResponse(200, "")));
    EXPECT_FALSE(probe(httpResponse(404, HEALTHY)));
    EXPECT_FALSE(probe(httpResponse(503, HEALTHY)));
    EXPECT_FALSE(probe(httpResponse(201, HEALTHY))) << "200 exactly";
}

TEST_F(Health, ReadsNoMoreThanTheBodyLimit)
{
    // Within the first 16384 bytes the markers count; beyond 20479 they are never read. Wine's
    // WinHTTP fills each 4096-byte read while the body lasts, so the reads end at 16384 exactly.
    EXPECT_TRUE(probe(httpResponse(200, std::string(16384 - HEALTHY.size(), ' ') + HEALTHY)));
    EXPECT_FALSE(probe(httpResponse(200, std::string(16384, ' ') + HEALTHY)));
    EXPECT_FALSE(probe(httpResponse(200, std::string(20480, ' ') + HEALTHY)));
    EXPECT_FALSE(probe(httpResponse(200, std::string(1 << 20, 'x') + HEALTHY)));
}

TEST_F(Health, GivesUpOnSilenceAndRefusal)
{
    EXPECT_FALSE(probe(httpResponse(200, HEALTHY), 2500)) << "slower than the 1 s time-outs";
    {
        LoopbackServer silent(httpResponse(200, HEALTHY), 0, false);
        EXPECT_FALSE(health(silent.port));
    }
    EXPECT_FALSE(health(unusedLoopbackPort())) << "connection refused";
    const auto timeouts = readShimRecords("WinHttpSetTimeouts");
    ASSERT_FALSE(timeouts.empty());
    EXPECT_EQ(timeouts[0]["receive"], "1000");
    EXPECT_EQ(timeouts[0]["connect"], "1000");
}

TEST_F(HealthWait, EndsAtTheFirstHealthyAnswer)
{
    LoopbackServer server(unhealthyThenHealthy(6));
    EXPECT_EQ(waitFailure(server.port), "(healthy)");
    EXPECT_EQ(server.requests, 7);
    EXPECT_EQ(pauses(), 6u) << "a pause after each unsuccessful probe only";
}

TEST_F(HealthWait, AcceptsHealthOnTheThirtiethAttempt)
{
    LoopbackServer server(unhealthyThenHealthy(29));
    EXPECT_EQ(waitFailure(server.port), "(healthy)");
    EXPECT_EQ(server.requests, 30);
}

TEST_F(HealthWait, GivesUpAfterThirtyAttemptsAndThirtyPauses)
{
    LoopbackServer server(unhealthyThenHealthy(30));
    EXPECT_EQ(waitFailure(server.port),
              "Console did not become healthy. See ProgramData\\Vostrel\\Quellmark Console\\logs\\console.log.");
    EXPECT_EQ(server.requests, 30) << "the healthy 31st answer is never asked for";
    EXPECT_EQ(pauses(), 30u) << "the 30th unsuccessful probe is followed by its pause, too";
}
