#include <gtest/gtest.h>

#include <string>

#include "engine/health.h"
#include "tests/support/loopback_server.h"

namespace {

const std::string HEALTHY = R"({"service":"quellmark-controller","version":"0.2.61","status":"ok"})";

bool probe(const std::string& response, unsigned delayMs = 0)
{
    LoopbackServer server(response, delayMs);
    const bool healthy = health(server.port);
    EXPECT_EQ(server.requests, 1) << "one probe is one request";
    return healthy;
}

} // namespace

TEST(Health, AcceptsBothMarkersInAnyOrderAndFormat)
{
    EXPECT_TRUE(probe(httpResponse(200, HEALTHY)));
    EXPECT_TRUE(probe(httpResponse(200, "0.2.61 is the version of quellmark-controller")));
    EXPECT_TRUE(probe(httpResponse(200, "quellmark-controller 0.2.610"))) << "a plain substring test";
}

TEST(Health, RefusesAnyOtherAnswer)
{
    EXPECT_FALSE(probe(httpResponse(200, R"({"service":"quellmark-controller","version":"0.2.60"})")));
    EXPECT_FALSE(probe(httpResponse(200, R"({"service":"Quellmark-Controller","version":"0.2.61"})")));
    EXPECT_FALSE(probe(httpResponse(200, "")));
    EXPECT_FALSE(probe(httpResponse(404, HEALTHY)));
    EXPECT_FALSE(probe(httpResponse(503, HEALTHY)));
    EXPECT_FALSE(probe(httpResponse(201, HEALTHY))) << "200 exactly";
}

TEST(Health, ReadsNoMoreThanTheBodyLimit)
{
    // Within the first 16384 bytes the markers count; beyond 20479 they are never read.
    EXPECT_TRUE(probe(httpResponse(200, std::string(16000, ' ') + HEALTHY)));
    EXPECT_FALSE(probe(httpResponse(200, std::string(20480, ' ') + HEALTHY)));
    EXPECT_FALSE(probe(httpResponse(200, std::string(1 << 20, 'x') + HEALTHY)));
}

TEST(Health, GivesUpOnSilenceAndRefusal)
{
    EXPECT_FALSE(probe(httpResponse(200, HEALTHY), 2500)) << "slower than the 1 s time-outs";
    {
        LoopbackServer silent(httpResponse(200, HEALTHY), 0, false);
        EXPECT_FALSE(health(silent.port));
    }
    EXPECT_FALSE(health(unusedLoopbackPort())) << "connection refused";
}
