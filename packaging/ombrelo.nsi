; Ombrelo's Windows installer (NSIS 3, a 64-bit installer): installs the three programs and their
; papers into Program Files\Ombrelo, adds a Start-menu shortcut and an uninstaller, and registers
; under Apps & features with publisher, version and icon. /S installs and uninstalls silently.
; scripts/release.sh runs it as
;   makensis -DVERSION_FILE=<build>/packaging/ombrelo_version.nsh -DSTAGE=<folder of the files>
;            -DICON=<source>/resources/ombrelo.ico -DOUTFILE=<installer> ombrelo.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include "${VERSION_FILE}"
!include "MUI2.nsh"
!include "FileFunc.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Ombrelo"

Name "Ombrelo"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Ombrelo"
; A new version goes where the last one was.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Ombrelo ${OMBRELO_VERSION}"

VIProductVersion "${OMBRELO_VERSION}"
VIFileVersion "${OMBRELO_VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "Ombrelo"
VIAddVersionKey /LANG=1033 "CompanyName" "${OMBRELO_PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "Ombrelo Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${OMBRELO_VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${OMBRELO_VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${OMBRELO_COPYRIGHT}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\Ombrelo.exe"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; For every user of the PC, in the 64-bit view of the registry: where Apps & features looks.
Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Ombrelo"
  SetOutPath "$INSTDIR"
  File "${STAGE}/Ombrelo.exe"
  File "${STAGE}/ombrelo-console.exe"
  File "${STAGE}/ombrelo-plot.exe"
  File "${STAGE}/README.txt"
  File "${STAGE}/LICENSE.txt"
  File "${STAGE}/THIRD-PARTY-NOTICES.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateShortcut "$SMPROGRAMS\Ombrelo.lnk" "$INSTDIR\Ombrelo.exe" "" "$INSTDIR\Ombrelo.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Ombrelo"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${OMBRELO_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${OMBRELO_PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Ombrelo.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "URLInfoAbout" "${OMBRELO_HOMEPAGE}"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Only what the installer put there: a folder the user chose may hold other files.
Section "Uninstall"
  Delete "$INSTDIR\Ombrelo.exe"
  Delete "$INSTDIR\ombrelo-console.exe"
  Delete "$INSTDIR\ombrelo-plot.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\THIRD-PARTY-NOTICES.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Ombrelo.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
