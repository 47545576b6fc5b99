// Session parameters from the far end as the trace puts them into words:
// any DIS, DTC or DCS information field and any class 2/2.0 report line
// gives one terminated line inside its buffer, whatever the buffer's size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modem/session_words.h"

namespace {

void CheckTerminated(const char *out, size_t size) {
    if (size > 0 && strnlen(out, size) >= size) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the buffer's size, so that cutting is exercised too.
    const size_t room = 1 + data[0] % kSessionWordsSize;
    char out[kSessionWordsSize];
    static constexpr FaxSessionKind kKinds[] = {FaxSessionKind::kDis, FaxSessionKind::kDtc, FaxSessionKind::kDcs};
    for (FaxSessionKind kind : kKinds) {
        memset(out, 'x', sizeof out);
        FaxFrameWords(kind, data + 1, size - 1, out, room);
        CheckTerminated(out, room);
    }
    // The same bytes as a modem's report line, and as a frame for the trace.
    const std::string line(reinterpret_cast<const char *>(data + 1), size - 1);
    FaxTraceReportWords(line.c_str());
    FaxTraceFrameWords(data + 1, size - 1);
    int32_t values[8];
    for (int i = 0; i < 8; ++i) {
        int32_t v = 0;
        memcpy(&v, data + 1 + (i * 4) % (size > 4 ? size - 4 : 1), size > 4 ? 4 : 0);
        values[i] = v;
    }
    FaxReportWords(FaxSessionKind::kDcs, values, data[0] % 9, out, room);
    CheckTerminated(out, room);
    return 0;
}
