// The call report and the progress callback on whole calls through the
// emulator: a five-page fax seen page by page, and the report of a sent and
// a received fax.
#include <gtest/gtest.h>

#include <vector>

#include "engine/tollan.h"
#include "platform/platform.h"
#include "support/scripted_modem.h"
#include "support/wait_clock.h"
#include "tests/sim/sim_client.h"

using namespace simtest;

namespace {

constexpr int kPages = 5;

// Every progress call, as the library made it.
struct Heard {
    std::vector<TollanProgress> events;
    static void Record(int32_t, const TollanProgress *p, void *self) {
        static_cast<Heard *>(self)->events.push_back(*p);
    }
};

class ReportTest : public ::testing::Test {
protected:
    // The library and the emulator on one clock that moves only while both
    // wait; the library's waits at 20 times the emulator's own times.
    WaitClock clock{20};
    SimOnWaitClock sim_clock{clock};
    SimFixture f;
    int modem = -1;
    std::vector<std::string> pages;
    std::unique_ptr<ProfileFile> profile;

    void SetUp() override {
        modem = f.AddModem("100");
        f.AddAnsweringStation("200");
        ASSERT_TRUE(SimStart(f.sim));
        profile = std::make_unique<ProfileFile>("[Ports]\nCOM1=" + f.Device(modem) + "\n");
        for (int i = 1; i <= kPages; ++i) {
            pages.push_back(MakePage(40 + 10 * i, static_cast<unsigned>(i)));
            WriteFile(f.dir + "/doc_p" + std::to_string(i) + ".g3", pages.back());
        }
    }

    int32_t Open(int modem_class) {
        int32_t ch = -1;
        SetModemClass(0, modem_class);
        EXPECT_EQ(PortOpen(&ch, 1, "ATZ"), TOLLAN_OK);
        SetLocalID(ch, "12345");
        return ch;
    }

    static TollanCallReport Report(int32_t ch) {
        TollanCallReport r{};
        r.size = sizeof r;
        EXPECT_EQ(GetCallReport(ch, &r), TOLLAN_OK);
        return r;
    }

    // Every page in order, each from its start (0 bytes) to its end (the
    // page's size when sending), bytes never going back within a page; the
    // phases in the order a call reaches them.
    void ExpectPagesInOrder(const Heard &heard, bool sending) {
        int page = 0;
        uint32_t bytes = 0;
        int32_t highest_phase = TOLLAN_PHASE_NONE;
        std::vector<uint32_t> last_bytes(kPages + 1, 0);
        for (const TollanProgress &p : heard.events) {
            EXPECT_EQ(p.size, sizeof(TollanProgress));
            if (p.page != page) {
                EXPECT_EQ(p.page, page + 1) << "pages skipped or out of order";
                EXPECT_EQ(p.bytes_done, 0u) << "page " << p.page << " starts";
                page = p.page;
                bytes = 0;
            }
            EXPECT_GE(p.bytes_done, bytes) << "page " << p.page;
            bytes = p.bytes_done;
            if (page > 0) last_bytes[static_cast<size_t>(page)] = bytes;
            if (sending) {
                EXPECT_EQ(p.pages, kPages);
                if (page > 0) {
                    EXPECT_EQ(p.bytes_total, pages[static_cast<size_t>(page - 1)].size());
                }
            }
            // Phases go back only from post-page to a next page.
            if (p.phase < highest_phase) {
                EXPECT_TRUE(p.phase == TOLLAN_PHASE_PAGE || p.phase == TOLLAN_PHASE_TRAINING) << p.phase;
            }
            if (p.phase > highest_phase) highest_phase = p.phase;
        }
        EXPECT_EQ(page, kPages);
        EXPECT_EQ(highest_phase, TOLLAN_PHASE_RELEASE);
        for (int i = 1; i <= kPages; ++i) EXPECT_EQ(last_bytes[static_cast<size_t>(i)], pages[static_cast<size_t>(i - 1)].size()) << i;
    }

    void SendFivePages(int modem_class) {
        int32_t ch = Open(modem_class);
        Heard heard;
        ASSERT_EQ(SetProgressCallback(ch, &Heard::Record, &heard), TOLLAN_OK);
        const std::string base = f.dir + "/doc.g3";
        const uint16_t rc = modem_class == TOLLAN_CLASS_1 ? SendClass1Fax(ch, "200", base.c_str(), kPages)
                                                          : SendFax(ch, "200", base.c_str(), kPages);
        SetProgressCallback(ch, nullptr, nullptr);
        ASSERT_EQ(rc, TOLLAN_OK);
        ExpectPagesInOrder(heard, true);

        const TollanCallReport r = Report(ch);
        EXPECT_EQ(r.outcome, TOLLAN_OUTCOME_SUCCESS);
        EXPECT_EQ(r.cause, TOLLAN_CAUSE_NONE);
        EXPECT_EQ(r.phase, TOLLAN_PHASE_RELEASE);
        EXPECT_EQ(r.pages_total, kPages);
        EXPECT_EQ(r.pages_sent, kPages);
        EXPECT_EQ(r.pages_confirmed, kPages);
        EXPECT_EQ(r.pages_rejected, 0);
        EXPECT_EQ(r.page_count, kPages);
        EXPECT_GT(r.rate, 0);
        EXPECT_EQ(r.coding, TOLLAN_COMPRESS_MH);
        EXPECT_STRNE(r.remote_id, "");
        EXPECT_GT(r.start, 0);
        for (int i = 0; i < kPages; ++i) {
            EXPECT_EQ(r.page[i].bytes, pages[static_cast<size_t>(i)].size()) << i;
            EXPECT_EQ(r.page[i].rate, r.rate) << i;
        }
        EXPECT_EQ(PortClose(ch), TOLLAN_OK);
    }
};

TEST_F(ReportTest, FivePagesInClass1AreHeardInOrderAndReported) { SendFivePages(TOLLAN_CLASS_1); }

TEST_F(ReportTest, FivePagesInClass20AreHeardInOrderAndReported) { SendFivePages(TOLLAN_CLASS_AUTO); }

TEST_F(ReportTest, AReceivedFaxIsReportedPageByPage) {
    std::vector<std::string> files;
    for (int i = 1; i <= kPages; ++i) files.push_back(f.dir + "/doc_p" + std::to_string(i) + ".g3");
    int caller = f.AddCallingStation("300", files);
    int32_t ch = Open(TOLLAN_CLASS_2);
    Heard heard;
    SetProgressCallback(ch, &Heard::Record, &heard);
    ASSERT_TRUE(SimStationCall(f.sim, caller, "100"));
    int32_t ring = 0;
    for (const uint32_t start = PlatTickCount(); ring != 1 && PlatElapsed(start) < 100000;) {
        ASSERT_EQ(WaitForRing(ch, &ring), TOLLAN_OK);
        if (ring != 1) PlatSleep(10);  // on the clock: the emulator rings meanwhile
    }
    int16_t received = 0;
    ASSERT_EQ(ReceiveFax(ch, (f.dir + "/in.g3").c_str(), &received), TOLLAN_OK);
    SetProgressCallback(ch, nullptr, nullptr);
    ExpectPagesInOrder(heard, false);

    const TollanCallReport r = Report(ch);
    EXPECT_EQ(r.call, TOLLAN_CALL_RECEIVE);
    EXPECT_EQ(r.outcome, TOLLAN_OUTCOME_SUCCESS);
    EXPECT_EQ(r.pages_received, kPages);
    EXPECT_EQ(r.page_count, kPages);
    EXPECT_GT(r.rate, 0);
    EXPECT_NE(r.resolution, 0);
    for (int i = 0; i < kPages; ++i) EXPECT_EQ(r.page[i].bytes, pages[static_cast<size_t>(i)].size()) << i;
    EXPECT_EQ(PortClose(ch), TOLLAN_OK);
}

}  // namespace
