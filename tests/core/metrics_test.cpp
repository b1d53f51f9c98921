// The link state lines and counts: one line per change of state or reason, never one per repeated attempt.
#include "core/metrics.h"

#include <gtest/gtest.h>

namespace {

TEST(LinkStates, ALineForEachChangeOfStateOrReasonAndTheChangesCounted) {
    drv::DriverMetrics m;
    testing::internal::CaptureStderr();
    for (int error : {ECONNREFUSED, ECONNREFUSED, ETIMEDOUT, drv::kErrorNameNotFound, EHOSTUNREACH})
        m.SetLink(drv::Link::Z8, false, drv::LinkReasonForError(error), "Z8 server h:1", error);
    m.SetLink(drv::Link::Z8, true, drv::LinkReason::Connected, "Z8 server h:1");
    m.SetLink(drv::Link::Z8, false, drv::LinkReasonForError(0));
    m.SetLink(drv::Link::Z8, true, drv::LinkReason::Connected);
    m.SetLink(drv::Link::Z8, false, drv::LinkReason::ErrorsReconnect);
    m.SetLink(drv::Link::Z8, false, drv::LinkReasonForError(EPIPE), "", EPIPE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "drvorvel: z8 link down: refused; Z8 server h:1\n"
              "drvorvel: z8 link down: timed out; Z8 server h:1\n"
              "drvorvel: z8 link down: name not found; Z8 server h:1\n"
              "drvorvel: z8 link down: unreachable; Z8 server h:1\n"
              "drvorvel: z8 link up: connected; Z8 server h:1\n"
              "drvorvel: z8 link down: closed by the server\n"
              "drvorvel: z8 link up: connected\n"
              "drvorvel: z8 link down: errors, reconnecting\n"
              "drvorvel: z8 link down: closed by the server\n");
    EXPECT_EQ(m.links[static_cast<int>(drv::Link::Z8)].changes.load(), 4u);
    EXPECT_EQ(m.links[static_cast<int>(drv::Link::Z7)].changes.load(), 0u);
}

}  // namespace
