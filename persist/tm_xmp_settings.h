// XMP settings files: the eight user settings as a small XMP text file that the
// dialog's Save and Load buttons and `tonemap --settings` write and read.
//
// The writer produces one fixed sequence of LF-terminated lines. The reader is a
// line scanner, not an XML parser: it looks for the settings namespace prefix, then
// for the settings' opening tags line by line, and reads the value after each tag.
// It holds one line at a time (at most 254 bytes), so any file, however long or
// damaged, costs one linear pass and constant memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The exchange record: eight signed integers in this order. Units are those of the
// file, not of TMParameters (tm_settings_exchange.h converts).
enum : int {
    TMXmpLuminosity = 0,      // -10..+10 as the dialog shows it
    TMXmpStrength = 1,        // percent 0..100
    TMXmpColorSaturation = 2, // percent 0..100
    TMXmpWhiteClip = 3,       // steps of 0.005 %, 0..1000
    TMXmpBlackClip = 4,       // steps of 0.005 %, 0..1000
    TMXmpSmoothing = 5,       // index 0..4 = "Very High" (+2) .. "Very Low" (-2)
    TMXmpMicrocontrast = 6,   // index 0..4 = "High" (+2) .. "Very Low" (-2)
    TMXmpMicrosmoothing = 7,  // 0..30
    TMXmpRecordSize = 8,
};

// Results of readSettingsXmp (success is the positive count of bytes scanned).
enum : int {
    TMXmpNotReadable = -1, // the file cannot be opened or its size not determined
    TMXmpShortRead = -2,   // fewer bytes could be read than the file's size
    TMXmpOtherMethod = -5, // the file holds the settings of another method
    TMXmpNoSettings = -10, // no line declares the settings namespace prefix
};

// Writes `record` to `path` as a settings file. The file at `path` is replaced only
// once every byte has been written and flushed to a temporary file beside it; a
// failed save leaves what was there. Returns 1, or -1 when the file cannot be
// written or record[TMXmpSmoothing] or record[TMXmpMicrocontrast] is outside 0..4
// (then nothing is written).
int writeSettingsXmp(const char* path, const int32_t record[TMXmpRecordSize]);

// Reads the settings file at `path` into `record`. Entries whose elements the file
// does not hold keep what the caller put there. Returns the count of bytes scanned
// (positive, at most INT32_MAX) or a negative TMXmp* code. On -1, -2 and -10 the
// record is unchanged; on -5 the entries read before the refused Method line are set.
int readSettingsXmp(const char* path, int32_t record[TMXmpRecordSize]);

// The same, on `size` bytes in memory.
int TMReadSettingsXmpBytes(const void* data, size_t size, int32_t record[TMXmpRecordSize]);

// The file's text for `record`, or false (and `text` untouched) for an index
// outside 0..4.
bool TMFormatSettingsXmp(const int32_t record[TMXmpRecordSize], std::string* text);

// What the dialog tells the user about a failed load (any negative result).
const char* TMXmpLoadMessage(int code);

// The reader's scan, fed in pieces of any size: the file reader feeds it chunk by
// chunk, the fuzzer in random pieces to prove that the split does not matter.
class TMXmpScanner {
public:
    explicit TMXmpScanner(const int32_t record[TMXmpRecordSize]);

    // Takes the next bytes. Returns false once the scan has ended: later bytes are
    // not wanted and are ignored.
    bool feed(const unsigned char* data, size_t size);

    // End of input: examines a last line that has no LF and returns the result.
    int finish();

    // The record as the scan left it (the initial values where nothing was found).
    const int32_t* record() const { return record_; }

private:
    void endLine();
    void examine(const unsigned char* line, size_t size);
    void parseElements(const unsigned char* line, size_t size);

    int32_t record_[TMXmpRecordSize];
    bool found_[TMXmpRecordSize] = {};
    // A line holds at most 254 bytes besides its LF: the reader's line buffer is 256
    // bytes, the line, its LF and one byte of the next line. Longer lines end the scan.
    static constexpr size_t kLineCapacity = 254;
    unsigned char line_[kLineCapacity];
    size_t lineSize_ = 0;
    bool lineTooLong_ = false;
    bool namespaceSeen_ = false;
    int method_ = 0; // 0 not named yet, 1 this filter's family, 2 another
    bool ended_ = false;
    int result_ = 0; // set when the scan ends with an error
    uint64_t consumed_ = 0;
};
