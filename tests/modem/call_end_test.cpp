// Ending an abandoned call: what the modem said last decides how the remote
// is told.
#include <gtest/gtest.h>

#include "engine/tollan.h"
#include "modem/call_end.h"
#include "modem/modem_fixture.h"

namespace {

constexpr char kStop[] = "\x18\x10\x03";
constexpr char kDcnFrame[] = "\xFF\x13\xFB\x10\x03";

class CallEndTest : public ModemTest {};

// The host had just asked for a frame (AT+FTH=3) when the abort came: the
// modem first ends the step before it (OK), then says CONNECT to the command,
// then takes the stop bytes as a frame and says CONNECT again. It is sending
// frames: DCN goes as its next frame, not after another AT+FTH=3, which it
// would take as frame bytes and answer with nothing.
TEST_F(CallEndTest, AStopThatMeetsAFrameCommandSendsDcnAsTheNextFrame) {
    modem_.Expect(kStop)
        .Send("\r\nOK\r\nAT+FTH=3\r\r\nCONNECT\r\n\r\nCONNECT\r\n")
        .On(kDcnFrame, "\r\nOK\r\n")
        .On("ATH0\r\n", "\r\nOK\r\n");
    const int32_t ch = Attach(1);
    const FaxCallEnding ending{true, nullptr, 0xFB};
    const uint32_t start = PlatTickCount();
    EXPECT_EQ(FaxEndCall(ch, ending, TOLLAN_E_ABORTED), TOLLAN_E_ABORTED);
    EXPECT_LT(PlatTickCount() - start, 1000u) << "ms of library time";
    EXPECT_TRUE(modem_.Done(2000)) << modem_.Failure();
    EXPECT_EQ(modem_.Written().find("AT+FTH=3"), std::string::npos) << modem_.Written();
}

}  // namespace
