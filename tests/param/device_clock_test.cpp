#include "param/device_clock.h"

#include <gtest/gtest.h>

#include "support/rig.h"

#include "devices/device_table.h"
#include "param/link_loss.h"
#include "station/poll_state.h"

namespace terval {
namespace {

using Values = std::array<uint16_t, kClockRegisterCount>;

TEST(DeviceClock, SevenValuesSecondFirstWeekFromSundayFullYear) {
    // 15 March 2026 is a Sunday, 14 March a Saturday.
    EXPECT_EQ(clockWriteValues(QDateTime(QDate(2026, 3, 15), QTime(8, 9, 10))),
              (Values{10, 9, 8, 0, 15, 3, 2026}));
    EXPECT_EQ(clockWriteValues(QDateTime(QDate(2026, 3, 14), QTime(0, 0, 0))),
              (Values{0, 0, 0, 6, 14, 3, 2026}));
    EXPECT_EQ(clockWriteValues(QDateTime(QDate(2024, 2, 29), QTime(12, 0, 0))),
              (Values{0, 0, 12, 4, 29, 2, 2024}));
}

TEST(DeviceClock, PickedTimeOfDayWithPickedDate) {
    // The time picker's own date and the date picker's own time play no part; nor do
    // milliseconds.
    const QDateTime picked = pickedDateTime(QDate(2027, 7, 4), QTime(23, 59, 59, 870));
    EXPECT_EQ(picked, QDateTime(QDate(2027, 7, 4), QTime(23, 59, 59)));
    EXPECT_EQ(clockWriteValues(picked), (Values{59, 59, 23, 0, 4, 7, 2027}));

    testing::Rig rig(1);
    CreateDataForWrite(rig.scheduler(), picked);
    const RegisterWrite& queued = rig.poll().queuedWrite();
    EXPECT_EQ(rig.poll().WriteRequest(), kWriteQueued);
    EXPECT_EQ(queued.firstRegister, 265);
    EXPECT_EQ(queued.count, 7);
    EXPECT_EQ((Values{queued.values[0], queued.values[1], queued.values[2], queued.values[3],
                      queued.values[4], queued.values[5], queued.values[6]}),
              (Values{59, 59, 23, 0, 4, 7, 2027}));
}

DeviceEntry counters(uint32_t bad, uint32_t requests) {
    DeviceEntry e;
    e.BadAnswers = bad;
    e.RequestsSent = requests;
    return e;
}

TEST(LinkLossCheck, ClosesOnlyWhenEveryRequestSinceTheBaselineFailed) {
    LinkLossCheck check;
    check.takeBaselines(counters(10, 100));
    EXPECT_EQ(check.check(counters(12, 102)), LinkLossCheck::Verdict::Nothing);  // 2 of 2
    EXPECT_EQ(check.check(counters(13, 103)), LinkLossCheck::Verdict::Close);    // 3 of 3

    // 3 bad answers among 4 requests move the baseline up to the present counts.
    EXPECT_EQ(check.check(counters(13, 104)), LinkLossCheck::Verdict::BaselineMoved);
    EXPECT_EQ(check.LinkLossBaseBad, 13u);
    EXPECT_EQ(check.LinkLossBaseRequests, 104u);
    EXPECT_EQ(check.check(counters(15, 106)), LinkLossCheck::Verdict::Nothing);
    EXPECT_EQ(check.check(counters(16, 107)), LinkLossCheck::Verdict::Close);

    // More failures than requests (a request in flight when the baseline was taken): nothing.
    check.takeBaselines(counters(0, 5));
    EXPECT_EQ(check.check(counters(4, 8)), LinkLossCheck::Verdict::Nothing);

    // The differences are taken modulo 2^32, as wide as the counters.
    check.takeBaselines(counters(0xFFFFFFFE, 0xFFFFFFFE));
    EXPECT_EQ(check.check(counters(1, 1)), LinkLossCheck::Verdict::Close);
}

}  // namespace
}  // namespace terval
