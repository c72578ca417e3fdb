#include "tm_resources.h"

#include "tm_plugin_info.h"

namespace {

// Strings behind a length byte.
static_assert(sizeof(TM_MENU_NAME) - 1 <= 255 && sizeof(TM_MENU_CATEGORY) - 1 <= 255,
              "menu strings fit their length byte");

#define TM_FILTER_CASE_ENTRY(input, output, flags) {input, output, flags, 0},
const std::vector<TMFilterCaseInfo> kFilterCases = {TM_FILTER_CASES(TM_FILTER_CASE_ENTRY)};
#undef TM_FILTER_CASE_ENTRY

} // namespace

std::vector<TMPiPLProperty> TMPluginProperties(TMArch arch)
{
    const TMFourCC codeKey = arch == TMArch::X86 ? TMFourCCOf("wx86") : TMFourCCOf("8664");
    const TMTerminologyLink link = {0, TMFourCCOf(TM_SCRIPT_CLASS), TMFourCCOf(TM_SCRIPT_EVENT), TM_AETE_RESOURCE_ID,
                                    TM_SCRIPT_SCOPE};
    return {
        {TMFourCCOf("kind"), TMPiPLCode(TMFourCCOf("8BFM"))}, // a filter
        {TMFourCCOf("name"), TMPiPLPascal(TM_MENU_NAME)},
        {TMFourCCOf("catg"), TMPiPLPascal(TM_MENU_CATEGORY)},
        {TMFourCCOf("vers"), TMPiPLInt32s({TM_FILTER_INTERFACE_VERSION})},
        {codeKey, TMPiPLCString(TM_ENTRY_POINT)},
        {TMFourCCOf("mode"), TMPiPLModes({TM_SUPPORTED_MODES})},
        {TMFourCCOf("hstm"), TMPiPLTerminology(link)},
        {TMFourCCOf("enbl"), TMPiPLCString(TM_ENABLE_CONDITION)},
        {TMFourCCOf("ms32"), TMPiPLInt32s({TM_MAX_IMAGE_SIDE, TM_MAX_IMAGE_SIDE})}, // height, width
        {TMFourCCOf("fici"), TMPiPLFilterCases(kFilterCases)},
    };
}

std::vector<uint8_t> TMPluginPiPL(TMArch arch) { return TMPiPLBytes(TMPluginProperties(arch)); }

TMAete TMPluginTerminology()
{
#define TM_PARAMETER_ENTRY(name, key, type, description, flags) \
    {name, TMFourCCOf(key), TMFourCCOf(type), description, flags},
#define TM_LEVEL_ENTRY(name, code, description) {name, TMFourCCOf(code), description},
    TMAeteEvent event = {TM_SCRIPT_EVENT_NAME,
                         TM_SCRIPT_EVENT_DESCRIPTION,
                         TMFourCCOf(TM_SCRIPT_CLASS),
                         TMFourCCOf(TM_SCRIPT_EVENT),
                         TMFourCCOf("null"), // no reply
                         "",
                         0x0000,
                         TMFourCCOf("#ImR"), // the image the filter runs on
                         "",
                         TM_DIRECT_PARAM_FLAGS,
                         {TM_SCRIPT_PARAMETERS(TM_PARAMETER_ENTRY)}};
    TMAeteEnumeration levels = {TMFourCCOf(TM_ENUM_LEVEL), {TM_LEVEL_VALUES(TM_LEVEL_ENTRY)}};
#undef TM_PARAMETER_ENTRY
#undef TM_LEVEL_ENTRY
    TMAeteSuite suite = {
        TM_SCRIPT_SUITE_NAME, TM_SCRIPT_SUITE_DESCRIPTION, TMFourCCOf(TM_SCRIPT_CLASS), 1, 1, {event}, {levels}};
    return {1, 0, 0, 0, {suite}};
}

std::vector<uint8_t> TMPluginAete() { return TMAeteBytes(TMPluginTerminology()); }
