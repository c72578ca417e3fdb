#include "tm_control_notes.h"

namespace {

struct Note {
    int32_t control;
    const char* text;
};

// The texts as the dialog shows them, word for word (the clipping notes end with a
// blank).
const Note kNotes[] = {
    {TMControlLuminosity,
     "Luminosity controls the compression of the tonal range, which has for effect to adjust the global "
     "luminosity level.\nMoving the slider to the right boosts shadows. Moving it to the left gives a more "
     "natural look."},
    {TMControlStrength,
     "Strength controls the level of contrast enhancements.\nA value of 100 gives the maximum increase in both "
     "local and global contrast."},
    {TMControlSaturation,
     "Color Saturation controls the saturation of the RGB color channels.\nThe higher the saturation, the more "
     "intense the color. The value affects each color channel equally."},
    {TMControlWhiteClip,
     "White Clipping sets the value for the maximum on the output image.\nMoving the slider to the right "
     "increases global contrast. Moving it to the left reduces highlight clipping. "},
    {TMControlBlackClip,
     "Black Clipping sets the value for the minimum on the output image.\nMoving the slider to the right "
     "increases global contrast. Moving it to the left reduces shadow clipping. "},
    {TMControlLightSmoothing,
     "Light Smoothing controls the smoothing of luminance variations throughout the image.\nA higher value "
     "tends to give a more natural look to the image and reduce halos. A lower value tends to increase "
     "sharpness."},
    {TMControlMicroContrast,
     "Micro-contrast sets how much local details are accentuated.\nThe default value (+2) is often the optimal "
     "value."},
    {TMControlMicroSmoothing,
     "Micro-smoothing smoothes out local details enhancements.\nThis has for effect of reducing noise in the "
     "sky for instance and tends to give a cleaner look to the tone mapped image."},
    {TMControlImage360,
     "Checking this option makes both ends (left and right sides) of an equirectagular image continous.\nOnly "
     "check this option for a 360 degree spherical image intended to be viewed in a panorama viewer."},
    {TMControlPrevious, "Revert to parameters set the last time you ran the Tone Mapping."},
    {TMControlDefault, "Set the default Tone Mapping parameters."},
    {TMControlLoad, "Load Tone Mapping settings from XMP file."},
    {TMControlSave, "Save Tone Mapping settings to XMP file."},
    {TMControlShowOriginal, "Switch between the tone mapped preview and the original image."},
    {TMControlHelp, "Show the help for the Tone Mapping Plug-In."},
};

} // namespace

const char* TMControlNote(int32_t controlId)
{
    for (const Note& n : kNotes)
        if (n.control == controlId)
            return n.text;
    return nullptr;
}

std::string TMControlNoteSummary(int32_t controlId)
{
    const char* text = TMControlNote(controlId);
    if (!text)
        return std::string();
    const std::string note(text);
    return note.substr(0, note.find('\n'));
}
