// The plug-in's entry point driven by the simulated host through whole filter runs:
// selector sequences, every allocation and lock failing in turn, cancellation at
// every poll, recorded descriptors, odd image layouts and host generations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "plugin_main.h"
#include "scripting.h"
#include "shown_messages.h"
#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_preview_host.h"
#include "tm_render.h"
#include "tm_sim_host.h"
#include "tm_sim_run.h"

namespace {

using tmsim::DescriptorItem;
using tmsim::Document;
using tmsim::Host;
using tmsim::Options;

constexpr int32_t W = 150, H = 110;

// An HDR test picture: a smooth gradient over 12 stops with texture and colour.
template <typename T>
std::vector<T> picture(int32_t planes, int32_t stride)
{
    std::vector<T> v(static_cast<size_t>(W) * H * stride);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int32_t p = 0; p < stride; ++p) {
                const double stops = 12.0 * x / W + std::sin(0.3 * y + 0.7 * p) + 0.25 * ((x * 7 + y * 13) % 5);
                const double value = std::exp2(stops - 10.0) * (1.0 + 0.3 * p);
                T& s = v[(static_cast<size_t>(y) * W + x) * stride + p];
                if constexpr (sizeof(T) == 2)
                    s = static_cast<T>(p < planes ? std::min(32768.0, 32768.0 * value / 8.0) : 1000 + p);
                else
                    s = static_cast<T>(p < planes ? value : 0.5 + p);
            }
    return v;
}

template <typename T>
Document document(const std::vector<T>& in, std::vector<T>& out, int32_t planes, int32_t stride = 0)
{
    Document d;
    d.source = in.data();
    d.destination = out.data();
    d.width = W;
    d.height = H;
    d.planes = planes;
    d.pixelStride = stride;
    d.rowBytes = int64_t{W} * (stride ? stride : planes) * static_cast<int64_t>(sizeof(T));
    d.depth = sizeof(T) == 2 ? 16 : 32;
    d.imageMode = sizeof(T) == 2 ? TMModeRGB48 : TMModeRGB96;
    return d;
}

// The same image through the engine's stage sequence alone, with heap buffers.
template <typename T>
std::vector<T> reference(const std::vector<T>& in, int32_t planes, int32_t stride, const TMParameters& params)
{
    std::vector<T> out = in;
    const int32_t S = static_cast<int32_t>(sizeof(T));
    const int32_t format = S == 2 ? TMSample16 : TMSampleFloat32;
    const TMHostImage image{format,     W,
                            H,          std::min(planes, 3),
                            stride,     stride,
                            in.data(),  int64_t{W} * stride * S,
                            out.data(), int64_t{W} * stride * S,
                            0,          {0.0f, 0.0f, 0.0f},
                            0};
    EXPECT_EQ(TMRunStages(params, image, TMHeapAllocator(), TMProgressSink{}), TMResultOK);
    return out;
}

TMParameters defaults(int32_t format)
{
    TMParameters p{};
    applyDefaults(&p, format);
    return p;
}

const TMParameters& settingsOf(const Host& host) { return *static_cast<const TMParameters*>(host.parametersData()); }
const TMGlobals& globalsOf(const Host& host) { return *static_cast<const TMGlobals*>(host.globalsData()); }

// After any run: no buffer outstanding, no handle locked, no misuse of the suites,
// and only the two handles the plug-in keeps between runs.
void expectClean(const Host& host)
{
    EXPECT_EQ(host.liveBuffers(), 0) << "buffers left allocated";
    EXPECT_EQ(host.lockedHandles(), 0) << "handles left locked";
    EXPECT_EQ(host.misuses(), 0) << "ids or handles the host never handed out";
}

struct SimRuns : ::testing::Test {
    void SetUp() override { TMRecordedMessages().clear(); }
};

} // namespace

TEST_F(SimRuns, AMenuRunGivesTheStageSequencesPixelsInBothDepths)
{
    const std::vector<float> in = picture<float>(3, 3);
    std::vector<float> out(in.size());
    Host host(PluginMain, document(in, out, 3));
    const tmsim::RunResult r = host.run();
    ASSERT_EQ(r.result, TMNoErr);
    EXPECT_EQ(r.calls, (std::vector<int16_t>{1, 2, 3, 4, 5})) << "one continue ends the loop";
    EXPECT_EQ(out, reference(in, 3, 3, defaults(TMSampleFloat32)));
    EXPECT_EQ(host.advanceCalls(), 1) << "the whole rectangle at once";
    EXPECT_EQ(host.bufferAllocations(), 3);
    EXPECT_EQ(host.progress(), (std::vector<std::pair<int32_t, int32_t>>{{0, 100}, {5, 100}, {30, 100}, {70, 100}}));
    EXPECT_EQ(host.liveHandles(), 2) << "parameters and globals stay with the host";
    EXPECT_EQ(host.record().bigDocumentData->PluginUsing32BitCoordinates, 1);
    EXPECT_LE(host.record().maxSpace, 0x8000F);
    expectClean(host);

    const std::vector<uint16_t> in16 = picture<uint16_t>(3, 3);
    std::vector<uint16_t> out16(in16.size());
    Host host16(PluginMain, document(in16, out16, 3));
    ASSERT_EQ(host16.run().result, TMNoErr);
    EXPECT_EQ(settingsOf(host16).settings.strength, defaults(TMSample16).settings.strength);
    EXPECT_EQ(out16, reference(in16, 3, 3, defaults(TMSample16)));
    expectClean(host16);
}

TEST_F(SimRuns, PaddedUnderReportedAndPlanarSubsetDeliveriesGiveTheSamePixels)
{
    const std::vector<float> in = picture<float>(3, 3);
    const std::vector<float> expected = reference(in, 3, 3, defaults(TMSampleFloat32));
    for (int32_t padding : {4, 12, 100}) {
        std::vector<float> out(in.size());
        Options o;
        o.rowPadding = padding;
        Host host(PluginMain, document(in, out, 3), o);
        ASSERT_EQ(host.run().result, TMNoErr) << padding;
        EXPECT_EQ(out, expected) << "rows " << padding << " bytes longer than the data";
        EXPECT_EQ(host.paddingWrites(), 0) << "pad bytes written";
        expectClean(host);
    }
    // A host that reports 16-bit rows at half their true step.
    const std::vector<uint16_t> in16 = picture<uint16_t>(3, 3);
    std::vector<uint16_t> out16(in16.size());
    Options o;
    o.underReportRowBytes = true;
    Host host16(PluginMain, document(in16, out16, 3), o);
    ASSERT_EQ(host16.run().result, TMNoErr);
    EXPECT_EQ(out16, reference(in16, 3, 3, defaults(TMSample16)));
    // Direct delivery in place (the tool's host) equals host buffers.
    std::vector<float> inPlace = in;
    Options direct;
    direct.delivery = tmsim::Delivery::Direct;
    Document d = document(inPlace, inPlace, 3);
    Host hostDirect(PluginMain, d, direct);
    ASSERT_EQ(hostDirect.run().result, TMNoErr);
    EXPECT_EQ(inPlace, expected);
    expectClean(hostDirect);
}

TEST_F(SimRuns, FourPlanesLeaveTheFourthAloneAndFewerPlanesRender)
{
    for (auto delivery : {tmsim::Delivery::Copy, tmsim::Delivery::Direct}) {
        std::vector<float> in = picture<float>(3, 4);
        const std::vector<float> original = in;
        std::vector<float> out(in.size());
        Options o;
        o.delivery = delivery;
        const bool inPlace = delivery == tmsim::Delivery::Direct;
        Host host(PluginMain, document(in, inPlace ? in : out, 4), o);
        ASSERT_EQ(host.run().result, TMNoErr);
        const std::vector<float>& result = inPlace ? in : out;
        const std::vector<float> expected = reference(original, 3, 4, defaults(TMSampleFloat32));
        EXPECT_EQ(result, expected);
        for (size_t i = 3; i < result.size(); i += 4)
            ASSERT_EQ(result[i], original[i]) << "transparency changed at " << i / 4;
        expectClean(host);
    }
    // One and two planes of an RGB document: only those planes are requested.
    for (int32_t planes : {1, 2}) {
        const std::vector<float> in = picture<float>(planes, planes);
        std::vector<float> out(in.size());
        Host host(PluginMain, document(in, out, planes));
        ASSERT_EQ(host.run().result, TMNoErr) << planes;
        EXPECT_EQ(out, reference(in, planes, planes, defaults(TMSampleFloat32))) << planes;
        EXPECT_EQ(host.refusedRequests(), 0);
    }
}

TEST_F(SimRuns, HostsWithAndWithoutThe32BitRecordEndTheLoop)
{
    const std::vector<float> in = picture<float>(3, 3);
    const std::vector<float> expected = reference(in, 3, 3, defaults(TMSampleFloat32));
    for (bool big : {false, true}) {
        std::vector<float> out(in.size());
        Options o;
        o.bigDocument = big;
        Host host(PluginMain, document(in, out, 3), o);
        const tmsim::RunResult r = host.run();
        ASSERT_EQ(r.result, TMNoErr) << big;
        EXPECT_EQ(r.calls.size(), 5u) << "the loop ended after one continue";
        EXPECT_EQ(out, expected);
        const TMFilterRecord& rec = host.record();
        EXPECT_EQ(rec.inRect.right, 0);
        EXPECT_EQ(rec.outRect.bottom, 0);
        if (big) {
            EXPECT_EQ(rec.bigDocumentData->inRect32.right, 0);
            EXPECT_EQ(rec.bigDocumentData->outRect32.bottom, 0);
            EXPECT_EQ(rec.bigDocumentData->maskRect32.right, 0);
        }
        expectClean(host);
    }
}

TEST_F(SimRuns, EveryFailedAllocationOrLockEndsWithMemFullAndNothingHeld)
{
    const std::vector<float> in = picture<float>(3, 3);
    int allocations = 0, locks = 0;
    {
        std::vector<float> out(in.size());
        Host probe(PluginMain, document(in, out, 3));
        ASSERT_EQ(probe.run().result, TMNoErr);
        allocations = probe.bufferAllocations();
        locks = probe.bufferLocks();
    }
    ASSERT_EQ(allocations, 3);
    for (int n = 1; n <= allocations + locks; ++n) {
        std::vector<float> out(in.size());
        Options o;
        (n <= allocations ? o.failAllocation : o.failLock) = n <= allocations ? n : n - allocations;
        Host host(PluginMain, document(in, out, 3), o);
        const tmsim::RunResult r = host.run();
        EXPECT_EQ(r.result, TMMemFullErr) << "failure " << n;
        EXPECT_EQ(r.lastSelector, TMSelectorStart);
        EXPECT_EQ(out, in) << "the document changed after failure " << n;
        expectClean(host);
    }
    // The handles: the first is the settings, the second the working record, and a
    // failed lock of either at any selector.
    for (int n = 1; n <= 2; ++n) {
        std::vector<float> out(in.size());
        Options o;
        o.failHandle = n;
        Host host(PluginMain, document(in, out, 3), o);
        const tmsim::RunResult r = host.run();
        EXPECT_EQ(r.result, TMMemFullErr);
        EXPECT_EQ(r.lastSelector, TMSelectorParameters);
        expectClean(host);
    }
    for (int n = 1; n <= 8; ++n) {
        std::vector<float> out(in.size());
        Options o;
        o.failHandleLock = n;
        Host host(PluginMain, document(in, out, 3), o);
        const tmsim::RunResult r = host.run();
        EXPECT_EQ(r.result, TMMemFullErr) << n;
        // Parameters, Prepare and Start lock two handles each before the render;
        // Finish locks them again after it.
        EXPECT_EQ(r.lastSelector, n <= 2   ? TMSelectorParameters
                                  : n <= 4 ? TMSelectorPrepare
                                  : n <= 6 ? TMSelectorStart
                                           : TMSelectorFinish)
            << n;
        if (n <= 6) {
            EXPECT_EQ(out, in) << n;
        }
        expectClean(host);
    }
}

TEST_F(SimRuns, CancelAtEveryPollEndsWithUserCanceledAndTheDocumentUntouched)
{
    const std::vector<float> in = picture<float>(3, 3);
    int polls = 0;
    {
        std::vector<float> out(in.size());
        Host probe(PluginMain, document(in, out, 3));
        ASSERT_EQ(probe.run().result, TMNoErr);
        polls = probe.abortPolls();
    }
    ASSERT_EQ(polls, 5);
    for (int n = 1; n <= polls; ++n) {
        std::vector<float> out(in.size());
        Options o;
        o.abortAtPoll = n;
        Host host(PluginMain, document(in, out, 3), o);
        const tmsim::RunResult r = host.run();
        EXPECT_EQ(r.result, TMUserCanceledErr) << "poll " << n;
        EXPECT_EQ(r.calls, (std::vector<int16_t>{1, 2, 3})) << "no continue or finish after a failed start";
        EXPECT_EQ(host.abortPolls(), n) << "the render stops at the poll that fired";
        EXPECT_EQ(out, in) << "output committed after a cancel at poll " << n;
        expectClean(host);
    }
    // A cancel between host calls (the user pressed Escape): finish, no continue.
    std::vector<float> out(in.size());
    std::atomic<bool> flag{false};
    Options o;
    o.abortFlag = &flag;
    Host host(PluginMain, document(in, out, 3), o);
    ASSERT_EQ(host.call(TMSelectorParameters), TMNoErr);
    ASSERT_EQ(host.call(TMSelectorPrepare), TMNoErr);
    flag = true;
    EXPECT_EQ(host.call(TMSelectorStart), TMUserCanceledErr);
    EXPECT_EQ(out, in);
    expectClean(host);
}

TEST_F(SimRuns, SelectorSequencesOfMenuRunsRepeatsAndRefusals)
{
    const std::vector<float> in = picture<float>(3, 3);
    std::vector<float> out(in.size());
    Host host(PluginMain, document(in, out, 3));
    ASSERT_EQ(host.run().result, TMNoErr);
    EXPECT_EQ(globalsOf(host).dialogPending, 0);
    const std::vector<float> first = out;

    // A repeat (no Parameters) keeps the settings the previous run left.
    const_cast<TMParameters&>(settingsOf(host)).settings.strength = 20;
    std::fill(out.begin(), out.end(), 0.0f);
    host.rearm(Options{});
    ASSERT_EQ(host.run(false).result, TMNoErr);
    TMParameters weaker = defaults(TMSampleFloat32);
    weaker.settings.strength = 20;
    EXPECT_EQ(out, reference(in, 3, 3, weaker));
    EXPECT_NE(out, first);
    // A menu run resets them to the defaults.
    host.rearm(Options{});
    ASSERT_EQ(host.run(true).result, TMNoErr);
    EXPECT_EQ(out, first);
    EXPECT_EQ(host.liveHandles(), 2) << "the handles are reused, not re-created";
    expectClean(host);

    // Refused documents stop at Prepare: 8-bit with one message, grey and CMYK without.
    struct Case {
        int32_t depth;
        int16_t mode;
        int messages;
    };
    for (const Case c : {Case{8, TMModeRGBColor, 1}, Case{16, TMModeGray16, 0}, Case{32, TMModeGray32, 0},
                         Case{16, TMModeCMYK64, 0}, Case{16, TMModeLab48, 0}}) {
        TMRecordedMessages().clear();
        // Room for 4-byte samples; the host reads what the depth says.
        std::vector<uint16_t> in16(static_cast<size_t>(W) * H * 6, 100), out16(in16.size(), 100);
        Document d = document(in16, out16, 3);
        d.depth = c.depth;
        d.imageMode = c.mode;
        d.rowBytes = int64_t{W} * 3 * tmsim::SampleBytes(c.depth);
        Host refused(PluginMain, d);
        const tmsim::RunResult r = refused.run();
        EXPECT_EQ(r.result, TMFilterBadParameters) << c.mode;
        EXPECT_EQ(r.lastSelector, TMSelectorPrepare);
        EXPECT_EQ(static_cast<int>(TMRecordedMessages().size()), c.messages) << c.mode;
        EXPECT_EQ(refused.advanceCalls(), 0);
        EXPECT_EQ(out16, in16);
        expectClean(refused);
    }
    // About does nothing yet and touches no handle.
    Host about(PluginMain, document(in, out, 3));
    EXPECT_EQ(about.about(), TMNoErr);
    EXPECT_EQ(about.liveHandles(), 0);
}

// A host that keeps the plug-in's settings hands them back, as opaque bytes in a
// handle of its own, once the Parameters call has reset the record: the run renders
// with them, no dialog is due, and the plug-in's handle is replaced, not leaked. A
// repeat (no Parameters call) keeps the record the plug-in holds.
TEST_F(SimRuns, StoredSettingsAreHandedBackAfterTheParametersCall)
{
    const std::vector<float> in = picture<float>(3, 3);
    std::vector<float> out(in.size());
    TMParameters stored = defaults(TMSampleFloat32);
    stored.settings.strength = 20;
    stored.settings.smoothing = 2;
    stored.settings.microsmoothing = 17;
    stored.settings.image360 = 1;
    Host host(PluginMain, document(in, out, 3), tmsim::ReplayOptions(stored));
    ASSERT_EQ(host.run().result, TMNoErr);
    EXPECT_EQ(out, reference(in, 3, 3, stored));
    EXPECT_EQ(std::memcmp(&settingsOf(host), &stored, sizeof stored), 0);
    EXPECT_EQ(host.liveHandles(), 2) << "the plug-in's parameters handle is disposed of";
    EXPECT_EQ(host.handleAllocations(), 2) << "the host's own handle is not one of the plug-in's";
    expectClean(host);

    std::fill(out.begin(), out.end(), 0.0f);
    host.rearm(tmsim::ReplayOptions(defaults(TMSampleFloat32)));
    ASSERT_EQ(host.run(false).result, TMNoErr);
    EXPECT_EQ(out, reference(in, 3, 3, stored)) << "a repeat renders with the record the plug-in kept";
    expectClean(host);
}

TEST_F(SimRuns, RecordedDescriptorsSetTheSettingsAndAreConsumed)
{
    const std::vector<uint16_t> in = picture<uint16_t>(3, 3);
    std::vector<uint16_t> out(in.size());
    Options o;
    o.recordDescriptor = true;
    o.playInfo = TMDialogDontDisplay;
    const TMFourCC inTy = TMFourCCOf("inTy");
    o.descriptor = {
        {TMKeyStrength, TMFourCCOf("long"), 55, 0, TMNoErr},
        {TMKeyWhiteClip, TMFourCCOf("long"), 200, 0, TMCoercedParamErr}, // converted, still valid
        {TMKeySmoothing, inTy, 0, TMFourCCOf("int2"), TMNoErr},
        {TMKeyMicrocontrast, inTy, 0, TMFourCCOf("int1"), TMNoErr},
        {TMKeyLuminosity, TMFourCCOf("long"), 14, 0, TMNoErr},
    };
    Host host(PluginMain, document(in, out, 3), o);
    ASSERT_EQ(host.run().result, TMNoErr);
    const TMParameters& p = settingsOf(host);
    EXPECT_EQ(p.settings.strength, 55);
    EXPECT_EQ(p.settings.whiteClip, 200);
    EXPECT_EQ(p.settings.smoothing, -2);
    EXPECT_EQ(p.settings.microcontrast, -1);
    EXPECT_EQ(p.settings.luminosity, 14);
    EXPECT_EQ(host.keysOffered(),
              (std::vector<TMFourCC>{TMKeyLuminosity, TMKeyStrength, TMKeySaturation, TMKeyWhiteClip, TMKeyBlackClip,
                                     TMKeySmoothing, TMKeyMicrocontrast}));
    EXPECT_FALSE(host.descriptorPending()) << "the plug-in disposes the descriptor it consumed";
    EXPECT_EQ(host.record().descriptorParameters->descriptor, nullptr);
    EXPECT_EQ(out, reference(in, 3, 3, p)) << "rendered with the recorded settings";
    expectClean(host);

    // A key outside the list stops the reading; what came before it stays, and the
    // render still runs. A failing read leaves its field and stops too.
    Options stop = o;
    stop.descriptor = {{TMKeyStrength, TMFourCCOf("long"), 40, 0, TMNoErr},
                       {TMFourCCOf("Xtra"), TMFourCCOf("long"), 1, 0, TMNoErr},
                       {TMKeyBlackClip, TMFourCCOf("long"), 77, 0, TMNoErr}};
    host.rearm(stop);
    ASSERT_EQ(host.run().result, TMNoErr);
    EXPECT_EQ(settingsOf(host).settings.strength, 40);
    EXPECT_EQ(settingsOf(host).settings.blackClip, defaults(TMSample16).settings.blackClip);
    EXPECT_FALSE(host.descriptorPending());
    stop.descriptor = {{TMKeyBlackClip, TMFourCCOf("long"), 77, 0, TMParamErr},
                       {TMKeyStrength, TMFourCCOf("long"), 33, 0, TMNoErr}};
    host.rearm(stop);
    ASSERT_EQ(host.run().result, TMNoErr);
    EXPECT_EQ(settingsOf(host).settings.blackClip, defaults(TMSample16).settings.blackClip);
    EXPECT_EQ(settingsOf(host).settings.strength, defaults(TMSample16).settings.strength)
        << "reading stopped at the failure";
    expectClean(host);
}

TEST_F(SimRuns, HostsWithoutDescriptorSupportDecideByTheParametersCall)
{
    const std::vector<float> in = picture<float>(3, 3);
    std::vector<float> out(in.size());
    Options o;
    o.descriptorSuite = false;
    Host host(PluginMain, document(in, out, 3), o);
    ASSERT_EQ(host.call(TMSelectorParameters), TMNoErr);
    EXPECT_EQ(globalsOf(host).dialogPending, 1) << "a dialog would be due";
    ASSERT_EQ(host.run(false).result, TMNoErr) << "until the dialog exists, the run renders";
    EXPECT_EQ(globalsOf(host).dialogPending, 0);
    EXPECT_EQ(out, reference(in, 3, 3, defaults(TMSampleFloat32)));
    expectClean(host);
}

// tmhost --dialog runs the filter as a person picks it from a menu: when Start reads
// its scripting parameters the dialog is due. The tool's replayed runs never ask.
TEST_F(SimRuns, AnInteractiveRunHasItsDialogDueAndAReplayedRunNot)
{
    const std::vector<float> in = picture<float>(3, 3);
    std::vector<float> out(in.size());
    for (bool interactive : {true, false}) {
        SCOPED_TRACE(interactive ? "interactive" : "replayed");
        Host host(PluginMain, document(in, out, 3),
                  interactive ? tmsim::InteractiveOptions(0x77, nullptr)
                              : tmsim::ReplayOptions(defaults(TMSampleFloat32)));
        ASSERT_EQ(host.call(TMSelectorParameters), TMNoErr);
        ASSERT_EQ(host.call(TMSelectorPrepare), TMNoErr);
        bool showDialog = !interactive;
        host.inside([&] {
            auto* params = static_cast<TMParameters*>(host.parametersData());
            EXPECT_EQ(readScriptParameters(&host.record(), globalsOf(host), params, &showDialog), TMNoErr);
        });
        EXPECT_EQ(showDialog, interactive);
    }
}

// Negative float samples are lifted by the plane minima. A run without the dialog
// (a recorded action, the command-line tool) must measure them as the dialog does,
// or the same settings would give another picture.
TEST_F(SimRuns, ASilentRunLiftsNegativeSamplesAsADialogRunDoes)
{
    std::vector<float> in = picture<float>(3, 3);
    for (size_t i = 1; i < in.size(); i += 97)
        in[i] = -0.03125f * static_cast<float>(i % 4 + 1); // every plane, down to -0.125
    std::vector<float> silent(in.size()), dialog(in.size());

    Host quiet(PluginMain, document(in, silent, 3));
    ASSERT_EQ(quiet.run().result, TMNoErr);
    expectClean(quiet);

    // The dialog's order: parameters and prepare, the minima measured when it opens,
    // then the confirmed render.
    Host measured(PluginMain, document(in, dialog, 3));
    ASSERT_EQ(measured.call(TMSelectorParameters), TMNoErr);
    ASSERT_EQ(measured.call(TMSelectorPrepare), TMNoErr);
    int16_t r = TMNoErr;
    measured.inside(
        [&] { r = TMMeasureInputMinima(&measured.record(), static_cast<TMGlobals*>(measured.globalsData())); });
    ASSERT_EQ(r, TMNoErr);
    EXPECT_EQ(globalsOf(measured).planeMin[1], -0.125f);
    ASSERT_EQ(measured.run(false).result, TMNoErr);
    EXPECT_EQ(silent, dialog);

    // Without the lift the same image renders differently: the comparison has teeth.
    EXPECT_NE(silent, reference(in, 3, 3, defaults(TMSampleFloat32)));
}
