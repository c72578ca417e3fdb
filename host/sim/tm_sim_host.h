// A filter host in software: it builds the filter record and its suites, owns the
// handles and buffers, delivers and commits image areas at advanceState, records
// progress, answers abort polls and plays back recorded descriptors, the way real
// hosts do. The command-line tool, the Windows test host and the tests drive the
// plug-in's entry point through it.
//
// The host reaches the plug-in only through the entry point it is given, so the
// same code drives the statically linked PluginMain and one found in a loaded DLL.
// One host is active at a time: the protocol's callbacks carry no context, so the
// active host is process-wide state while one of its calls runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tm_protocol.h"
#include "tm_sim_display.h"

namespace tmsim {

using EntryPoint = void (*)(int16_t selector, void* record, intptr_t* data, int16_t* result);

// The host's document: interleaved samples, `pixelStride` per stored pixel of which
// the first `planes` are the planes the host exposes to the filter, rows `rowBytes`
// apart. The host never owns these pixels. The filter reads `source` and its
// result is committed to `destination`; both may be the same memory, which
// renders in place.
struct Document {
    const void* source = nullptr;
    void* destination = nullptr;
    int64_t rowBytes = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t planes = 3;
    int32_t pixelStride = 0; // samples per stored pixel; 0: `planes`
    int32_t depth = 32;      // bits per sample: 8, 16 or 32
    int16_t imageMode = TMModeRGB96;
};

// One recorded descriptor entry, as an action would hold it.
struct DescriptorItem {
    TMFourCC key = 0;
    TMFourCC type = TMFourCCOf("long"); // 'long' (integer) or an enumeration type such as 'inTy'
    int32_t integer = 0;
    TMFourCC enumerated = 0;
    TMOSErr readResult = TMNoErr; // what the host's get call returns (2: converted)
};

// How image areas reach the plug-in.
enum class Delivery {
    Copy,   // host buffers filled from the document and committed back (every host does this)
    Direct, // pointers into the document itself where the requested planes are all the
            // stored ones; otherwise one host buffer that serves as input and output
            // when both requests agree and the document renders in place. Needs
            // packed rows and no padding.
};

struct Options {
    Delivery delivery = Delivery::Copy;
    bool bigDocument = true;       // offer the 32-bit coordinate record
    bool descriptorSuite = true;   // offer descriptor parameters with read procedures
    bool recordDescriptor = false; // hand over `descriptor` at Start
    std::vector<DescriptorItem> descriptor;
    int16_t playInfo = TMDialogDisplay;
    TMOSErr closeResult = TMNoErr; // forced result of closing the descriptor, if non-zero
    // Offer the descriptor write procedures, as hosts that record actions do; what the
    // plug-in records is recorded() after the run.
    bool writeProcedures = false;
    int failPut = 0;                  // fail the Nth put of a value (1-based); 0: never
    int32_t rowPadding = 0;           // extra bytes at the end of every delivered row
    bool underReportRowBytes = false; // report width x planes for 16-bit rows (a known host bug)
    int16_t numBufferProcs = 5;       // 8 offers the 64-bit allocation
    int32_t maxSpace = 1000000000;
    int failAllocation = 0;                       // fail the Nth buffer allocation (1-based); 0: never
    bool garbageIdOnFailure = false;              // a failed allocation still writes an id, as careless hosts do
    int64_t bufferLimit = 0;                      // refuse buffers of more bytes than this; 0: no limit
    int failLock = 0;                             // fail the Nth buffer lock; 0: never
    int failHandle = 0;                           // fail the Nth handle allocation; 0: never
    int failHandleLock = 0;                       // fail the Nth handle lock; 0: never
    int abortAtPoll = 0;                          // abort from the Nth poll on; 0: never
    TMOSErr advanceResult = TMNoErr;              // forced result of advanceState (nothing delivered), if non-zero
    const std::atomic<bool>* abortFlag = nullptr; // abort while set (e.g. by a signal handler)
    int32_t maxLoops = 100000;                    // continue calls before the host gives up
    std::function<void(int32_t done, int32_t total)> onProgress; // shown to the user, if set
    // Settings the host keeps for the plug-in: the bytes of its parameters handle, as
    // an earlier run left them (empty: none). The host never reads them. As hosts that
    // keep a plug-in's parameters do, it recreates the handle from these bytes and
    // hands it back; it does so when a Parameters call returns (in that call the
    // plug-in resets its record), so that the rest of the run uses them.
    std::vector<uint8_t> parameters;
    // The host's main window, handed over in the platform data of the filter and the
    // about record (0: none, as hosts without a window pass).
    intptr_t mainWindow = 0;
    // displayPixels as the record offers it: the host's own procedure, installed as it
    // is (the Windows host draws with it); when null, the host checks and records
    // every call (displays()) and draws nothing.
    DisplayProc displayPixels = nullptr;
    bool offerDisplayPixels = true; // false: the record's displayPixels is null
};

// What one selector call or run left behind.
struct RunResult {
    int16_t result = TMNoErr;   // the plug-in's result word of the last call
    int16_t lastSelector = -1;  // the selector that produced it
    std::vector<int16_t> calls; // selectors in the order called
};

class Host {
public:
    Host(EntryPoint entry, const Document& document, Options options = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // One selector call, with the host's bookkeeping around it (commit of the output
    // area on return, as hosts do when Start or Continue returns).
    int16_t call(int16_t selector);
    // A whole filter run as hosts drive it: Parameters (when `ask`), Prepare, Start,
    // the continue loop and Finish, stopping at the first failure; Finish follows a
    // failed Continue or a cancel between Continue calls.
    RunResult run(bool ask = true);
    // The About selector with an about record.
    int16_t about();
    // Runs `work` as if inside a selector call, so that code of the plug-in that uses
    // the host's callbacks (a dialog's preview does) can be driven directly. The
    // output area handed out is committed when `work` returns, as when Start returns.
    void inside(const std::function<void()>& work);

    // Starts the next run: re-arms the recorded descriptor (if any) and the failure
    // counters, keeps the parameters handle and the data slot.
    void rearm(const Options& options);
    // Starts a new session of the same filter: the data slot is 0 again and the
    // plug-in's data handle is gone with the old session, while the parameters
    // handle, which hosts keep with the document's settings, stays.
    void newSession();

    TMFilterRecord& record() { return *record_; }
    intptr_t dataSlot() const { return data_; }
    // The plug-in's settings and working records, read from their handles.
    const void* parametersData() const;
    void* parametersData() { return const_cast<void*>(static_cast<const Host*>(this)->parametersData()); }
    const void* globalsData() const;
    void* globalsData() { return const_cast<void*>(static_cast<const Host*>(this)->globalsData()); }
    // The plug-in's error string (a Pascal string: length byte, then the text).
    const unsigned char* errorString() const { return errorString_; }

    // Bookkeeping for tests.
    int liveBuffers() const { return static_cast<int>(buffers_.size()); }
    int64_t liveBufferBytes() const;
    int liveHandles() const { return static_cast<int>(handles_.size()); } // all, incl. parameters/data
    int lockedHandles() const;
    int bufferAllocations() const { return allocations_; }
    int64_t lastAllocationSize() const { return lastAllocationSize_; } // bytes asked for; 0: none yet
    int bufferLocks() const { return bufferLocks_; }
    int bufferUnlocks() const { return bufferUnlocks_; }
    int bufferFrees() const { return bufferFrees_; }
    int handleAllocations() const { return handleNews_; }
    int abortPolls() const { return polls_; }
    int advanceCalls() const { return advances_; }
    const std::vector<std::pair<int32_t, int32_t>>& progress() const { return progress_; }
    bool descriptorPending() const; // the recorded descriptor is still the host's
    const std::vector<TMFourCC>& keysOffered() const { return keysOffered_; }
    // The descriptor the plug-in handed back for recording at the last call that
    // handed one back since rearm(), in the order of its puts; null when none.
    const std::vector<DescriptorItem>* recorded() const { return recorded_.get(); }
    // Pad bytes of delivered rows that the plug-in overwrote (counted when the output
    // is committed).
    int64_t paddingWrites() const { return paddingWrites_; }
    // Requests the host refused (area outside the image, planes out of range).
    int refusedRequests() const { return refused_; }
    // Calls with a handle or buffer id the host never handed out or already released,
    // and progress reports outside 0 <= done <= total, total > 0.
    int misuses() const { return misuses_; }
    // The displayPixels calls recorded so far (none when a procedure of the host's own
    // is installed).
    const std::vector<DisplayCall>& displays() const { return displays_; }

private:
    struct HandleBlock;
    struct Buffer {
        std::unique_ptr<uint8_t[]> memory;
        int64_t size = 0;
        bool locked = false;
    };
    struct Area {
        TMVRect rect{};
        int32_t lo = 0, hi = -1;
        std::shared_ptr<uint8_t[]> memory; // host buffer (null: pointers into the document)
        int64_t rowBytes = 0;
        int64_t packedRowBytes = 0;
        void* data = nullptr;
    };
    struct Descriptor;

    friend struct Callbacks;

    // Host services (reached through the callbacks).
    TMHandle newHandle(int32_t size);
    void disposeHandle(TMHandle h);
    int32_t handleSize(TMHandle h);
    TMOSErr setHandleSize(TMHandle h, int32_t size);
    void* lockHandle(TMHandle h);
    void unlockHandle(TMHandle h);
    TMOSErr allocate(int64_t size, TMBufferID* id);
    void* lockBuffer(TMBufferID id);
    void unlockBuffer(TMBufferID id);
    void freeBuffer(TMBufferID id);
    int64_t bufferSpace() const;
    TMOSErr advanceState();
    void handBackParameters();
    TMBoolean abortRequested();
    void reportProgress(int32_t done, int32_t total);
    TMOSErr recordDisplay(const TMPixelMap* map, const TMVRect* srcRect, int32_t dstRow, int32_t dstCol, void* context);
    TMReadDescriptor openDescriptor(TMHandle descriptor, TMFourCC* keys);
    TMOSErr closeDescriptor(TMReadDescriptor token);
    TMBoolean nextKey(TMReadDescriptor token, TMFourCC* key, TMFourCC* type, int32_t* flags);
    TMOSErr readInteger(TMReadDescriptor token, int32_t* value);
    TMOSErr readEnumerated(TMReadDescriptor token, TMFourCC* value);
    TMWriteDescriptor openWriting();
    TMOSErr closeWriting(TMWriteDescriptor token, TMHandle* made);
    TMOSErr put(TMWriteDescriptor token, const DescriptorItem& item);

    // Requests, delivery and commit.
    void readRequests(TMVRect* in, int32_t* inLo, int32_t* inHi, TMVRect* out, int32_t* outLo, int32_t* outHi) const;
    bool requestValid(const TMVRect& rect, int32_t lo, int32_t hi) const;
    bool deliver(Area& area, const TMVRect& rect, int32_t lo, int32_t hi, bool output);
    void commitOutput();
    void releaseAreas();
    void clearRequests();
    bool anyRequest() const;
    TMOSErr deliverRequests();
    void configure();
    void dropDescriptor();
    void collectRecording();

    EntryPoint entry_;
    Document doc_;
    Options opt_;
    std::unique_ptr<TMFilterRecord> record_;
    TMBigDocumentStruct big_{};
    TMBufferProcs bufferProcs_{};
    TMHandleProcs handleProcs_{};
    TMDescriptorParameters descriptorParams_{};
    TMReadDescriptorProcs readProcs_{};
    TMWriteDescriptorProcs writeProcs_{};
    TMPlatformData platform_{};
    unsigned char errorString_[256]{};
    TMAboutRecord about_{};
    intptr_t data_ = 0;

    std::map<TMHandle, std::unique_ptr<HandleBlock>> handles_;
    std::map<TMBufferID, Buffer> buffers_;
    Area in_, out_;
    std::unique_ptr<Descriptor> reading_;
    std::unique_ptr<std::vector<DescriptorItem>> writing_;    // the open write token
    std::map<TMHandle, std::vector<DescriptorItem>> written_; // descriptors made by closes
    std::unique_ptr<std::vector<DescriptorItem>> recorded_;   // taken from the record after a call
    int puts_ = 0;
    TMHandle descriptorHandle_ = nullptr;
    int allocations_ = 0, bufferLocks_ = 0, bufferUnlocks_ = 0, bufferFrees_ = 0, handleNews_ = 0, handleLocks_ = 0;
    int64_t lastAllocationSize_ = 0;
    int polls_ = 0, advances_ = 0, refused_ = 0, misuses_ = 0;
    int64_t paddingWrites_ = 0;
    std::vector<std::pair<int32_t, int32_t>> progress_;
    std::vector<TMFourCC> keysOffered_;
    std::vector<DisplayCall> displays_;
};

// Bytes per sample of a document depth (8 -> 1, 16 -> 2, otherwise 4).
int32_t SampleBytes(int32_t depth);

} // namespace tmsim
