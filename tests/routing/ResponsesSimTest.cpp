#include "RoutingTestSupport.h"

namespace kestrabo::test {
namespace {

// The stand-in itself is exercised by every service test; this only guards its scenario checks.
TEST(ResponsesSimScenario, RejectsUnusableScenarios)
{
    for (const char* text : {R"({"replies":{}})", R"({"reply":[]})", R"({"replies":[{"status":99}]})",
                             R"({"replies":[{"body":"a","json":{}}]})", R"({"replies":[{"colour":"red"}]})",
                             R"({"replies":[{"cutAfter":1,"stallAfter":1}]})"})
        EXPECT_FALSE(sim::ResponsesSim::validateScenario(json(text)).isEmpty()) << text;
    sim::ResponsesSim unusable(json(R"({"replies":[{"delayMs":-1}]})"));
    EXPECT_TRUE(unusable.start() == 0 && !unusable.errorString().isEmpty());
}

} // namespace
} // namespace kestrabo::test
