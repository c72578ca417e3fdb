#include "host_access.h"

#include <algorithm>
#include <climits>

namespace {

TMVRect widen(const TMRect16& r) { return TMVRect{r.top, r.left, r.bottom, r.right}; }

// 16-bit fields hold what fits; a host that needs more uses the 32-bit record.
int16_t narrow(int32_t v) { return static_cast<int16_t>(v < INT16_MIN ? INT16_MIN : v > INT16_MAX ? INT16_MAX : v); }
TMRect16 narrow(const TMVRect& r) { return TMRect16{narrow(r.top), narrow(r.left), narrow(r.bottom), narrow(r.right)}; }

// Slots of the buffer suite, counted from allocateProc = 0.
constexpr int kAllocateSlot = 0, kLockSlot = 1, kUnlockSlot = 2, kFreeSlot = 3, kAllocate64Slot = 6;

bool hasBufferProc(const TMBufferProcs* procs, int slot) { return procs && procs->numBufferProcs > slot; }

} // namespace

void TMDeclare32BitCoordinates(TMFilterRecord* record)
{
    if (record->bigDocumentData)
        record->bigDocumentData->PluginUsing32BitCoordinates = 1;
}

bool TMUses32BitCoordinates(const TMFilterRecord* record)
{
    return record->bigDocumentData && record->bigDocumentData->PluginUsing32BitCoordinates != 0;
}

int32_t TMHostDepth(const TMFilterRecord* record) { return record->depth; }

int16_t TMHostImageMode(const TMFilterRecord* record) { return record->imageMode; }

intptr_t TMHostMainWindow(const TMFilterRecord* record)
{
    const auto* platform = static_cast<const TMPlatformData*>(record->platformData);
    return platform ? platform->hwnd : 0;
}

intptr_t TMAboutOwner(const TMAboutRecord* about)
{
    return about && about->platformData ? about->platformData->hwnd : 0;
}

bool TMHostDisplaysPixels(const TMFilterRecord* record) { return record->displayPixels != nullptr; }

TMOSErr TMDisplayPixels(const TMFilterRecord* record, const TMPixelMap& map, const TMVRect& source, int32_t dstRow,
                        int32_t dstCol, void* context)
{
    if (!record->displayPixels)
        return TMParamErr;
    return record->displayPixels(&map, &source, dstRow, dstCol, context);
}

void TMLimitMaxSpace(TMFilterRecord* record, int32_t limit)
{
    if (record->maxSpace > limit)
        record->maxSpace = limit;
}

TMHandle TMParametersHandle(const TMFilterRecord* record) { return record->parameters; }

void TMSetParametersHandle(TMFilterRecord* record, TMHandle handle) { record->parameters = handle; }

TMVRect getFilterRect(const TMFilterRecord* record)
{
    return TMUses32BitCoordinates(record) ? record->bigDocumentData->filterRect32 : widen(record->filterRect);
}

TMVRect getInRect(const TMFilterRecord* record)
{
    return TMUses32BitCoordinates(record) ? record->bigDocumentData->inRect32 : widen(record->inRect);
}

void setInRect(TMFilterRecord* record, const TMVRect& rect)
{
    if (TMUses32BitCoordinates(record))
        record->bigDocumentData->inRect32 = rect;
    else
        record->inRect = narrow(rect);
}

void setOutRect(TMFilterRecord* record, const TMVRect& rect)
{
    if (TMUses32BitCoordinates(record))
        record->bigDocumentData->outRect32 = rect;
    else
        record->outRect = narrow(rect);
}

void setMaskRect(TMFilterRecord* record, const TMVRect& rect)
{
    if (TMUses32BitCoordinates(record))
        record->bigDocumentData->maskRect32 = rect;
    else
        record->maskRect = narrow(rect);
}

int64_t TMEffectiveRowBytes(int32_t hostRowBytes, int32_t width, int32_t planes, int32_t sampleBytes)
{
    const int64_t packed = int64_t{width} * planes * sampleBytes;
    return hostRowBytes < packed ? packed : hostRowBytes;
}

int32_t TMFilterPlanes(const TMFilterRecord* record)
{
    return record->planes >= 1 && record->planes <= 3 ? record->planes : 3;
}

int16_t TMRequestWholeImage(TMFilterRecord* record, bool withOutput)
{
    const TMVRect rect = getFilterRect(record);
    setInRect(record, rect);
    if (withOutput)
        setOutRect(record, rect);
    record->inputRate = 0x10000;
    const int16_t highPlane = static_cast<int16_t>(TMFilterPlanes(record) - 1);
    record->inLoPlane = record->outLoPlane = 0;
    record->inHiPlane = record->outHiPlane = highPlane;
    return TMAdvanceState(record);
}

TMHostImage TMDeliveredImage(const TMFilterRecord* record, int32_t sampleFormat, int32_t width, int32_t height)
{
    const int32_t planes = TMFilterPlanes(record);
    const int32_t sampleBytes = sampleFormat == TMSampleFloat32 ? 4 : sampleFormat == TMSample16 ? 2 : 1;
    TMHostImage image{};
    image.sampleFormat = sampleFormat;
    image.width = width;
    image.height = height;
    image.planes = planes;
    image.inPixelStride = planes;
    image.outPixelStride = planes;
    image.inData = record->inData;
    image.inRowBytes = TMEffectiveRowBytes(record->inRowBytes, width, planes, sampleBytes);
    image.outData = record->outData;
    image.outRowBytes = TMEffectiveRowBytes(record->outRowBytes, width, planes, sampleBytes);
    return image;
}

void TMEndRequests(TMFilterRecord* record)
{
    const TMVRect empty{0, 0, 0, 0};
    setInRect(record, empty);
    setOutRect(record, empty);
    setMaskRect(record, empty);
    record->inRect = record->outRect = record->maskRect = TMRect16{0, 0, 0, 0};
}

void TMSetPreviewSampling(TMFilterRecord* record)
{
    record->inputRate = record->maskRate = 0x10000;
    record->inputPadding = record->maskPadding = 255;
}

int16_t TMAcquireHostBuffer(const TMFilterRecord* record, int64_t bytes, TMHostBuffer* buffer)
{
    *buffer = TMHostBuffer{nullptr, nullptr};
    const TMBufferProcs* procs = record->bufferProcs;
    if (bytes <= 0 || !hasBufferProc(procs, kFreeSlot) || !procs->allocateProc || !procs->lockProc || !procs->freeProc)
        return TMMemFullErr;
    TMBufferID id = nullptr;
    TMOSErr err;
    if (bytes <= INT32_MAX) {
        err = procs->allocateProc(static_cast<int32_t>(bytes), &id);
    } else if (hasBufferProc(procs, kAllocate64Slot) && procs->allocateProc64) {
        err = procs->allocateProc64(bytes, &id);
    } else {
        return TMMemFullErr; // too large for a 32-bit allocate call
    }
    // A failed allocation leaves the id undefined: never lock or free it.
    if (err != TMNoErr || !id)
        return TMMemFullErr;
    void* data = procs->lockProc(id, 1);
    if (!data) {
        procs->freeProc(id); // a buffer whose lock failed is only freed
        return TMMemFullErr;
    }
    *buffer = TMHostBuffer{id, data};
    return TMNoErr;
}

void TMReleaseHostBuffer(const TMFilterRecord* record, TMHostBuffer* buffer)
{
    if (buffer->id) {
        const TMBufferProcs* procs = record->bufferProcs;
        if (hasBufferProc(procs, kUnlockSlot) && procs->unlockProc)
            procs->unlockProc(buffer->id);
        if (hasBufferProc(procs, kFreeSlot) && procs->freeProc)
            procs->freeProc(buffer->id);
    }
    *buffer = TMHostBuffer{nullptr, nullptr};
}

namespace {

float* hostAcquire(void* context, int64_t bytes, intptr_t* id)
{
    TMHostBuffer buffer;
    if (TMAcquireHostBuffer(static_cast<const TMFilterRecord*>(context), bytes, &buffer) != TMNoErr)
        return nullptr;
    *id = reinterpret_cast<intptr_t>(buffer.id);
    return static_cast<float*>(buffer.data);
}

void hostRelease(void* context, intptr_t id)
{
    TMHostBuffer buffer{reinterpret_cast<TMBufferID>(id), nullptr};
    TMReleaseHostBuffer(static_cast<const TMFilterRecord*>(context), &buffer);
}

bool hasHandleProcs(const TMFilterRecord* record)
{
    return record->handleProcs && record->handleProcs->numHandleProcs >= 6;
}

} // namespace

TMBufferAllocator TMHostBufferAllocator(const TMFilterRecord* record)
{
    return TMBufferAllocator{const_cast<TMFilterRecord*>(record), hostAcquire, hostRelease};
}

TMHandle TMNewHandle(const TMFilterRecord* record, int32_t bytes)
{
    return hasHandleProcs(record) && record->handleProcs->newProc ? record->handleProcs->newProc(bytes) : nullptr;
}

void* TMLockHandle(const TMFilterRecord* record, TMHandle handle)
{
    if (!handle || !hasHandleProcs(record) || !record->handleProcs->lockProc)
        return nullptr;
    return record->handleProcs->lockProc(handle, 1);
}

void TMUnlockHandle(const TMFilterRecord* record, TMHandle handle)
{
    if (handle && hasHandleProcs(record) && record->handleProcs->unlockProc)
        record->handleProcs->unlockProc(handle);
}

void TMDisposeHandle(const TMFilterRecord* record, TMHandle handle)
{
    if (handle && hasHandleProcs(record) && record->handleProcs->disposeProc)
        record->handleProcs->disposeProc(handle);
}

int16_t TMAdvanceState(const TMFilterRecord* record)
{
    return record->advanceState ? record->advanceState() : static_cast<int16_t>(TMFilterBadParameters);
}

void TMReportProgress(const TMFilterRecord* record, int32_t done, int32_t total)
{
    if (record->progressProc)
        record->progressProc(done, total);
}

bool TMAbortRequested(const TMFilterRecord* record) { return record->abortProc && record->abortProc() != 0; }

void TMSetErrorString(TMFilterRecord* record, const std::string& text)
{
    unsigned char(*target)[256] = record->errorString;
    if (!target)
        return;
    const size_t n = std::min<size_t>(text.size(), 255);
    (*target)[0] = static_cast<unsigned char>(n);
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), *target + 1);
}

bool TMHasDescriptor(const TMFilterRecord* record)
{
    const TMDescriptorParameters* dp = record->descriptorParameters;
    if (!dp || !dp->readDescriptorProcs || !dp->descriptor)
        return false;
    const TMReadDescriptorProcs* procs = dp->readDescriptorProcs;
    return procs->openReadDescriptorProc && procs->closeReadDescriptorProc && procs->getKeyProc &&
           procs->getIntegerProc && procs->getEnumeratedProc;
}

TMDescriptorReading TMOpenDescriptor(const TMFilterRecord* record, TMFourCC* keys)
{
    const TMDescriptorParameters* dp = record->descriptorParameters;
    const TMReadDescriptorProcs* procs = dp->readDescriptorProcs;
    return TMDescriptorReading{procs, procs->openReadDescriptorProc(dp->descriptor, keys)};
}

bool TMNextDescriptorKey(const TMDescriptorReading& reading, TMFourCC* key)
{
    TMFourCC type = 0;
    int32_t flags = 0;
    return reading.procs->getKeyProc(reading.token, key, &type, &flags) != 0;
}

TMOSErr TMReadDescriptorInteger(const TMDescriptorReading& reading, int32_t* value)
{
    return reading.procs->getIntegerProc(reading.token, value);
}

TMOSErr TMReadDescriptorEnumerated(const TMDescriptorReading& reading, TMFourCC* value)
{
    return reading.procs->getEnumeratedProc(reading.token, value);
}

TMOSErr TMCloseDescriptor(TMFilterRecord* record, const TMDescriptorReading& reading)
{
    const TMOSErr closed = reading.procs->closeReadDescriptorProc(reading.token);
    TMDescriptorParameters* dp = record->descriptorParameters;
    TMDisposeHandle(record, dp->descriptor);
    dp->descriptor = nullptr;
    return closed;
}

bool TMDescriptorShowsDialog(const TMFilterRecord* record)
{
    return record->descriptorParameters && record->descriptorParameters->playInfo == TMDialogDisplay;
}

bool TMCanWriteDescriptor(const TMFilterRecord* record)
{
    const TMDescriptorParameters* dp = record->descriptorParameters;
    if (!dp || !dp->writeDescriptorProcs)
        return false;
    const TMWriteDescriptorProcs* procs = dp->writeDescriptorProcs;
    // putEnumeratedProc is the ninth procedure: a shorter table does not hold it.
    return procs->numWriteDescriptorProcs >= 9 && procs->openWriteDescriptorProc && procs->closeWriteDescriptorProc &&
           procs->putIntegerProc && procs->putEnumeratedProc;
}

TMDescriptorWriting TMOpenWriteDescriptor(const TMFilterRecord* record)
{
    const TMWriteDescriptorProcs* procs = record->descriptorParameters->writeDescriptorProcs;
    return TMDescriptorWriting{procs, procs->openWriteDescriptorProc()};
}

TMOSErr TMWriteDescriptorInteger(const TMDescriptorWriting& writing, TMFourCC key, int32_t value)
{
    return writing.procs->putIntegerProc(writing.token, key, value);
}

TMOSErr TMWriteDescriptorEnumerated(const TMDescriptorWriting& writing, TMFourCC key, TMFourCC type, TMFourCC value)
{
    return writing.procs->putEnumeratedProc(writing.token, key, type, value);
}

TMOSErr TMCloseWriteDescriptor(TMFilterRecord* record, const TMDescriptorWriting& writing, bool keep)
{
    TMHandle made = nullptr;
    const TMOSErr closed = writing.procs->closeWriteDescriptorProc(writing.token, &made);
    if (!made)
        return closed;
    TMDescriptorParameters* dp = record->descriptorParameters;
    if (!keep || closed < 0) {
        TMDisposeHandle(record, made);
        return closed;
    }
    if (dp->descriptor && dp->descriptor != made)
        TMDisposeHandle(record, dp->descriptor);
    dp->descriptor = made;
    dp->recordInfo = TMRecordOptional;
    return closed;
}
