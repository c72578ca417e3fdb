; The setup program of the Tone Mapping filter: the 64-bit plug-in and its help page
; into a plug-ins folder the user chooses, optionally the 32-bit plug-in into the
; 32-bit host's own folder, the installation folder recorded for the dialog's Help
; button, and an uninstaller that removes exactly what was installed.
;
;   makensis -DVERSION=1.2.3 -DPLUGIN64=<64-bit .8bf> [-DPLUGIN32=<32-bit .8bf>]
;            -DHELP_NSH=<help-files.nsh> -DOUTFILE=<setup.exe> ToneMapping.nsi
;
; HELP_NSH is written by help-files.cmake from the help folder: the page and its
; pictures, file by file, for installing, checking and removing them. Without
; PLUGIN32 the setup program has no 32-bit component.
;
; Command line (silent mode):
;   setup.exe /S [/PLUGINS32=FOLDER] [/D=FOLDER]
; /PLUGINS32= selects the 32-bit plug-in and names its folder (quote a folder with
; spaces: /PLUGINS32="C:\Program Files (x86)\Host\Plug-ins"; quoting the whole option
; works too).
; /D= is the 64-bit plug-ins folder; it must come last and is not quoted, spaces and all.
; Exit status 0 when installed, 2 when refused or cancelled (nothing installed then).

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
; Per user: the folder is recorded in the user's own registry, where the plug-in
; reads it. An administrator is asked to elevate (plug-ins folders usually lie under
; Program Files); a standard user installs into a folder of their own.
RequestExecutionLevel highest
ManifestDPIAware true

!ifndef VERSION | PLUGIN64 | HELP_NSH | OUTFILE
  !error "VERSION, PLUGIN64, HELP_NSH and OUTFILE must be defined (see the top of this file)"
!endif

!define PRODUCT "Kestrimond Tone Mapping"
!define COMPANY "Quarrystone"
; The plug-in's own key: its last-used settings and the "Path" value live here.
!define SETTINGS_KEY "Software\Quarrystone\Kestrimond\ToneMappingPlugin"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KestrimondToneMapping"
!define UNINSTALLER "ToneMappingUninstall.exe"
!define PLUGIN_FILE "ToneMapping.8bf"

!include MUI2.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include LogicLib.nsh
!include x64.nsh
!include "${HELP_NSH}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${COMPANY}"
InstallDir "$PROGRAMFILES64\${COMPANY}\${PRODUCT}"
InstallDirRegKey HKCU "${SETTINGS_KEY}" "Path"
; A file that cannot be written offers Retry or Cancel, never a skip: a skipped file
; would leave the filter without its plug-in or page.
AllowSkipFiles off

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${COMPANY}"

Var Plugins32Dir
; 1 when the checks made the folder (a refusal removes it again).
Var MadeInstDir
!ifdef PLUGIN32
Var MadePlugins32Dir
!endif

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_WELCOMEPAGE_TEXT "This installs the ${PRODUCT} filter ${VERSION} for 16- and 32-bit images into \
your image editor's plug-ins folder, with its help page.$\r$\n$\r$\nClose the image editor before you go on: \
a plug-in in use cannot be replaced.$\r$\n$\r$\nClick Next to continue."
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS

!define MUI_PAGE_HEADER_TEXT "Plug-ins Folder"
!define MUI_PAGE_HEADER_SUBTEXT "Where your 64-bit image editor looks for filters."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Choose the plug-ins folder of your 64-bit image editor (or a folder of \
your own that the editor is set to search). The help page is installed beside the plug-in."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "64-bit plug-ins folder"
!insertmacro MUI_PAGE_DIRECTORY

!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipPlugins32Page
!define MUI_PAGE_HEADER_TEXT "32-bit Plug-ins Folder"
!define MUI_PAGE_HEADER_SUBTEXT "Where your 32-bit image editor looks for filters."
!define MUI_DIRECTORYPAGE_TEXT_TOP "A 32-bit image editor loads only 32-bit plug-ins, from its own plug-ins \
folder. Choose that folder."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "32-bit plug-ins folder"
!define MUI_DIRECTORYPAGE_VARIABLE $Plugins32Dir
!insertmacro MUI_PAGE_DIRECTORY

!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_TEXT "${PRODUCT} is installed. Start your image editor and find Tone Mapping among \
its filters; the Help button of the filter's dialog opens the help page."
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\ToneMappingHelp.html"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Open the help page"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; --- refusing before anything is written -------------------------------------------

; Undoes what the checks below made (empty folders only) and stops the installation
; with the message on the stack. Nothing has been written when it is called.
Function Refuse
  Exch $0
  !insertmacro TM_REMOVE_HELP_FOLDERS
  ${If} $MadeInstDir == 1
    RMDir "$INSTDIR"
  ${EndIf}
!ifdef PLUGIN32
  ${If} $MadePlugins32Dir == 1
    RMDir "$Plugins32Dir"
  ${EndIf}
!endif
  MessageBox MB_OK|MB_ICONSTOP "$0$\r$\n$\r$\nNothing was installed." /SD IDOK
  Abort "Nothing was installed."
FunctionEnd

; Stops the installation when the file named on the stack cannot be written (a
; read-only folder, a plug-in that a running editor holds), before any file is
; written: a half-installed filter would be worse than none. A file that was not
; there is not left behind by the check.
Function CheckWritable
  Exch $0
  Push $1
  Push $2
  StrCpy $2 existed
  IfFileExists "$0" +2
    StrCpy $2 new
  ClearErrors
  FileOpen $1 "$0" a
  ${If} ${Errors}
    Push "Cannot write $0.$\r$\n$\r$\nChoose a folder you may write to (or run the setup program as an \
administrator) and close any program that uses the plug-in."
    Call Refuse
  ${EndIf}
  FileClose $1
  ${If} $2 == new
    Delete "$0"
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

!macro CHECK_WRITABLE FILE
  Push "${FILE}"
  Call CheckWritable
!macroend

; Makes the folder named on the stack, or refuses; leaves 1 on the stack when the
; folder was not there before, else 0.
Function MakeFolder
  Exch $0
  Push $1
  StrCpy $1 0
  ${IfNot} ${FileExists} "$0\*.*"
    StrCpy $1 1
  ${EndIf}
  ClearErrors
  CreateDirectory "$0"
  ${If} ${Errors}
  ${OrIfNot} ${FileExists} "$0\*.*"
    Push "Cannot create the folder $0.$\r$\n$\r$\nChoose a folder you may write to (or run the setup \
program as an administrator)."
    Call Refuse
  ${EndIf}
  Exch $1
  Exch
  Pop $0
FunctionEnd

!macro MAKE_FOLDER FOLDER MADE
  Push "${FOLDER}"
  Call MakeFolder
  Pop ${MADE}
!macroend

; --- what is installed ---------------------------------------------------------------

Section "Tone Mapping plug-in (64-bit) and help" SectionPlugin64
  SectionIn RO
  Call CheckEverything

  SetOutPath "$INSTDIR"
  File "/oname=${PLUGIN_FILE}" "${PLUGIN64}"
  !insertmacro TM_INSTALL_HELP

  ; The dialog appends "\ToneMappingHelp.html" to this: no trailing backslash (a
  ; drive's root comes as "C:\").
  StrCpy $0 "$INSTDIR"
  StrCpy $1 "$0" "" -1
  ${If} $1 == "\"
    StrCpy $0 "$0" -1
  ${EndIf}
  ClearErrors
  WriteRegStr HKCU "${SETTINGS_KEY}" "Path" "$0"

  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${UNINSTALLER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "Cannot write the plug-in's settings to the registry. The Help button \
will not find the help page." /SD IDOK
    SetErrorLevel 2
  ${EndIf}
SectionEnd

!ifdef PLUGIN32
Section /o "Tone Mapping plug-in (32-bit)" SectionPlugin32
  SetOutPath "$Plugins32Dir"
  File "/oname=${PLUGIN_FILE}" "${PLUGIN32}"
  ; Where the uninstaller finds it.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Plugins32Location" "$Plugins32Dir"
SectionEnd
!endif

; Every file the installation will write, checked before the first is written (after
; the sections: it asks which are selected).
Function CheckEverything
  !insertmacro MAKE_FOLDER "$INSTDIR" $MadeInstDir
  !insertmacro CHECK_WRITABLE "$INSTDIR\${PLUGIN_FILE}"
  !insertmacro TM_CHECK_HELP
  !insertmacro CHECK_WRITABLE "$INSTDIR\${UNINSTALLER}"
!ifdef PLUGIN32
  ${If} ${SectionIsSelected} ${SectionPlugin32}
    !insertmacro MAKE_FOLDER "$Plugins32Dir" $MadePlugins32Dir
    !insertmacro CHECK_WRITABLE "$Plugins32Dir\${PLUGIN_FILE}"
  ${EndIf}
!endif
FunctionEnd

Section "-size"
  ; The Add/Remove Programs size, in KiB, of everything the sections installed.
  SectionGetSize ${SectionPlugin64} $0
!ifdef PLUGIN32
  ${If} ${SectionIsSelected} ${SectionPlugin32}
    SectionGetSize ${SectionPlugin32} $1
    IntOp $0 $0 + $1
  ${EndIf}
!endif
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SectionPlugin64} "The filter for 64-bit image editors, and its help page."
!ifdef PLUGIN32
  !insertmacro MUI_DESCRIPTION_TEXT ${SectionPlugin32} "The filter for 32-bit image editors, into their own \
plug-ins folder (chosen on a later page)."
!endif
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  ; The 32-bit folder of an earlier installation, else one beside the default.
  ReadRegStr $Plugins32Dir HKCU "${UNINSTALL_KEY}" "Plugins32Location"
  ${If} $Plugins32Dir == ""
    StrCpy $Plugins32Dir "$PROGRAMFILES32\${COMPANY}\${PRODUCT}"
  ${EndIf}
  ${GetParameters} $0
  ; The whole option in quotes, as "/PLUGINS32=C:\a folder", becomes the form that
  ; GetOptions reads: /PLUGINS32="C:\a folder".
  ${WordReplace} $0 '"/PLUGINS32=' '/PLUGINS32="' "+1" $0
  ClearErrors
  ${GetOptions} $0 "/PLUGINS32=" $1
  ${IfNot} ${Errors}
!ifdef PLUGIN32
    ${If} $1 == ""
      MessageBox MB_OK|MB_ICONSTOP "/PLUGINS32= needs a folder." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    StrCpy $Plugins32Dir $1
    !insertmacro SelectSection ${SectionPlugin32}
!else
    MessageBox MB_OK|MB_ICONSTOP "This setup program has no 32-bit plug-in." /SD IDOK
    SetErrorLevel 2
    Quit
!endif
  ${EndIf}
FunctionEnd

Function SkipPlugins32Page
!ifdef PLUGIN32
  ${IfNot} ${SectionIsSelected} ${SectionPlugin32}
    Abort
  ${EndIf}
!else
  Abort
!endif
FunctionEnd

; --- what is removed -----------------------------------------------------------------

; Files by name and folders only when empty: the plug-ins folders hold other filters.
; The user's last-used settings stay beside "Path" in the plug-in's key.
Section "Uninstall"
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "Plugins32Location"
  ${If} $0 != ""
    Delete "$0\${PLUGIN_FILE}"
    RMDir "$0"
  ${EndIf}
  Delete "$INSTDIR\${PLUGIN_FILE}"
  !insertmacro TM_UNINSTALL_HELP
  DeleteRegValue HKCU "${SETTINGS_KEY}" "Path"
  DeleteRegKey /ifempty /ifnovalues HKCU "${SETTINGS_KEY}"
  DeleteRegKey /ifempty /ifnovalues HKCU "Software\Quarrystone\Kestrimond"
  DeleteRegKey /ifempty /ifnovalues HKCU "Software\Quarrystone"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
SectionEnd
