#include "soak/SoakConversation.h"

#include <gtest/gtest.h>

#include <iostream>

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes(); // the sanitizer's own interface
#endif

using namespace kestrabo::test;

namespace {

constexpr int kWarmUpMs = 20'000;
constexpr int kMeasuredMs = 40'000;
constexpr long long kAllowedGrowthKiB = 2 * 1024;

// What the growth is judged on. Under AddressSanitizer resident memory is the sanitizer's: freed
// blocks wait in its quarantine (256 MB) and every new allocation stack is kept, so it climbs for
// minutes with or without a leak; there the heap the program holds is measured instead.
long long judgedKiB(const SoakSample& sample)
{
#if defined(__SANITIZE_ADDRESS__)
    (void)sample;
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    return sample.residentKiB;
#endif
}

} // namespace

// A minute of conversation: after the warm-up (allocator arenas of the audio and encoding
// threads, Qt's caches, the first task) resident memory grows 2 MiB at most and no descriptor
// is added. bench/soak.cpp runs the same conversation for 10 minutes.
TEST(Soak, AMinuteOfConversationKeepsMemoryAndDescriptorsFlat)
{
    SoakConversation soak;
    const SoakSample start = SoakSample::now();
    ASSERT_EQ(soak.start(), QString());
    spin(kWarmUpMs);
    ASSERT_EQ(soak.problem(), QString());
    const SoakSample warm = SoakSample::now();
    const long long warmJudged = judgedKiB(warm);
    const SoakConversation::Traffic before = soak.traffic();
    spin(kMeasuredMs);
    const SoakSample end = SoakSample::now();
    const long long endJudged = judgedKiB(end);
    const SoakConversation::Traffic after = soak.traffic();
    std::cout << "resident KiB: start " << start.residentKiB << ", after warm-up " << warm.residentKiB << ", end "
              << end.residentKiB << "; judged KiB " << warmJudged << " -> " << endJudged << "; descriptors " << warm.descriptors << " -> " << end.descriptors << "; threads "
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
    EXPECT_LE(endJudged - warmJudged, kAllowedGrowthKiB);
    // A request in flight may hold a second connection for a moment.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == warm.descriptors; }))
        << openDescriptors() << " open, " << warm.descriptors << " after the warm-up";
}
