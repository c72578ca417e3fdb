// Host access: the only code that reads or writes the host's filter record. Every
// other part of the plug-in reaches rectangles, image data, handles, buffers,
// progress and cancellation through these functions.
#pragma once

#include <cstdint>
#include <string>

#include "tm_protocol.h"
#include "tm_render.h"

// True when rectangles are exchanged in the 32-bit record: the host supplies it and
// the plug-in has declared that it uses it.
bool TMUses32BitCoordinates(const TMFilterRecord* record);

// Rectangles, in whichever form the host uses (16-bit fields widen to int32).
TMVRect getFilterRect(const TMFilterRecord* record);
TMVRect getInRect(const TMFilterRecord* record);
void setInRect(TMFilterRecord* record, const TMVRect& rect);
void setOutRect(TMFilterRecord* record, const TMVRect& rect);
void setMaskRect(TMFilterRecord* record, const TMVRect& rect);

// Row distance of delivered data: the host's row bytes, or the packed distance when a
// host reports less than a packed row (some hosts under-report for 16-bit data).
int64_t TMEffectiveRowBytes(int32_t hostRowBytes, int32_t width, int32_t planes, int32_t sampleBytes);

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
