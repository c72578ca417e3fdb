#include "tm_sim_host.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace tmsim {

int32_t SampleBytes(int32_t depth) { return depth == 8 ? 1 : depth == 16 ? 2 : 4; }

// A handle is a block whose first word is the data pointer, as hosts on this
// platform lay them out. Locks are not counted: one unlock undoes any number.
struct Host::HandleBlock {
    void* data = nullptr;
    std::unique_ptr<uint8_t[]> memory;
    int32_t size = 0;
    bool locked = false;
};

// A read token: the recorded items, the position, and the sticky error.
struct Host::Descriptor {
    size_t next = 0;
    const DescriptorItem* current = nullptr;
    TMFourCC* keys = nullptr;
    TMOSErr sticky = TMNoErr; // once a read fails, later reads fail alike
    TMOSErr worst = TMNoErr;  // most serious result of the read, returned by close
};

namespace {

Host* gActive = nullptr; // the host whose call is running

constexpr TMFourCC kNullKey = TMFourCCOf("null");
constexpr TMFourCC kLong = TMFourCCOf("long");
constexpr int16_t kMax16 = 32767;
// Fills the pad bytes of delivered rows: any value the plug-in writes there, a zero
// included, shows up as a change.
constexpr uint8_t kPadByte = 0xA5;

int16_t clamp16(int32_t v) { return static_cast<int16_t>(std::min<int32_t>(v, kMax16)); }
TMRect16 to16(const TMVRect& r)
{
    return TMRect16{clamp16(r.top), clamp16(r.left), clamp16(r.bottom), clamp16(r.right)};
}
TMVRect from16(const TMRect16& r) { return TMVRect{r.top, r.left, r.bottom, r.right}; }
bool empty(const TMVRect& r) { return r.right <= r.left || r.bottom <= r.top; }

// Larger errors are more serious; warnings (positive) rank below every error.
TMOSErr moreSerious(TMOSErr a, TMOSErr b)
{
    if (a < 0 || b < 0)
        return std::min(a, b);
    return std::max(a, b);
}

} // namespace

// The protocol's callbacks carry no context: each forwards to the active host.
struct Callbacks {
    static Host& h() { return *gActive; }
    static TMHandle newHandle(int32_t size) { return h().newHandle(size); }
    static void disposeHandle(TMHandle x) { h().disposeHandle(x); }
    static int32_t getSize(TMHandle x) { return h().handleSize(x); }
    static TMOSErr setSize(TMHandle x, int32_t n) { return h().setHandleSize(x, n); }
    static void* lockHandle(TMHandle x, TMBoolean) { return h().lockHandle(x); }
    static void unlockHandle(TMHandle x) { h().unlockHandle(x); }
    static void recoverSpace(int32_t) {}
    static TMOSErr allocate(int32_t size, TMBufferID* id) { return h().allocate(size, id); }
    static TMOSErr allocate64(int64_t size, TMBufferID* id) { return h().allocate(size, id); }
    static void* lockBuffer(TMBufferID id, TMBoolean) { return h().lockBuffer(id); }
    static void unlockBuffer(TMBufferID id) { h().unlockBuffer(id); }
    static void freeBuffer(TMBufferID id) { h().freeBuffer(id); }
    static int32_t space() { return static_cast<int32_t>(std::min<int64_t>(h().bufferSpace(), INT32_MAX)); }
    static int64_t space64() { return h().bufferSpace(); }
    static TMOSErr reserve(int32_t) { return TMNoErr; }
    static TMOSErr advanceState() { return h().advanceState(); }
    static TMBoolean abortProc() { return h().abortRequested(); }
    static void progressProc(int32_t done, int32_t total) { h().reportProgress(done, total); }
    static TMOSErr displayPixels(const TMPixelMap* map, const TMVRect* src, int32_t row, int32_t col, void* context)
    {
        return h().recordDisplay(map, src, row, col, context);
    }
    static TMReadDescriptor open(TMHandle d, TMFourCC* keys) { return h().openDescriptor(d, keys); }
    static TMOSErr close(TMReadDescriptor t) { return h().closeDescriptor(t); }
    static TMBoolean getKey(TMReadDescriptor t, TMFourCC* k, TMFourCC* type, int32_t* flags)
    {
        return h().nextKey(t, k, type, flags);
    }
    static TMOSErr getInteger(TMReadDescriptor t, int32_t* v) { return h().readInteger(t, v); }
    static TMOSErr getEnumerated(TMReadDescriptor t, TMFourCC* v) { return h().readEnumerated(t, v); }
    static TMWriteDescriptor openWrite() { return h().openWriting(); }
    static TMOSErr closeWrite(TMWriteDescriptor t, TMHandle* made) { return h().closeWriting(t, made); }
    static TMOSErr putInteger(TMWriteDescriptor t, TMFourCC key, int32_t v)
    {
        return h().put(t, DescriptorItem{key, kLong, v, 0, TMNoErr});
    }
    static TMOSErr putEnumerated(TMWriteDescriptor t, TMFourCC key, TMFourCC type, TMFourCC v)
    {
        return h().put(t, DescriptorItem{key, type, 0, v, TMNoErr});
    }
};

Host::Host(EntryPoint entry, const Document& document, Options options)
    : entry_(entry), doc_(document), opt_(std::move(options)), record_(new TMFilterRecord{})
{
    const int32_t S = SampleBytes(doc_.depth);
    if (doc_.pixelStride == 0)
        doc_.pixelStride = doc_.planes;
    if (!entry_ || !doc_.source || !doc_.destination || doc_.width < 0 || doc_.height < 0 || doc_.planes < 1 ||
        doc_.pixelStride < doc_.planes || doc_.rowBytes < static_cast<int64_t>(doc_.width) * doc_.pixelStride * S)
        throw std::invalid_argument("simulated host: invalid document");
    // The host copies the source into the destination before the filter runs, so
    // areas the filter never writes keep the image.
    if (doc_.destination != doc_.source)
        std::memcpy(doc_.destination, doc_.source, static_cast<size_t>(doc_.rowBytes * doc_.height));

    bufferProcs_.bufferProcsVersion = 2;
    bufferProcs_.allocateProc = Callbacks::allocate;
    bufferProcs_.lockProc = Callbacks::lockBuffer;
    bufferProcs_.unlockProc = Callbacks::unlockBuffer;
    bufferProcs_.freeProc = Callbacks::freeBuffer;
    bufferProcs_.spaceProc = Callbacks::space;
    bufferProcs_.reserveProc = Callbacks::reserve;
    bufferProcs_.allocateProc64 = Callbacks::allocate64;
    bufferProcs_.spaceProc64 = Callbacks::space64;

    handleProcs_.handleProcsVersion = 1;
    handleProcs_.numHandleProcs = 8;
    handleProcs_.newProc = Callbacks::newHandle;
    handleProcs_.disposeProc = Callbacks::disposeHandle;
    handleProcs_.getSizeProc = Callbacks::getSize;
    handleProcs_.setSizeProc = Callbacks::setSize;
    handleProcs_.lockProc = Callbacks::lockHandle;
    handleProcs_.unlockProc = Callbacks::unlockHandle;
    handleProcs_.recoverSpaceProc = Callbacks::recoverSpace;

    readProcs_.readDescriptorProcsVersion = 0;
    readProcs_.numReadDescriptorProcs = 18;
    readProcs_.openReadDescriptorProc = Callbacks::open;
    readProcs_.closeReadDescriptorProc = Callbacks::close;
    readProcs_.getKeyProc = Callbacks::getKey;
    readProcs_.getIntegerProc = Callbacks::getInteger;
    readProcs_.getEnumeratedProc = Callbacks::getEnumerated;
    writeProcs_.writeDescriptorProcsVersion = 0;

    TMFilterRecord& r = *record_;
    r.abortProc = Callbacks::abortProc;
    r.progressProc = Callbacks::progressProc;
    r.imageSize = TMPoint16{clamp16(doc_.height), clamp16(doc_.width)};
    r.planes = static_cast<int16_t>(doc_.planes);
    r.filterRect = to16(TMVRect{0, 0, doc_.height, doc_.width});
    r.background = TMRGB16{0xFFFF, 0xFFFF, 0xFFFF};
    r.hostSig = TMFourCCOf("8BIM");
    r.imageMode = doc_.imageMode;
    r.imageHRes = r.imageVRes = 72 << 16;
    r.wholeSize = r.imageSize;
    r.platformData = &platform_; // hwnd: Options::mainWindow
    r.bufferProcs = &bufferProcs_;
    r.handleProcs = &handleProcs_;
    r.advanceState = Callbacks::advanceState;
    r.inputRate = r.maskRate = 0x10000;
    r.errorString = &errorString_;
    r.depth = doc_.depth;
    big_.imageSize32 = TMVPoint{doc_.height, doc_.width};
    big_.filterRect32 = TMVRect{0, 0, doc_.height, doc_.width};
    big_.wholeSize32 = big_.imageSize32;
    about_.platformData = &platform_;
    configure();
}

Host::~Host()
{
    releaseAreas();
    // Host memory outlives the plug-in's calls; the host frees it when it quits.
    handles_.clear();
    buffers_.clear();
}

void Host::configure()
{
    TMFilterRecord& r = *record_;
    if (!opt_.bigDocument && (doc_.width > kMax16 || doc_.height > kMax16))
        throw std::invalid_argument("simulated host: a document above 32,767 pixels needs 32-bit coordinates");
    if (opt_.delivery == Delivery::Direct &&
        (opt_.rowPadding != 0 || opt_.underReportRowBytes ||
         doc_.rowBytes != static_cast<int64_t>(doc_.width) * doc_.pixelStride * SampleBytes(doc_.depth)))
        throw std::invalid_argument("simulated host: direct delivery needs packed rows");
    r.bigDocumentData = opt_.bigDocument ? &big_ : nullptr;
    r.maxSpace = opt_.maxSpace;
    r.maxSpace64 = opt_.maxSpace;
    r.bufferSpace = 0;
    platform_.hwnd = opt_.mainWindow;
    r.displayPixels = !opt_.offerDisplayPixels ? nullptr
                      : opt_.displayPixels     ? opt_.displayPixels
                                               : Callbacks::displayPixels;
    bufferProcs_.numBufferProcs = opt_.numBufferProcs;
    r.descriptorParameters = opt_.descriptorSuite ? &descriptorParams_ : nullptr;
    descriptorParams_.descriptorParametersVersion = 0;
    descriptorParams_.playInfo = opt_.playInfo;
    descriptorParams_.recordInfo = 0;
    descriptorParams_.readDescriptorProcs = &readProcs_;
    descriptorParams_.writeDescriptorProcs = &writeProcs_;
    // Without write procedures the table is there but empty, as some hosts hand it.
    writeProcs_.numWriteDescriptorProcs = opt_.writeProcedures ? 16 : 0;
    writeProcs_.openWriteDescriptorProc = opt_.writeProcedures ? Callbacks::openWrite : nullptr;
    writeProcs_.closeWriteDescriptorProc = opt_.writeProcedures ? Callbacks::closeWrite : nullptr;
    writeProcs_.putIntegerProc = opt_.writeProcedures ? Callbacks::putInteger : nullptr;
    writeProcs_.putEnumeratedProc = opt_.writeProcedures ? Callbacks::putEnumerated : nullptr;
    puts_ = 0;
    dropDescriptor();
    if (opt_.recordDescriptor) {
        // A host-owned handle that the plug-in consumes; not one of the plug-in's
        // allocations, so it bypasses the failure counters.
        auto block = std::make_unique<HandleBlock>();
        block->memory.reset(new uint8_t[1]());
        block->data = block->memory.get();
        block->size = 1;
        descriptorHandle_ = block.get();
        handles_[descriptorHandle_] = std::move(block);
        descriptorParams_.descriptor = descriptorHandle_;
    }
}

void Host::dropDescriptor()
{
    if (descriptorHandle_ && handles_.count(descriptorHandle_))
        handles_.erase(descriptorHandle_);
    for (const auto& entry : written_)
        handles_.erase(entry.first);
    written_.clear();
    recorded_.reset();
    descriptorHandle_ = nullptr;
    descriptorParams_.descriptor = nullptr;
    reading_.reset();
    writing_.reset();
}

void Host::rearm(const Options& options)
{
    opt_ = options;
    allocations_ = bufferLocks_ = bufferUnlocks_ = bufferFrees_ = handleNews_ = handleLocks_ = 0;
    lastAllocationSize_ = 0;
    polls_ = advances_ = refused_ = misuses_ = 0;
    paddingWrites_ = 0;
    progress_.clear();
    keysOffered_.clear();
    displays_.clear();
    configure();
}

void Host::newSession()
{
    if (data_)
        disposeHandle(reinterpret_cast<TMHandle>(data_));
    data_ = 0;
}

void Host::collectRecording()
{
    // Like a recording host, take the descriptor the plug-in handed back when its call
    // returns: it belongs to the action now, and the record names none for the next
    // call unless a playback hands one over.
    const TMHandle made = descriptorParams_.descriptor;
    auto it = written_.find(made);
    if (it == written_.end())
        return;
    recorded_ = std::make_unique<std::vector<DescriptorItem>>(std::move(it->second));
    written_.erase(it);
    handles_.erase(made);
    descriptorParams_.descriptor = nullptr;
}

bool Host::descriptorPending() const { return descriptorHandle_ && handles_.count(descriptorHandle_) != 0; }

const void* Host::parametersData() const
{
    const TMHandle parameters = record_->parameters; // a packed field: copy before binding
    auto it = handles_.find(parameters);
    return it == handles_.end() ? nullptr : it->second->data;
}

const void* Host::globalsData() const
{
    auto it = handles_.find(reinterpret_cast<TMHandle>(data_));
    return it == handles_.end() ? nullptr : it->second->data;
}

int64_t Host::liveBufferBytes() const
{
    int64_t total = 0;
    for (const auto& [id, b] : buffers_)
        total += b.size;
    return total;
}

int Host::lockedHandles() const
{
    int n = 0;
    for (const auto& [h, block] : handles_)
        n += block->locked ? 1 : 0;
    return n;
}

// --- Selector calls ----------------------------------------------------------------

int16_t Host::call(int16_t selector)
{
    Host* previous = gActive;
    gActive = this;
    int16_t result = TMNoErr;
    void* recordArg = selector == TMSelectorAbout ? static_cast<void*>(&about_) : record_.get();
    entry_(selector, recordArg, &data_, &result);
    gActive = previous;
    if (selector == TMSelectorParameters && result == TMNoErr && !opt_.parameters.empty())
        handBackParameters();
    collectRecording();
    // Areas handed out are valid until the plug-in returns; on success the output is
    // committed at that point (the buffers stay with the host for later requests),
    // on failure the host drops it.
    if (selector == TMSelectorStart || selector == TMSelectorContinue) {
        if (result == TMNoErr)
            commitOutput();
        else
            releaseAreas();
    }
    return result;
}

int16_t Host::about() { return call(TMSelectorAbout); }

void Host::inside(const std::function<void()>& work)
{
    struct Active {
        Host* previous;
        explicit Active(Host* h) : previous(gActive) { gActive = h; }
        ~Active() { gActive = previous; }
    } active(this);
    work();
    commitOutput();
}

RunResult Host::run(bool ask)
{
    RunResult r;
    auto step = [&](int16_t selector) {
        r.calls.push_back(selector);
        r.lastSelector = selector;
        r.result = call(selector);
        return r.result == TMNoErr;
    };
    clearRequests();
    errorString_[0] = 0;
    if (ask && !step(TMSelectorParameters))
        return r;
    if (!step(TMSelectorPrepare))
        return r;
    clearRequests();
    if (!step(TMSelectorStart))
        return r; // no Continue and no Finish after a failed Start
    for (int32_t loops = 0; anyRequest(); ++loops) {
        int16_t hostError = TMNoErr;
        if (opt_.abortFlag && opt_.abortFlag->load())
            hostError = TMUserCanceledErr; // the user cancelled between calls
        else if (loops >= opt_.maxLoops)
            hostError = TMParamErr; // a plug-in that never ends its loop
        else
            hostError = deliverRequests();
        if (hostError != TMNoErr) {
            releaseAreas();
            step(TMSelectorFinish);
            r.result = hostError;
            return r;
        }
        if (!step(TMSelectorContinue)) {
            const int16_t failed = r.result;
            step(TMSelectorFinish);
            r.result = failed;
            r.lastSelector = TMSelectorContinue;
            return r;
        }
    }
    releaseAreas();
    step(TMSelectorFinish);
    return r;
}

// --- Handles -----------------------------------------------------------------------

TMHandle Host::newHandle(int32_t size)
{
    ++handleNews_;
    if (size < 0 || (opt_.failHandle && handleNews_ == opt_.failHandle))
        return nullptr;
    auto block = std::make_unique<HandleBlock>();
    block->memory.reset(new (std::nothrow) uint8_t[std::max<int32_t>(size, 1)]);
    if (!block->memory)
        return nullptr;
    std::memset(block->memory.get(), 0xA5, static_cast<size_t>(std::max<int32_t>(size, 1))); // contents undefined
    block->data = block->memory.get();
    block->size = size;
    TMHandle h = block.get();
    handles_[h] = std::move(block);
    return h;
}

void Host::handBackParameters()
{
    // The host's own handle, not one of the plug-in's allocations: it bypasses the
    // failure counters. The one the plug-in made in this run is disposed.
    auto block = std::make_unique<HandleBlock>();
    const size_t size = opt_.parameters.size();
    block->memory.reset(new uint8_t[size]);
    std::memcpy(block->memory.get(), opt_.parameters.data(), size);
    block->data = block->memory.get();
    block->size = static_cast<int32_t>(size);
    const TMHandle made = record_->parameters; // a packed field: copy before use
    handles_.erase(made);
    record_->parameters = block.get();
    handles_[block.get()] = std::move(block);
}

void Host::disposeHandle(TMHandle h)
{
    if (handles_.erase(h) == 0)
        ++misuses_;
    written_.erase(h);
}

int32_t Host::handleSize(TMHandle h)
{
    auto it = handles_.find(h);
    if (it == handles_.end()) {
        ++misuses_;
        return 0;
    }
    return it->second->size;
}

TMOSErr Host::setHandleSize(TMHandle h, int32_t size)
{
    auto it = handles_.find(h);
    if (it == handles_.end() || size < 0) {
        ++misuses_;
        return TMParamErr;
    }
    HandleBlock& b = *it->second;
    std::unique_ptr<uint8_t[]> memory(new (std::nothrow) uint8_t[std::max<int32_t>(size, 1)]);
    if (!memory)
        return TMMemFullErr;
    std::memcpy(memory.get(), b.memory.get(), static_cast<size_t>(std::min(size, b.size)));
    b.memory = std::move(memory); // the data may move: the plug-in locks again
    b.data = b.memory.get();
    b.size = size;
    return TMNoErr;
}

void* Host::lockHandle(TMHandle h)
{
    ++handleLocks_;
    auto it = handles_.find(h);
    if (it == handles_.end()) {
        ++misuses_;
        return nullptr;
    }
    if (opt_.failHandleLock && handleLocks_ == opt_.failHandleLock)
        return nullptr;
    it->second->locked = true;
    return it->second->data;
}

void Host::unlockHandle(TMHandle h)
{
    auto it = handles_.find(h);
    if (it == handles_.end()) {
        ++misuses_;
        return;
    }
    it->second->locked = false;
}

// --- Buffers -----------------------------------------------------------------------

TMOSErr Host::allocate(int64_t size, TMBufferID* id)
{
    ++allocations_;
    lastAllocationSize_ = size;
    *id = nullptr;
    if (size < 0)
        return TMParamErr;
    if ((opt_.failAllocation && allocations_ == opt_.failAllocation) ||
        (opt_.bufferLimit > 0 && size > opt_.bufferLimit)) {
        if (opt_.garbageIdOnFailure)
            *id = reinterpret_cast<TMBufferID>(uintptr_t{0x1234}); // what a careless plug-in would lock
        return TMMemFullErr;
    }
    Buffer b;
    b.memory.reset(new (std::nothrow) uint8_t[static_cast<size_t>(std::max<int64_t>(size, 1))]);
    if (!b.memory)
        return TMMemFullErr;
    b.size = size;
    TMBufferID key = b.memory.get();
    buffers_[key] = std::move(b);
    *id = key;
    return TMNoErr;
}

void* Host::lockBuffer(TMBufferID id)
{
    ++bufferLocks_;
    auto it = buffers_.find(id);
    if (it == buffers_.end()) {
        ++misuses_;
        return nullptr;
    }
    if (opt_.failLock && bufferLocks_ == opt_.failLock)
        return nullptr;
    it->second.locked = true;
    return it->second.memory.get();
}

void Host::unlockBuffer(TMBufferID id)
{
    ++bufferUnlocks_;
    auto it = buffers_.find(id);
    if (it == buffers_.end()) {
        ++misuses_;
        return;
    }
    it->second.locked = false;
}

void Host::freeBuffer(TMBufferID id)
{
    ++bufferFrees_;
    if (buffers_.erase(id) == 0)
        ++misuses_;
}

int64_t Host::bufferSpace() const { return int64_t{1} << 34; }

// --- Image areas -------------------------------------------------------------------

void Host::readRequests(TMVRect* in, int32_t* inLo, int32_t* inHi, TMVRect* out, int32_t* outLo, int32_t* outHi) const
{
    const TMFilterRecord& r = *record_;
    const bool wide = r.bigDocumentData && r.bigDocumentData->PluginUsing32BitCoordinates;
    *in = wide ? big_.inRect32 : from16(r.inRect);
    *out = wide ? big_.outRect32 : from16(r.outRect);
    *inLo = r.inLoPlane;
    *inHi = r.inHiPlane;
    *outLo = r.outLoPlane;
    *outHi = r.outHiPlane;
}

bool Host::requestValid(const TMVRect& rect, int32_t lo, int32_t hi) const
{
    return rect.top >= 0 && rect.left >= 0 && rect.bottom <= doc_.height && rect.right <= doc_.width && lo >= 0 &&
           lo <= hi && hi < doc_.planes;
}

bool Host::anyRequest() const
{
    const TMFilterRecord& r = *record_;
    // Both forms count: a plug-in that empties only one of them keeps the loop going.
    const bool wide = r.bigDocumentData != nullptr;
    return !empty(from16(r.inRect)) || !empty(from16(r.outRect)) || (r.haveMask && !empty(from16(r.maskRect))) ||
           (wide && (!empty(big_.inRect32) || !empty(big_.outRect32)));
}

void Host::clearRequests()
{
    TMFilterRecord& r = *record_;
    r.inRect = r.outRect = r.maskRect = TMRect16{0, 0, 0, 0};
    big_.inRect32 = big_.outRect32 = big_.maskRect32 = TMVRect{0, 0, 0, 0};
    r.inData = r.outData = r.maskData = nullptr;
    r.inRowBytes = r.outRowBytes = r.maskRowBytes = 0;
}

bool Host::deliver(Area& area, const TMVRect& rect, int32_t lo, int32_t hi, bool output)
{
    const int32_t S = SampleBytes(doc_.depth);
    const int32_t w = rect.right - rect.left, h = rect.bottom - rect.top, n = hi - lo + 1;
    area.rect = rect;
    area.lo = lo;
    area.hi = hi;
    area.packedRowBytes = static_cast<int64_t>(w) * n * S;
    const int64_t pixelBytes = static_cast<int64_t>(doc_.pixelStride) * S;
    const uint8_t* base = static_cast<const uint8_t*>(output ? doc_.destination : doc_.source);
    const uint8_t* origin = base + rect.top * doc_.rowBytes + rect.left * pixelBytes + lo * S;
    area.memory.reset();
    if (opt_.delivery == Delivery::Direct && n == doc_.pixelStride) {
        area.rowBytes = doc_.rowBytes;
        area.data = const_cast<uint8_t*>(origin);
        return true;
    }
    const int64_t padding = opt_.underReportRowBytes ? 0 : opt_.rowPadding;
    area.rowBytes = area.packedRowBytes + padding;
    const int64_t bytes = area.rowBytes * h;
    area.memory =
        std::shared_ptr<uint8_t[]>(new (std::nothrow) uint8_t[static_cast<size_t>(std::max<int64_t>(bytes, 1))]);
    if (!area.memory)
        return false;
    uint8_t* dst = area.memory.get();
    for (int32_t y = 0; y < h; ++y, dst += area.rowBytes) {
        const uint8_t* src = origin + y * doc_.rowBytes;
        if (n == doc_.pixelStride) {
            std::memcpy(dst, src, static_cast<size_t>(area.packedRowBytes));
        } else {
            for (int32_t x = 0; x < w; ++x)
                std::memcpy(dst + static_cast<int64_t>(x) * n * S, src + x * pixelBytes, static_cast<size_t>(n) * S);
        }
        std::memset(dst + area.packedRowBytes, kPadByte, static_cast<size_t>(padding));
    }
    area.data = area.memory.get();
    return true;
}

void Host::commitOutput()
{
    Area& a = out_;
    if (!a.data || !a.memory)
        return; // nothing handed out, or delivered in place
    const int32_t S = SampleBytes(doc_.depth);
    const int32_t w = a.rect.right - a.rect.left, h = a.rect.bottom - a.rect.top, n = a.hi - a.lo + 1;
    const int64_t pixelBytes = static_cast<int64_t>(doc_.pixelStride) * S;
    uint8_t* origin =
        static_cast<uint8_t*>(doc_.destination) + a.rect.top * doc_.rowBytes + a.rect.left * pixelBytes + a.lo * S;
    const uint8_t* src = a.memory.get();
    for (int32_t y = 0; y < h; ++y, src += a.rowBytes) {
        uint8_t* dst = origin + y * doc_.rowBytes;
        if (n == doc_.pixelStride) {
            std::memcpy(dst, src, static_cast<size_t>(a.packedRowBytes));
        } else {
            for (int32_t x = 0; x < w; ++x)
                std::memcpy(dst + x * pixelBytes, src + static_cast<int64_t>(x) * n * S, static_cast<size_t>(n) * S);
        }
        for (int64_t k = a.packedRowBytes; k < a.rowBytes; ++k)
            paddingWrites_ += src[k] != kPadByte ? 1 : 0;
    }
}

void Host::releaseAreas()
{
    in_ = Area{};
    out_ = Area{};
    TMFilterRecord& r = *record_;
    r.inData = r.outData = nullptr;
    r.inRowBytes = r.outRowBytes = 0;
}

TMOSErr Host::deliverRequests()
{
    TMVRect inRect, outRect;
    int32_t inLo, inHi, outLo, outHi;
    readRequests(&inRect, &inLo, &inHi, &outRect, &outLo, &outHi);
    TMFilterRecord& r = *record_;
    r.inData = r.outData = nullptr;
    r.inRowBytes = r.outRowBytes = 0;
    const bool wantIn = !empty(inRect), wantOut = !empty(outRect);
    if ((wantIn && !requestValid(inRect, inLo, inHi)) || (wantOut && !requestValid(outRect, outLo, outHi))) {
        releaseAreas();
        ++refused_;
        return TMParamErr;
    }
    // A request for the area already buffered is served from that buffer, as hosts
    // do: the input never changes during a run, and a committed output buffer holds
    // what the destination holds.
    auto buffered = [](const Area& a, const TMVRect& rect, int32_t lo, int32_t hi) {
        return a.memory && std::memcmp(&a.rect, &rect, sizeof rect) == 0 && a.lo == lo && a.hi == hi;
    };
    const bool keepIn = wantIn && buffered(in_, inRect, inLo, inHi);
    const bool keepOut = wantOut && buffered(out_, outRect, outLo, outHi);
    if (!keepIn)
        in_ = Area{};
    if (!keepOut)
        out_ = Area{};
    // An in-place host with matching requests hands one buffer for both areas.
    const bool shared = opt_.delivery == Delivery::Direct && wantIn && wantOut && doc_.source == doc_.destination &&
                        std::memcmp(&inRect, &outRect, sizeof inRect) == 0 && inLo == outLo && inHi == outHi;
    if ((wantIn && !keepIn && !deliver(in_, inRect, inLo, inHi, false)) ||
        (wantOut && !keepOut && !shared && !deliver(out_, outRect, outLo, outHi, true))) {
        releaseAreas();
        return TMMemFullErr;
    }
    if (shared && !keepOut) {
        out_.rect = in_.rect;
        out_.lo = in_.lo;
        out_.hi = in_.hi;
        out_.memory = in_.memory;
        out_.rowBytes = in_.rowBytes;
        out_.packedRowBytes = in_.packedRowBytes;
        out_.data = in_.data;
    }
    // A known host bug: 16-bit rows reported as width x planes, half the true step.
    auto reported = [&](const Area& a) {
        return static_cast<int32_t>(opt_.underReportRowBytes && doc_.depth == 16 ? a.packedRowBytes / 2 : a.rowBytes);
    };
    if (wantIn) {
        r.inData = in_.data;
        r.inRowBytes = reported(in_);
    }
    if (wantOut) {
        r.outData = out_.data;
        r.outRowBytes = reported(out_);
    }
    return TMNoErr;
}

TMOSErr Host::advanceState()
{
    ++advances_;
    commitOutput();
    if (opt_.advanceResult != TMNoErr) {
        releaseAreas();
        return opt_.advanceResult;
    }
    return deliverRequests();
}

// --- Progress and cancellation -------------------------------------------------------

TMBoolean Host::abortRequested()
{
    ++polls_;
    if (opt_.abortAtPoll && polls_ >= opt_.abortAtPoll)
        return 1;
    return opt_.abortFlag && opt_.abortFlag->load() ? 1 : 0;
}

void Host::reportProgress(int32_t done, int32_t total)
{
    if (total <= 0 || done < 0 || done > total)
        ++misuses_;
    progress_.emplace_back(done, total);
    if (opt_.onProgress)
        opt_.onProgress(done, total);
}

TMOSErr Host::recordDisplay(const TMPixelMap* map, const TMVRect* srcRect, int32_t dstRow, int32_t dstCol,
                            void* context)
{
    displays_.push_back(RecordDisplay(map, srcRect, dstRow, dstCol, context));
    return displays_.back().result;
}

// --- Descriptors ---------------------------------------------------------------------

TMReadDescriptor Host::openDescriptor(TMHandle descriptor, TMFourCC* keys)
{
    if (!descriptor || descriptor != descriptorHandle_ || reading_) {
        ++misuses_;
        return nullptr;
    }
    keysOffered_.clear();
    for (int k = 0; keys && keys[k] != 0 && k < 64; ++k)
        keysOffered_.push_back(keys[k]);
    reading_ = std::make_unique<Descriptor>();
    reading_->keys = keys;
    return reading_.get();
}

TMOSErr Host::closeDescriptor(TMReadDescriptor token)
{
    if (!reading_ || token != reading_.get()) {
        ++misuses_;
        return TMParamErr;
    }
    const TMOSErr worst = reading_->worst;
    reading_.reset();
    return opt_.closeResult != TMNoErr ? opt_.closeResult : worst;
}

TMBoolean Host::nextKey(TMReadDescriptor token, TMFourCC* key, TMFourCC* type, int32_t* flags)
{
    if (!reading_ || token != reading_.get()) {
        ++misuses_;
        return 0;
    }
    Descriptor& d = *reading_;
    if (d.next >= opt_.descriptor.size())
        return 0;
    d.current = &opt_.descriptor[d.next++];
    *key = d.current->key;
    *type = d.current->type;
    if (flags)
        *flags = 0;
    // The host marks each returned key in the plug-in's list, which must be writable.
    for (TMFourCC* k = d.keys; k && *k != 0; ++k)
        if (*k == d.current->key)
            *k = kNullKey;
    return 1;
}

TMOSErr Host::readInteger(TMReadDescriptor token, int32_t* value)
{
    if (!reading_ || token != reading_.get() || !reading_->current) {
        ++misuses_;
        return TMParamErr;
    }
    Descriptor& d = *reading_;
    TMOSErr e = d.sticky != TMNoErr ? d.sticky : d.current->type == kLong ? d.current->readResult : TMOSErr{TMParamErr};
    if (e >= 0)
        *value = d.current->integer;
    else
        d.sticky = e;
    d.worst = moreSerious(d.worst, e);
    return e;
}

TMOSErr Host::readEnumerated(TMReadDescriptor token, TMFourCC* value)
{
    if (!reading_ || token != reading_.get() || !reading_->current) {
        ++misuses_;
        return TMParamErr;
    }
    Descriptor& d = *reading_;
    TMOSErr e = d.sticky != TMNoErr ? d.sticky : d.current->type != kLong ? d.current->readResult : TMOSErr{TMParamErr};
    if (e >= 0)
        *value = d.current->enumerated;
    else
        d.sticky = e;
    d.worst = moreSerious(d.worst, e);
    return e;
}

TMWriteDescriptor Host::openWriting()
{
    if (writing_) {
        ++misuses_;
        return nullptr;
    }
    writing_ = std::make_unique<std::vector<DescriptorItem>>();
    return writing_.get();
}

TMOSErr Host::put(TMWriteDescriptor token, const DescriptorItem& item)
{
    if (!writing_ || token != writing_.get()) {
        ++misuses_;
        return TMParamErr;
    }
    if (opt_.failPut && ++puts_ == opt_.failPut)
        return TMMemFullErr;
    writing_->push_back(item);
    return TMNoErr;
}

TMOSErr Host::closeWriting(TMWriteDescriptor token, TMHandle* made)
{
    if (!writing_ || token != writing_.get() || !made) {
        ++misuses_;
        return TMParamErr;
    }
    // A host-owned handle holding the descriptor; the plug-in hands it to the record
    // or disposes of it.
    auto block = std::make_unique<HandleBlock>();
    block->memory.reset(new uint8_t[1]());
    block->data = block->memory.get();
    block->size = 1;
    *made = block.get();
    written_[*made] = std::move(*writing_);
    handles_[*made] = std::move(block);
    writing_.reset();
    return TMNoErr;
}

} // namespace tmsim
