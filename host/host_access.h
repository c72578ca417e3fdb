// Host access: the only code that reads or writes the host's filter record. Every
// other part of the plug-in reaches rectangles, image data, handles, buffers,
// progress and cancellation through these functions.
#pragma once

#include <cstdint>
#include <string>

#include "tm_protocol.h"
#include "tm_render.h"

// --- The host's image and the plug-in's records --------------------------------
// Declares that the plug-in exchanges rectangles in the 32-bit record, when the host
// supplies it (every call but About).
void TMDeclare32BitCoordinates(TMFilterRecord* record);
// True when rectangles are exchanged in the 32-bit record: the host supplies it and
// the plug-in has declared that it uses it.
bool TMUses32BitCoordinates(const TMFilterRecord* record);

// Bits per sample of the host's image (8, 16 or 32; 0 from hosts that predate the
// field) and its image mode.
int32_t TMHostDepth(const TMFilterRecord* record);
int16_t TMHostImageMode(const TMFilterRecord* record);

// The host's main window (the first word of its platform data), 0 when it gives none:
// the owner of the settings dialog. TMAboutOwner is the same for the About call.
intptr_t TMHostMainWindow(const TMFilterRecord* record);
intptr_t TMAboutOwner(const TMAboutRecord* about);

// Whether the host draws pixel maps, and the drawing of `map` (its `source` rectangle
// at dstRow, dstCol of the device context `context`) by the host.
bool TMHostDisplaysPixels(const TMFilterRecord* record);
TMOSErr TMDisplayPixels(const TMFilterRecord* record, const TMPixelMap& map, const TMVRect& source, int32_t dstRow,
                        int32_t dstCol, void* context);

// Lowers the host's limit on the bytes the plug-in accesses at once to `limit`; a
// smaller limit is kept.
void TMLimitMaxSpace(TMFilterRecord* record, int32_t limit);

// The handle of the settings record, which the host keeps between runs (null until
// the plug-in creates it).
TMHandle TMParametersHandle(const TMFilterRecord* record);
void TMSetParametersHandle(TMFilterRecord* record, TMHandle handle);

// Rectangles, in whichever form the host uses (16-bit fields widen to int32).
TMVRect getFilterRect(const TMFilterRecord* record);
TMVRect getInRect(const TMFilterRecord* record);
void setInRect(TMFilterRecord* record, const TMVRect& rect);
void setOutRect(TMFilterRecord* record, const TMVRect& rect);
void setMaskRect(TMFilterRecord* record, const TMVRect& rect);

// Row distance of delivered data: the host's row bytes, or the packed distance when a
// host reports less than a packed row (some hosts under-report for 16-bit data).
int64_t TMEffectiveRowBytes(int32_t hostRowBytes, int32_t width, int32_t planes, int32_t sampleBytes);

// --- Image requests ------------------------------------------------------------
// Planes the filter reads and writes: the host's plane count limited to 1..3 (any
// other count: 3, the colour planes of an image with more).
int32_t TMFilterPlanes(const TMFilterRecord* record);
// Requests the whole filter rectangle as input, and as output when `withOutput`,
// planes 0..TMFilterPlanes - 1, without subsampling, in one advanceState. Returns
// its code (TMFilterBadParameters when the host has no advanceState).
int16_t TMRequestWholeImage(TMFilterRecord* record, bool withOutput);
// The image delivered for that request, as the engine takes it: `width` x `height`
// pixels of TMFilterPlanes samples of the format's size, rows stepped by the host's
// row bytes (packed where it reports less). Its settings fields (lutMode, planeMin,
// measurePlaneMin) are zero.
TMHostImage TMDeliveredImage(const TMFilterRecord* record, int32_t sampleFormat, int32_t width, int32_t height);
// Empties the input, output and mask requests, in the 32-bit record and in the 16-bit
// fields alike (some hosts test those even when the 32-bit record is in use), which
// ends the host's continue loop.
void TMEndRequests(TMFilterRecord* record);
// Input and mask at full rate (1.0) with padding 255: the sampling the preview asks
// for when its size is chosen.
void TMSetPreviewSampling(TMFilterRecord* record);

// A host buffer: allocated and locked together, unlocked and freed together.
struct TMHostBuffer {
    TMBufferID id;
    void* data;
};

// Allocates and locks `bytes` bytes. Returns TMNoErr, or TMMemFullErr with nothing
// held: when the suite is missing, the size does not fit the suite's allocate call,
// the allocate call reports an error or returns no id, or the lock yields no pointer
// (the buffer is then freed).
int16_t TMAcquireHostBuffer(const TMFilterRecord* record, int64_t bytes, TMHostBuffer* buffer);
// Unlocks and frees a held buffer and zeroes it; does nothing for an empty one.
void TMReleaseHostBuffer(const TMFilterRecord* record, TMHostBuffer* buffer);

// The engine's working-buffer allocator over the host's buffer suite.
TMBufferAllocator TMHostBufferAllocator(const TMFilterRecord* record);

// Handles. Each returns null (or does nothing) when the host has no handle suite.
TMHandle TMNewHandle(const TMFilterRecord* record, int32_t bytes);
void* TMLockHandle(const TMFilterRecord* record, TMHandle handle);
void TMUnlockHandle(const TMFilterRecord* record, TMHandle handle);
void TMDisposeHandle(const TMFilterRecord* record, TMHandle handle);

// State, progress and cancellation. Without advanceState the result is
// TMFilterBadParameters; without progress or abort procedures nothing happens.
int16_t TMAdvanceState(const TMFilterRecord* record);
void TMReportProgress(const TMFilterRecord* record, int32_t done, int32_t total);
bool TMAbortRequested(const TMFilterRecord* record);

// Writes `text` (at most 255 bytes of it) into the record's error string, a Pascal
// string; does nothing when the host gives none.
void TMSetErrorString(TMFilterRecord* record, const std::string& text);

// --- Scripting: the descriptor the host plays back at Start ---------------------
struct TMDescriptorReading {
    const TMReadDescriptorProcs* procs;
    TMReadDescriptor token; // null: the host refused to open the descriptor
};
// True when the host hands over a descriptor that can be read: descriptor parameters
// with the read procedures used here (open, close, key, integer, enumerated) and a
// descriptor. Only then does the host's playInfo decide about the dialog.
bool TMHasDescriptor(const TMFilterRecord* record);
// Opens that descriptor with the zero-terminated key list, into which the host writes
// (a fresh writable array for every open).
TMDescriptorReading TMOpenDescriptor(const TMFilterRecord* record, TMFourCC* keys);
// The next key the host yields; false at the end.
bool TMNextDescriptorKey(const TMDescriptorReading& reading, TMFourCC* key);
// The current key's value. The host's code: TMNoErr, TMCoercedParamErr (converted,
// still valid) or an error, after which the value is not set.
TMOSErr TMReadDescriptorInteger(const TMDescriptorReading& reading, int32_t* value);
TMOSErr TMReadDescriptorEnumerated(const TMDescriptorReading& reading, TMFourCC* value);
// Closes the reading and disposes of the consumed descriptor, which the record then no
// longer names. Returns the host's code for the close.
TMOSErr TMCloseDescriptor(TMFilterRecord* record, const TMDescriptorReading& reading);
// Whether the host asks for the dialog along with its descriptor (playInfo).
bool TMDescriptorShowsDialog(const TMFilterRecord* record);

// --- Scripting: the descriptor the plug-in hands back for recording -------------
struct TMDescriptorWriting {
    const TMWriteDescriptorProcs* procs;
    TMWriteDescriptor token; // null: the host refused to open one
};
// True when the host offers the write procedures used here (open, close, integer,
// enumerated) within the count its table declares.
bool TMCanWriteDescriptor(const TMFilterRecord* record);
TMDescriptorWriting TMOpenWriteDescriptor(const TMFilterRecord* record);
TMOSErr TMWriteDescriptorInteger(const TMDescriptorWriting& writing, TMFourCC key, int32_t value);
TMOSErr TMWriteDescriptorEnumerated(const TMDescriptorWriting& writing, TMFourCC key, TMFourCC type, TMFourCC value);
// Closes the writing. When `keep`, the host's new descriptor becomes the record's
// (a descriptor the record still names is disposed of first) and the host is told
// the dialog may be on or off when it is played back; otherwise the new descriptor
// is disposed of. Returns the host's code for the close.
TMOSErr TMCloseWriteDescriptor(TMFilterRecord* record, const TMDescriptorWriting& writing, bool keep);
