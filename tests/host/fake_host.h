// A small fake host for the host-side tests: a buffer suite that can fail the
// allocate call (with or without writing an id) or the lock, and records what is
// outstanding; the fixture checks that nothing is left allocated.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "host_access.h"

namespace fakehost {

// A host's buffer suite that can fail the allocate call (with or without writing an
// id) or the lock, and records what is outstanding.
struct FakeBuffers {
    TMOSErr allocateResult = TMNoErr;
    bool writeIdOnFailure = false;
    bool failLock = false;
    int locks = 0, frees = 0, unlocks = 0;
    int64_t lastSize = 0;
    std::set<void*> live;
};
inline FakeBuffers* fake = nullptr;

inline TMOSErr allocate32(int32_t size, TMBufferID* id)
{
    fake->lastSize = size;
    if (fake->allocateResult != TMNoErr) {
        if (fake->writeIdOnFailure)
            *id = reinterpret_cast<TMBufferID>(0x1234); // garbage a careless plug-in would lock
        return fake->allocateResult;
    }
    void* p = std::malloc(static_cast<size_t>(size));
    fake->live.insert(p);
    *id = p;
    return TMNoErr;
}
inline TMOSErr allocate64(int64_t size, TMBufferID* id)
{
    fake->lastSize = size;
    *id = nullptr;
    return TMMemFullErr; // nothing this large is available here
}
inline void* lockBuffer(TMBufferID id, TMBoolean)
{
    EXPECT_EQ(fake->live.count(id), 1u) << "locked an id the host never handed out";
    ++fake->locks;
    return fake->failLock ? nullptr : id;
}
inline void unlockBuffer(TMBufferID) { ++fake->unlocks; }
inline void freeBuffer(TMBufferID id)
{
    EXPECT_EQ(fake->live.count(id), 1u) << "freed an id the host never handed out";
    fake->live.erase(id);
    std::free(id);
    ++fake->frees;
}

struct HostFixture : ::testing::Test {
    FakeBuffers buffers;
    TMBufferProcs procs{};
    TMFilterRecord record{};
    TMBigDocumentStruct big{};

    void SetUp() override
    {
        fake = &buffers;
        procs.bufferProcsVersion = 2;
        procs.numBufferProcs = 5;
        procs.allocateProc = allocate32;
        procs.lockProc = lockBuffer;
        procs.unlockProc = unlockBuffer;
        procs.freeProc = freeBuffer;
        record.bufferProcs = &procs;
    }
    void TearDown() override
    {
        EXPECT_TRUE(buffers.live.empty()) << "buffers left allocated";
        fake = nullptr;
    }
};

} // namespace fakehost

using fakehost::HostFixture;
