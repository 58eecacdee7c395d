#include "soak/SoakConversation.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace kestrabo::test;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

constexpr int kWarmUpMs = 20'000;
constexpr int kMeasuredMs = 40'000;
constexpr long long kAllowedGrowthKiB = 2 * 1024;

} // namespace

// A minute of conversation: after the warm-up (allocator arenas of the audio and encoding
// threads, Qt's caches, the first task) resident memory stays within 2 MiB and no descriptor
// is added. bench/soak.cpp runs the same conversation for 10 minutes.
TEST(Soak, AMinuteOfConversationKeepsMemoryAndDescriptorsFlat)
{
    if (kAddressSanitizer)
        GTEST_SKIP() << "AddressSanitizer keeps freed blocks in its quarantine (up to 256 MB) and grows its "
                        "shadow memory, so resident memory rises for minutes with or without a leak; leaks are "
                        "LeakSanitizer's part in this build.";
    SoakConversation soak;
    const SoakSample start = SoakSample::now();
    ASSERT_EQ(soak.start(), QString());
    spin(kWarmUpMs);
    ASSERT_EQ(soak.problem(), QString());
    const SoakSample warm = SoakSample::now();
    const SoakConversation::Traffic before = soak.traffic();
    spin(kMeasuredMs);
    const SoakSample end = SoakSample::now();
    const SoakConversation::Traffic after = soak.traffic();
    std::cout << "resident KiB: start " << start.residentKiB << ", after warm-up " << warm.residentKiB << ", end "
              << end.residentKiB << "; descriptors " << warm.descriptors << " -> " << end.descriptors << "; threads "
              << warm.threads << " -> " << end.threads << "; measured: " << after.microphoneAppends - before.microphoneAppends
              << " microphone appends, " << after.answers - before.answers << " answers, "
              << after.requests - before.requests << " Responses requests, " << after.speaking - before.speaking
              << " times speaking, " << after.taskUpdates - before.taskUpdates << " task updates\n";

    EXPECT_EQ(soak.problem(), QString());
    // Traffic kept flowing both ways the whole time.
    EXPECT_GT(after.microphoneAppends - before.microphoneAppends, kMeasuredMs / 1000 * 10);
    EXPECT_GT(after.answers - before.answers, 5);
    EXPECT_GT(after.speaking - before.speaking, 5);
    EXPECT_GT(after.taskUpdates - before.taskUpdates, 50);
    EXPECT_LE(end.residentKiB - warm.residentKiB, kAllowedGrowthKiB);
    // A request in flight may hold a second connection for a moment.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == warm.descriptors; }))
        << openDescriptors() << " open, " << warm.descriptors << " after the warm-up";
}
