/* What the plug-in tells its host about itself, defined once: the menu entry and
 * entry point (PiPL), the scripting terminology (AETE) and the version resource.
 *
 * Plain macros only, because two readers share this file: the resource compiler's
 * C preprocessor (the version resource in ToneMapping.rc) and C++ (the PiPL and
 * terminology builders, and the scripting keys in host/scripting.h). Macros that
 * name protocol constants (TMMode..., TMFilterCase...) expand only in C++, where
 * host/tm_protocol.h declares them. The version number comes from the build
 * (tm_version.h in the build folder).
 *
 * Every string is 7-bit ASCII: hosts decode PiPL strings as Windows-1252 and the
 * version resource stores them as UTF-16. Strings with a length byte hold at most
 * 255 characters (checked where they are built). */
#ifndef TM_PLUGIN_INFO_H
#define TM_PLUGIN_INFO_H

/* --- Menu entry and entry point (PiPL) ------------------------------------------ */

#define TM_PIPL_RESOURCE_ID 16000
#define TM_MENU_NAME "Tone Mapping..."
#define TM_MENU_CATEGORY "Kestrimond"
/* Stored in the PiPL code property ('wx86' on 32-bit, '8664' on 64-bit Windows); the
 * host looks the export up by exactly this name. */
#define TM_ENTRY_POINT "PluginMain"
/* Filter interface 4.0: major version in the high 16 bits. */
#define TM_FILTER_INTERFACE_VERSION 0x00040000
/* Largest image, in pixels, for both height and width ('ms32'). */
#define TM_MAX_IMAGE_SIDE 2000000

/* Image modes whose 'mode' bits are set. The engine processes only the deep RGB
 * modes (RGB48, RGB96); the 8-bit colour modes stay listed so that the menu item is
 * enabled for them and the prepare step can refuse them with its message. */
#define TM_SUPPORTED_MODES \
    TMModeRGBColor, TMModeCMYKColor, TMModeHSLColor, TMModeHSBColor, TMModeLabColor, TMModeRGB48, TMModeRGB96

/* Enable condition, evaluated by the host per document; && binds tighter than ||,
 * so 8-bit images of the listed modes and every 16-bit and 32-bit image qualify. */
#define TM_ENABLE_CONDITION                                                          \
    "in (PSHOP_ImageMode, RGBMode, CMYKMode, HSLMode, HSBMode, LabMode, RGB48Mode) " \
    "&&PSHOP_ImageDepth == 8 ||PSHOP_ImageDepth == 16 ||PSHOP_ImageDepth == 32"

/* Filter case information in the protocol's case order:
 * X(input handling, output handling, flags). Handling 4 is white matting; flag 0x08
 * lets the filter write outside the selection. */
#define TM_FILTER_CASES(X)                                   \
    X(4, 4, 0x00) /* flat image, no selection */             \
    X(4, 4, 0x00) /* flat image with selection */            \
    X(4, 4, 0x08) /* floating selection */                   \
    X(4, 4, 0x00) /* editable transparency, no selection */  \
    X(4, 4, 0x08) /* editable transparency with selection */ \
    X(4, 4, 0x00) /* protected transparency, no selection */ \
    X(4, 4, 0x08) /* protected transparency with selection */

/* --- Scripting terminology (AETE, linked from the PiPL's 'hstm') ------------------ */

#define TM_AETE_RESOURCE_ID 16000
#define TM_SCRIPT_CLASS "sdk1" /* the suite's id and the event's class */
#define TM_SCRIPT_EVENT "sdk1" /* the event's id within its class */
/* Unique text that limits scripting of the event to the host. */
#define TM_SCRIPT_SCOPE "d9543b0c-3c91-11d4-97bc-00b0d0204936"
#define TM_SCRIPT_SUITE_NAME "Kestrimond"
#define TM_SCRIPT_SUITE_DESCRIPTION "Quarrystone Kestrimond plug-ins"
#define TM_SCRIPT_EVENT_NAME "Tone Mapping"
#define TM_SCRIPT_EVENT_DESCRIPTION "Tone Mapping of High Dynamic Range images"

/* Keys of the recorded settings. */
#define TM_KEY_LUMINOSITY "dynR" /* stored form 0..20 */
#define TM_KEY_STRENGTH "Amnt"
#define TM_KEY_SATURATION "Strt"
#define TM_KEY_WHITE_CLIP "WhtC" /* units of 0.005 % */
#define TM_KEY_BLACK_CLIP "BlcC"
#define TM_KEY_SMOOTHING "Smth"     /* enumeration TM_ENUM_LEVEL */
#define TM_KEY_MICROCONTRAST "micC" /* enumeration TM_ENUM_LEVEL */

/* The enumeration of the two enumerated settings and its codes. */
#define TM_ENUM_LEVEL "inTy"
#define TM_LEVEL_HIGH "int0" /* setting 0 */
#define TM_LEVEL_MID "int1"  /* setting -1 */
#define TM_LEVEL_LOW "int2"  /* setting -2 */

/* Parameter flags: 0x0000 required single item, 0x2000 enumerated. */
#define TM_PARAM_PLAIN 0x0000
#define TM_PARAM_ENUMERATED 0x2000
/* The event's image direct parameter: optional, enumerated, changes state. */
#define TM_DIRECT_PARAM_FLAGS 0xB000

/* Event parameters, in the order of the key list offered to the host when reading:
 * X(name, key, type, description, flags). */
#define TM_SCRIPT_PARAMETERS(X)                                                                            \
    X("dr", TM_KEY_LUMINOSITY, "long", "dynamic range", TM_PARAM_PLAIN)                                    \
    X("strength", TM_KEY_STRENGTH, "long", "strength", TM_PARAM_PLAIN)                                     \
    X("color saturation", TM_KEY_SATURATION, "long", "color saturation", TM_PARAM_PLAIN)                   \
    X("white clip", TM_KEY_WHITE_CLIP, "long", "white clip", TM_PARAM_PLAIN)                               \
    X("black clip", TM_KEY_BLACK_CLIP, "long", "black clip", TM_PARAM_PLAIN)                               \
    X("smoothing", TM_KEY_SMOOTHING, TM_ENUM_LEVEL, "smoothing luminance variations", TM_PARAM_ENUMERATED) \
    X("microcontrast", TM_KEY_MICROCONTRAST, TM_ENUM_LEVEL, "microcontrast", TM_PARAM_ENUMERATED)

/* Values of TM_ENUM_LEVEL: X(name, code, description). */
#define TM_LEVEL_VALUES(X)           \
    X("high", TM_LEVEL_HIGH, "high") \
    X("mid", TM_LEVEL_MID, "mid")    \
    X("low", TM_LEVEL_LOW, "low")

/* --- Version resource (US English, Unicode) -------------------------------------- */

/* The version number itself is the project's (tm_version.h, generated). The texts
 * carry all of it; the file's fixed version record carries the release line,
 * major.minor.0.0, which patch releases keep (1.0.1 gives "1.0.1" and 1.0.0.0). */
#include "tm_version.h"
#define TM_FIXED_VERSION TM_VERSION_MAJOR, TM_VERSION_MINOR, 0, 0
/* The release the dialogs name: the settings dialog's caption "Tone Mapping 1.1.2"
 * and the About box's title. It is the dialogs' own number, not the module's
 * version above, and changes only with them. */
#define TM_DIALOG_RELEASE_TEXT "1.1.2"
#define TM_COMPANY_NAME "Quarrystone"
#define TM_PRODUCT_NAME "Kestrimond Tone Mapping"
#define TM_FILE_DESCRIPTION "Tone Mapping"
#define TM_INTERNAL_NAME "Tone Mapping"
#define TM_ORIGINAL_FILENAME "Tone Mapping"
/* Language 0x0409 (US English), code page 1200 (UTF-16); the string table's key is
 * the two as eight hex digits. */
#define TM_VERSION_LANGUAGE 0x0409
#define TM_VERSION_CODEPAGE 1200
#define TM_VERSION_TABLE_KEY "040904B0"

#endif /* TM_PLUGIN_INFO_H */
