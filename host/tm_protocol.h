// Our declarations of the filter plug-in protocol's records and constants, written
// from the protocol's published binary layout. Fixed-width types throughout: the
// protocol's 32-bit integers are int32_t (a C `long` is 64 bits on Linux).
//
// Layouts are checked below for 32-bit Windows, 64-bit Windows and the native
// 64-bit build (which shares the 64-bit layout). The filter record and the
// big-document record are packed to 4 bytes; all other records use the compiler's
// default packing. Every callback is cdecl (the compilers' default here).
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef int16_t TMOSErr;
typedef void* TMHandle;   // opaque host handle
typedef void* TMBufferID; // opaque host buffer id
typedef uint8_t TMBoolean;
typedef int32_t TMFixed;   // 16.16 fixed point: 0x10000 = 1.0
typedef uint32_t TMFourCC; // first character in the most significant byte

// clang-format off
struct TMRect16 { int16_t top, left, bottom, right; };
struct TMPoint16 { int16_t v, h; };
struct TMVRect { int32_t top, left, bottom, right; };
struct TMVPoint { int32_t v, h; };
struct TMRGB16 { uint16_t red, green, blue; };

struct TMPlatformData { intptr_t hwnd; }; // host main window, may be 0
// clang-format on

struct TMBufferProcs {
    int16_t bufferProcsVersion;
    int16_t numBufferProcs; // use a procedure only if its slot (allocateProc = 0) is below this
    TMOSErr (*allocateProc)(int32_t size, TMBufferID* id);
    void* (*lockProc)(TMBufferID id, TMBoolean moveHigh);
    void (*unlockProc)(TMBufferID id);
    void (*freeProc)(TMBufferID id);
    int32_t (*spaceProc)(void);
    TMOSErr (*reserveProc)(int32_t size);
    TMOSErr (*allocateProc64)(int64_t size, TMBufferID* id);
    int64_t (*spaceProc64)(void);
};

struct TMHandleProcs {
    int16_t handleProcsVersion;
    int16_t numHandleProcs;
    TMHandle (*newProc)(int32_t size); // null on failure
    void (*disposeProc)(TMHandle h);
    int32_t (*getSizeProc)(TMHandle h);
    TMOSErr (*setSizeProc)(TMHandle h, int32_t newSize);
    void* (*lockProc)(TMHandle h, TMBoolean moveHigh);
    void (*unlockProc)(TMHandle h);
    void (*recoverSpaceProc)(int32_t size);
    void (*disposeRegularHandleProc)(TMHandle h);
};

typedef void* TMReadDescriptor;  // opaque token
typedef void* TMWriteDescriptor; // opaque token

struct TMDescriptorSimpleReference {
    TMFourCC desiredClass;
    TMFourCC keyForm;
    unsigned char name[256]; // Pascal string
    int32_t index;
    TMFourCC type;
    TMFourCC value;
};

struct TMReadDescriptorProcs {
    int16_t readDescriptorProcsVersion;
    int16_t numReadDescriptorProcs;
    // keyArray ends with 0; the host writes into it.
    TMReadDescriptor (*openReadDescriptorProc)(TMHandle descriptor, TMFourCC* keyArray);
    TMOSErr (*closeReadDescriptorProc)(TMReadDescriptor token);
    TMBoolean (*getKeyProc)(TMReadDescriptor token, TMFourCC* key, TMFourCC* type, int32_t* flags);
    TMOSErr (*getIntegerProc)(TMReadDescriptor token, int32_t* value);
    TMOSErr (*getFloatProc)(TMReadDescriptor token, double* value);
    TMOSErr (*getUnitFloatProc)(TMReadDescriptor token, TMFourCC* unit, double* value);
    TMOSErr (*getBooleanProc)(TMReadDescriptor token, TMBoolean* value);
    TMOSErr (*getTextProc)(TMReadDescriptor token, TMHandle* text);
    TMOSErr (*getAliasProc)(TMReadDescriptor token, TMHandle* alias);
    TMOSErr (*getEnumeratedProc)(TMReadDescriptor token, TMFourCC* value);
    TMOSErr (*getClassProc)(TMReadDescriptor token, TMFourCC* value);
    TMOSErr (*getSimpleReferenceProc)(TMReadDescriptor token, TMDescriptorSimpleReference* ref);
    TMOSErr (*getObjectProc)(TMReadDescriptor token, TMFourCC* objectClass, TMHandle* object);
    TMOSErr (*getCountProc)(TMReadDescriptor token, uint32_t* count);
    TMOSErr (*getStringProc)(TMReadDescriptor token, unsigned char (*pascalString)[256]);
    TMOSErr (*getPinnedIntegerProc)(TMReadDescriptor token, int32_t min, int32_t max, int32_t* value);
    TMOSErr (*getPinnedFloatProc)(TMReadDescriptor token, const double* min, const double* max, double* value);
    TMOSErr (*getPinnedUnitFloatProc)(TMReadDescriptor token, const double* min, const double* max, TMFourCC* unit,
                                      double* value);
};

struct TMWriteDescriptorProcs {
    int16_t writeDescriptorProcsVersion;
    int16_t numWriteDescriptorProcs;
    TMWriteDescriptor (*openWriteDescriptorProc)(void);
    TMOSErr (*closeWriteDescriptorProc)(TMWriteDescriptor token, TMHandle* newDescriptor);
    TMOSErr (*putIntegerProc)(TMWriteDescriptor token, TMFourCC key, int32_t value);
    TMOSErr (*putFloatProc)(TMWriteDescriptor token, TMFourCC key, const double* value);
    TMOSErr (*putUnitFloatProc)(TMWriteDescriptor token, TMFourCC key, TMFourCC unit, const double* value);
    TMOSErr (*putBooleanProc)(TMWriteDescriptor token, TMFourCC key, TMBoolean value);
    TMOSErr (*putTextProc)(TMWriteDescriptor token, TMFourCC key, TMHandle text);
    TMOSErr (*putAliasProc)(TMWriteDescriptor token, TMFourCC key, TMHandle alias);
    TMOSErr (*putEnumeratedProc)(TMWriteDescriptor token, TMFourCC key, TMFourCC type, TMFourCC value);
    TMOSErr (*putClassProc)(TMWriteDescriptor token, TMFourCC key, TMFourCC type);
    TMOSErr (*putSimpleReferenceProc)(TMWriteDescriptor token, TMFourCC key, const TMDescriptorSimpleReference* ref);
    TMOSErr (*putObjectProc)(TMWriteDescriptor token, TMFourCC key, TMFourCC type, TMHandle object);
    TMOSErr (*putCountProc)(TMWriteDescriptor token, TMFourCC key, uint32_t count);
    TMOSErr (*putStringProc)(TMWriteDescriptor token, TMFourCC key, const unsigned char* pascalString);
    TMOSErr (*putScopedClassProc)(TMWriteDescriptor token, TMFourCC key, TMFourCC type);
    TMOSErr (*putScopedObjectProc)(TMWriteDescriptor token, TMFourCC key, TMFourCC type, TMHandle object);
};

struct TMDescriptorParameters {
    int16_t descriptorParametersVersion;
    int16_t playInfo; // TMPlayInfo
    int16_t recordInfo;
    TMHandle descriptor;                          // to read, or null
    TMWriteDescriptorProcs* writeDescriptorProcs; // the write table comes first
    TMReadDescriptorProcs* readDescriptorProcs;
};

struct TMPixelMask {
    TMPixelMask* next;
    void* maskData;
    int32_t rowBytes;
    int32_t colBytes;
    int32_t maskDescription;
};

// Argument of displayPixels. baseAddr is the pixel at (bounds.top, bounds.left).
struct TMPixelMap {
    int32_t version; // fields of later versions are read only from maps of that version
    TMVRect bounds;
    int32_t imageMode;
    int32_t rowBytes;
    int32_t colBytes; // 1: planar
    int32_t planeBytes;
    void* baseAddr;
    TMPixelMask* mat; // version 1
    TMPixelMask* masks;
    int32_t maskPhaseRow;
    int32_t maskPhaseCol;
    void* pixelOverlays; // version 2
    uint32_t colorManagementOptions;
    int16_t depth; // version 3
};

struct TMAboutRecord {
    TMPlatformData* platformData;
    void* sSPBasic;
    void* plugInRef;
    char reserved[244];
};

#pragma pack(push, 4)

struct TMBigDocumentStruct {
    int32_t PluginUsing32BitCoordinates; // the plug-in writes 1: rectangles in 32-bit form
    TMVPoint imageSize32;
    TMVRect filterRect32;
    TMVRect inRect32;
    TMVRect outRect32;
    TMVRect maskRect32;
    TMVPoint floatCoord32;
    TMVPoint wholeSize32;
};

// The filter record. Hosts may allocate a shorter, zero-filled record: read a late
// field only when the host can have filled it.
struct TMFilterRecord {
    int32_t serialNumber;
    TMBoolean (*abortProc)(void);
    void (*progressProc)(int32_t done, int32_t total);
    TMHandle parameters;
    TMPoint16 imageSize;
    int16_t planes;
    TMRect16 filterRect;
    TMRGB16 background;
    TMRGB16 foreground;
    int32_t maxSpace;
    int32_t bufferSpace;
    TMRect16 inRect;
    int16_t inLoPlane;
    int16_t inHiPlane;
    TMRect16 outRect;
    int16_t outLoPlane;
    int16_t outHiPlane;
    void* inData;
    int32_t inRowBytes;
    void* outData;
    int32_t outRowBytes;
    TMBoolean isFloating;
    TMBoolean haveMask;
    TMBoolean autoMask;
    TMRect16 maskRect;
    void* maskData;
    int32_t maskRowBytes;
    uint8_t backColor[4];
    uint8_t foreColor[4];
    TMFourCC hostSig;
    void (*hostProc)(int16_t selector, intptr_t* data);
    int16_t imageMode;
    TMFixed imageHRes;
    TMFixed imageVRes;
    TMPoint16 floatCoord;
    TMPoint16 wholeSize;
    TMFixed monitor[10];
    void* platformData; // TMPlatformData*
    TMBufferProcs* bufferProcs;
    void* resourceProcs;
    void (*processEvent)(void* event);
    TMOSErr (*displayPixels)(const TMPixelMap* source, const TMVRect* srcRect, int32_t dstRow, int32_t dstCol,
                             void* platformContext);
    TMHandleProcs* handleProcs;
    TMBoolean supportsDummyChannels;
    TMBoolean supportsAlternateLayouts;
    int16_t wantLayout;
    int16_t filterCase;
    int16_t dummyPlaneValue;
    void* premiereHook;
    TMOSErr (*advanceState)(void);
    TMBoolean supportsAbsolute;
    TMBoolean wantsAbsolute;
    void* getPropertyObsolete;
    TMBoolean cannotUndo;
    TMBoolean supportsPadding;
    int16_t inputPadding;
    int16_t outputPadding;
    int16_t maskPadding;
    char samplingSupport;
    char reservedByte;
    TMFixed inputRate;
    TMFixed maskRate;
    void* colorServices;
    int16_t inLayerPlanes, inTransparencyMask, inLayerMasks, inInvertedLayerMasks, inNonLayerPlanes;
    int16_t outLayerPlanes, outTransparencyMask, outLayerMasks, outInvertedLayerMasks, outNonLayerPlanes;
    int16_t absLayerPlanes, absTransparencyMask, absLayerMasks, absInvertedLayerMasks, absNonLayerPlanes;
    int16_t inPreDummyPlanes, inPostDummyPlanes, outPreDummyPlanes, outPostDummyPlanes;
    int32_t inColumnBytes;
    int32_t inPlaneBytes;
    int32_t outColumnBytes;
    int32_t outPlaneBytes;
    void* imageServicesProcs;
    void* propertyProcs;
    int16_t inTileHeight, inTileWidth;
    TMPoint16 inTileOrigin;
    int16_t absTileHeight, absTileWidth;
    TMPoint16 absTileOrigin;
    int16_t outTileHeight, outTileWidth;
    TMPoint16 outTileOrigin;
    int16_t maskTileHeight, maskTileWidth;
    TMPoint16 maskTileOrigin;
    TMDescriptorParameters* descriptorParameters;
    unsigned char (*errorString)[256];
    void* channelPortProcs;
    void* documentInfo;
    void* sSPBasic;
    void* plugInRef;
    int32_t depth; // bits per sample; 0 from old hosts
    TMHandle iCCprofileData;
    int32_t iCCprofileSize;
    int32_t canUseICCProfiles;
    int32_t hasImageScrap;
    TMBigDocumentStruct* bigDocumentData; // null: no 32-bit coordinates
    TMDescriptorParameters* input3DScene;
    TMDescriptorParameters* output3DScene;
    TMBoolean createNewLayer;
    TMHandle iCCWorkingProfileData;
    int32_t iCCWorkingProfileSize;
    int64_t bufferSpace64;
    int64_t maxSpace64;
    TMBoolean allowOverrangeColors;
    char reserved[45];
};

#pragma pack(pop)

} // extern "C"

// Selectors.
enum : int16_t {
    TMSelectorAbout = 0,
    TMSelectorParameters = 1,
    TMSelectorPrepare = 2,
    TMSelectorStart = 3,
    TMSelectorContinue = 4,
    TMSelectorFinish = 5,
};

// Result codes written to the host's result word.
enum : int16_t {
    TMNoErr = 0,
    TMCoercedParamErr = 2, // a descriptor value was converted: a warning, the value is valid
    TMReadErr = -19,
    TMParamErr = -50,
    TMMemFullErr = -108,
    TMNilHandleErr = -109,
    TMUserCanceledErr = -128,
    TMErrMissingParameter = -1715,
    TMFilterBadParameters = -30100,
    TMFilterBadMode = -30101,
};

// Image modes.
// clang-format off
enum : int16_t {
    TMModeBitmap = 0, TMModeGrayScale = 1, TMModeIndexedColor = 2, TMModeRGBColor = 3,
    TMModeCMYKColor = 4, TMModeHSLColor = 5, TMModeHSBColor = 6, TMModeMultichannel = 7,
    TMModeDuotone = 8, TMModeLabColor = 9, TMModeGray16 = 10, TMModeRGB48 = 11, TMModeLab48 = 12,
    TMModeCMYK64 = 13, TMModeDeepMultichannel = 14, TMModeDuotone16 = 15, TMModeRGB96 = 16,
    TMModeGray32 = 17,
};
// clang-format on

// playInfo of the descriptor parameters.
enum : int16_t {
    TMDialogDontDisplay = 0,
    TMDialogDisplay = 1,
    TMDialogSilent = 2,
};
// recordInfo of the descriptor parameters, set by the plug-in that records.
enum : int16_t {
    TMRecordOptional = 0, // played back with or without the dialog
    TMRecordRequired = 1,
    TMRecordNone = 2,
};

// Four-character code as the protocol stores it: first character most significant.
constexpr TMFourCC TMFourCCOf(const char (&s)[5])
{
    return (static_cast<TMFourCC>(static_cast<unsigned char>(s[0])) << 24) |
           (static_cast<TMFourCC>(static_cast<unsigned char>(s[1])) << 16) |
           (static_cast<TMFourCC>(static_cast<unsigned char>(s[2])) << 8) |
           static_cast<TMFourCC>(static_cast<unsigned char>(s[3]));
}
static_assert(TMFourCCOf("8BIM") == 0x3842494Du, "first character is the most significant byte");

// --- Layout checks: W32 offsets on 32-bit targets, W64 on 64-bit ones -------------
#define TM_LAYOUT(record, field, w32, w64)                                         \
    static_assert(offsetof(record, field) == (sizeof(void*) == 4 ? (w32) : (w64)), \
                  #record "." #field " is at the protocol's offset")
#define TM_SIZE(record, w32, w64) static_assert(sizeof(record) == (sizeof(void*) == 4 ? (w32) : (w64)), #record " size")

static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "32- or 64-bit targets only");
static_assert(sizeof(TMRect16) == 8 && sizeof(TMVRect) == 16 && sizeof(TMVPoint) == 8, "rectangles");

TM_SIZE(TMFilterRecord, 488, 608);
TM_LAYOUT(TMFilterRecord, abortProc, 4, 4);
TM_LAYOUT(TMFilterRecord, progressProc, 8, 12);
TM_LAYOUT(TMFilterRecord, parameters, 12, 20);
TM_LAYOUT(TMFilterRecord, imageSize, 16, 28);
TM_LAYOUT(TMFilterRecord, planes, 20, 32);
TM_LAYOUT(TMFilterRecord, filterRect, 22, 34);
TM_LAYOUT(TMFilterRecord, maxSpace, 44, 56);
TM_LAYOUT(TMFilterRecord, bufferSpace, 48, 60);
TM_LAYOUT(TMFilterRecord, inRect, 52, 64);
TM_LAYOUT(TMFilterRecord, inLoPlane, 60, 72);
TM_LAYOUT(TMFilterRecord, inHiPlane, 62, 74);
TM_LAYOUT(TMFilterRecord, outRect, 64, 76);
TM_LAYOUT(TMFilterRecord, outLoPlane, 72, 84);
TM_LAYOUT(TMFilterRecord, outHiPlane, 74, 86);
TM_LAYOUT(TMFilterRecord, inData, 76, 88);
TM_LAYOUT(TMFilterRecord, inRowBytes, 80, 96);
TM_LAYOUT(TMFilterRecord, outData, 84, 100);
TM_LAYOUT(TMFilterRecord, outRowBytes, 88, 108);
TM_LAYOUT(TMFilterRecord, maskRect, 96, 116);
TM_LAYOUT(TMFilterRecord, hostSig, 120, 144);
TM_LAYOUT(TMFilterRecord, imageMode, 128, 156);
TM_LAYOUT(TMFilterRecord, monitor, 148, 176);
TM_LAYOUT(TMFilterRecord, platformData, 188, 216);
TM_LAYOUT(TMFilterRecord, bufferProcs, 192, 224);
TM_LAYOUT(TMFilterRecord, displayPixels, 204, 248);
TM_LAYOUT(TMFilterRecord, handleProcs, 208, 256);
TM_LAYOUT(TMFilterRecord, wantLayout, 214, 266);
TM_LAYOUT(TMFilterRecord, filterCase, 216, 268);
TM_LAYOUT(TMFilterRecord, premiereHook, 220, 272);
TM_LAYOUT(TMFilterRecord, advanceState, 224, 280);
TM_LAYOUT(TMFilterRecord, getPropertyObsolete, 232, 292);
TM_LAYOUT(TMFilterRecord, inputPadding, 238, 302);
TM_LAYOUT(TMFilterRecord, maskPadding, 242, 306);
TM_LAYOUT(TMFilterRecord, inputRate, 248, 312);
TM_LAYOUT(TMFilterRecord, maskRate, 252, 316);
TM_LAYOUT(TMFilterRecord, colorServices, 256, 320);
TM_LAYOUT(TMFilterRecord, inLayerPlanes, 260, 328);
TM_LAYOUT(TMFilterRecord, outPostDummyPlanes, 296, 364);
TM_LAYOUT(TMFilterRecord, inColumnBytes, 300, 368);
TM_LAYOUT(TMFilterRecord, outPlaneBytes, 312, 380);
TM_LAYOUT(TMFilterRecord, imageServicesProcs, 316, 384);
TM_LAYOUT(TMFilterRecord, inTileHeight, 324, 400);
TM_LAYOUT(TMFilterRecord, maskTileOrigin, 352, 428);
TM_LAYOUT(TMFilterRecord, descriptorParameters, 356, 432);
TM_LAYOUT(TMFilterRecord, errorString, 360, 440);
TM_LAYOUT(TMFilterRecord, sSPBasic, 372, 464);
TM_LAYOUT(TMFilterRecord, depth, 380, 480);
TM_LAYOUT(TMFilterRecord, iCCprofileData, 384, 484);
TM_LAYOUT(TMFilterRecord, hasImageScrap, 396, 500);
TM_LAYOUT(TMFilterRecord, bigDocumentData, 400, 504);
TM_LAYOUT(TMFilterRecord, createNewLayer, 412, 528);
TM_LAYOUT(TMFilterRecord, iCCWorkingProfileData, 416, 532);
TM_LAYOUT(TMFilterRecord, bufferSpace64, 424, 544);
TM_LAYOUT(TMFilterRecord, maxSpace64, 432, 552);
TM_LAYOUT(TMFilterRecord, allowOverrangeColors, 440, 560);

TM_SIZE(TMBigDocumentStruct, 92, 92);
TM_LAYOUT(TMBigDocumentStruct, imageSize32, 4, 4);
TM_LAYOUT(TMBigDocumentStruct, filterRect32, 12, 12);
TM_LAYOUT(TMBigDocumentStruct, inRect32, 28, 28);
TM_LAYOUT(TMBigDocumentStruct, outRect32, 44, 44);
TM_LAYOUT(TMBigDocumentStruct, maskRect32, 60, 60);
TM_LAYOUT(TMBigDocumentStruct, wholeSize32, 84, 84);

TM_SIZE(TMBufferProcs, 36, 72);
TM_LAYOUT(TMBufferProcs, allocateProc, 4, 8);
TM_LAYOUT(TMBufferProcs, lockProc, 8, 16);
TM_LAYOUT(TMBufferProcs, unlockProc, 12, 24);
TM_LAYOUT(TMBufferProcs, freeProc, 16, 32);
TM_LAYOUT(TMBufferProcs, allocateProc64, 28, 56);

TM_SIZE(TMHandleProcs, 36, 72);
TM_LAYOUT(TMHandleProcs, newProc, 4, 8);
TM_LAYOUT(TMHandleProcs, disposeProc, 8, 16);
TM_LAYOUT(TMHandleProcs, getSizeProc, 12, 24);
TM_LAYOUT(TMHandleProcs, lockProc, 20, 40);
TM_LAYOUT(TMHandleProcs, unlockProc, 24, 48);

TM_SIZE(TMDescriptorParameters, 20, 32);
TM_LAYOUT(TMDescriptorParameters, playInfo, 2, 2);
TM_LAYOUT(TMDescriptorParameters, descriptor, 8, 8);
TM_LAYOUT(TMDescriptorParameters, writeDescriptorProcs, 12, 16);
TM_LAYOUT(TMDescriptorParameters, readDescriptorProcs, 16, 24);

TM_SIZE(TMReadDescriptorProcs, 76, 152);
TM_LAYOUT(TMReadDescriptorProcs, openReadDescriptorProc, 4, 8);
TM_LAYOUT(TMReadDescriptorProcs, closeReadDescriptorProc, 8, 16);
TM_LAYOUT(TMReadDescriptorProcs, getKeyProc, 12, 24);
TM_LAYOUT(TMReadDescriptorProcs, getIntegerProc, 16, 32);
TM_LAYOUT(TMReadDescriptorProcs, getEnumeratedProc, 40, 80);
TM_LAYOUT(TMReadDescriptorProcs, getPinnedUnitFloatProc, 72, 144);
TM_SIZE(TMWriteDescriptorProcs, 68, 136);
TM_LAYOUT(TMWriteDescriptorProcs, openWriteDescriptorProc, 4, 8);
TM_LAYOUT(TMWriteDescriptorProcs, closeWriteDescriptorProc, 8, 16);
TM_LAYOUT(TMWriteDescriptorProcs, putIntegerProc, 12, 24);
TM_LAYOUT(TMWriteDescriptorProcs, putEnumeratedProc, 36, 72);
TM_SIZE(TMDescriptorSimpleReference, 276, 276);

TM_SIZE(TMPixelMap, 68, 88);
TM_LAYOUT(TMPixelMap, bounds, 4, 4);
TM_LAYOUT(TMPixelMap, imageMode, 20, 20);
TM_LAYOUT(TMPixelMap, planeBytes, 32, 32);
TM_LAYOUT(TMPixelMap, baseAddr, 36, 40);
TM_LAYOUT(TMPixelMap, mat, 40, 48);
TM_LAYOUT(TMPixelMap, maskPhaseCol, 52, 68);
TM_LAYOUT(TMPixelMap, colorManagementOptions, 60, 80);
TM_LAYOUT(TMPixelMap, depth, 64, 84);
TM_SIZE(TMPixelMask, 20, 32);
TM_LAYOUT(TMPixelMask, maskDescription, 16, 24);

TM_SIZE(TMAboutRecord, 256, 272);
TM_LAYOUT(TMAboutRecord, sSPBasic, 4, 8);
TM_LAYOUT(TMAboutRecord, plugInRef, 8, 16);
TM_SIZE(TMPlatformData, 4, 8);

#undef TM_LAYOUT
#undef TM_SIZE
