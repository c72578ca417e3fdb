/* Resource names and control ids of the settings dialog and the About box, shared by
 * the resource script (ToneMapping.rc) and the code that drives the dialogs. Plain
 * macros only: the resource compiler's preprocessor reads this file too.
 *
 * The settings ids follow one scheme: a setting's slider has a multiple of ten from
 * 100 to 170, its value label that id plus 1, its caption that id plus 2. */
#ifndef TM_DIALOG_IDS_H
#define TM_DIALOG_IDS_H

/* The settings dialog is found by this name among the module's dialog resources;
 * the About box by this number. */
#define TM_SETTINGS_DIALOG_NAME "TM_DIALOG3"
#define TM_ABOUT_DIALOG_ID 16000

/* --- Settings dialog ---------------------------------------------------------------- */

#define TM_ID_OK 1     /* the dialog manager sends it for Enter as well */
#define TM_ID_CANCEL 2 /* and this one for Escape */
#define TM_ID_PREVIOUS 3
#define TM_ID_HELP 4
#define TM_ID_PREVIEW_FRAME 5 /* hidden: where the preview is drawn */

#define TM_ID_LUMINOSITY 100
#define TM_ID_STRENGTH 110
#define TM_ID_SATURATION 120
#define TM_ID_WHITE_CLIP 130
#define TM_ID_BLACK_CLIP 140
#define TM_ID_SMOOTHING 150
#define TM_ID_MICROCONTRAST 160
#define TM_ID_MICROSMOOTHING 170
#define TM_ID_LABEL_OFFSET 1   /* slider id + 1: the value label */
#define TM_ID_CAPTION_OFFSET 2 /* slider id + 2: the caption */

#define TM_ID_SIZE_512 201
#define TM_ID_SIZE_768 202
#define TM_ID_SIZE_1024 203
#define TM_ID_SHOW_ORIGINAL 210
#define TM_ID_IMAGE360 300
#define TM_ID_DEFAULT 310
#define TM_ID_LOAD 320
#define TM_ID_SAVE 330
#define TM_ID_HISTOGRAM_FRAME 400 /* hidden: where the histogram is drawn */
#define TM_ID_NOTE_TEXT 500
#define TM_ID_NOTE_FRAME 550
#define TM_ID_UNNAMED (-1) /* static texts the code never addresses */

/* --- About box ---------------------------------------------------------------------- */

#define TM_ID_ABOUT_TITLE 1001 /* given a bold font when the box opens */
#define TM_ID_ABOUT_TEXT1 1002
#define TM_ID_ABOUT_TEXT2 1003
#define TM_ID_ABOUT_TEXT3 1004

#endif /* TM_DIALOG_IDS_H */
