// libFuzzer target of the settings-file reader. Besides the sanitizers' findings it
// checks the reader's contract on every input:
// - the result is a count of at most the input's size, or -5 or -10 (-1 and -2 are
//   the file reader's alone);
// - the record is unchanged on -10 (and would be on -1 and -2);
// - the scan gives the same result however the input is split into pieces;
// - a record read inside the settings' ranges survives the writer and the reader.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tm_xmp_settings.h"

namespace {

const int32_t kInitial[TMXmpRecordSize] = {11, 22, 33, 44, 55, 3, 3, 66};

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "contract broken: %s\n", what);
        std::abort();
    }
}

bool inRanges(const int32_t* r)
{
    return r[TMXmpLuminosity] >= -10 && r[TMXmpLuminosity] <= 10 && r[TMXmpStrength] >= 0 && r[TMXmpStrength] <= 100 &&
           r[TMXmpColorSaturation] >= 0 && r[TMXmpColorSaturation] <= 100 && r[TMXmpWhiteClip] >= 0 &&
           r[TMXmpWhiteClip] <= 1000 && r[TMXmpBlackClip] >= 0 && r[TMXmpBlackClip] <= 1000 && r[TMXmpSmoothing] >= 0 &&
           r[TMXmpSmoothing] <= 4 && r[TMXmpMicrocontrast] >= 0 && r[TMXmpMicrocontrast] <= 4 &&
           r[TMXmpMicrosmoothing] >= 0 && r[TMXmpMicrosmoothing] <= 30;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int32_t record[TMXmpRecordSize];
    std::memcpy(record, kInitial, sizeof record);
    const int code = TMReadSettingsXmpBytes(data, size, record);
    check((code > 0 && static_cast<uint64_t>(code) <= size) || code == TMXmpOtherMethod || code == TMXmpNoSettings,
          "result code");
    if (code == TMXmpNoSettings)
        check(std::memcmp(record, kInitial, sizeof record) == 0, "record changed without settings");

    // The same bytes in pieces of 1 to 16 bytes, the sizes taken from the input.
    TMXmpScanner scan(kInitial);
    for (size_t at = 0, i = 0; at < size; ++i) {
        const size_t piece = std::min<size_t>(size - at, 1 + data[i % size] % 16);
        scan.feed(data + at, piece);
        at += piece;
    }
    const int pieces = scan.finish();
    check(pieces == code, "result depends on how the input is split");
    if (code > 0 || code == TMXmpOtherMethod)
        check(std::memcmp(scan.record(), record, sizeof record) == 0, "record depends on how the input is split");

    if (code > 0 && inRanges(record)) {
        std::string text;
        check(TMFormatSettingsXmp(record, &text), "writer refuses a record in range");
        int32_t again[TMXmpRecordSize] = {};
        check(TMReadSettingsXmpBytes(text.data(), text.size(), again) > 0, "written file does not load");
        check(std::memcmp(again, record, sizeof record) == 0, "record does not survive writer and reader");
    }
    return 0;
}
