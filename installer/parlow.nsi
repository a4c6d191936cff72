; Per-user installer and uninstaller of Parlow.exe. Built by scripts/package, which passes
;   VERSION  the project version, x.y.z
;   EXE      the Parlow.exe to install
;   ICON     the application icon
;   OUTFILE  the installer to write
; Everything it writes lies in the current user's profile and registry hive: it never asks for
; administrator rights.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include WinMessages.nsh
!include Sections.nsh

!ifndef VERSION | EXE | ICON | OUTFILE
  !error "define VERSION, EXE, ICON and OUTFILE (scripts/package does)"
!endif

!define PRODUCT "Parlow"
!define PUBLISHER "Parlow"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Parlow"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "Parlow"
!define TRAY_CLASS "ParlowTray"
!define TRAY_TITLE "Parlow"
!define INSTANCE_MUTEX "Local\ParlowCollectorApp"
; How long a running instance gets to stop in order (its last upload included).
!define QUIT_WAIT_MS 15000
; Exit codes of a silent run that changed nothing.
!define EXIT_NEWER_INSTALLED 3
!define EXIT_STILL_RUNNING 4

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Parlow"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails nevershow
ShowUninstDetails nevershow

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_UNCONFIRMPAGE_TEXT_TOP "Parlow will be closed and removed from this computer. Your settings, enrollment and statistics stay unless you choose to remove them on the next page."

!insertmacro MUI_PAGE_INSTFILES

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

; 1 when a running instance was asked to quit (the new one is started afterwards).
Var WasRunning
; 1 when no installed version was found.
Var Fresh

; Stops a running instance the way its tray menu's Quit does and waits for its process to end.
; $WasRunning: 1 when one was running. Sets the error flag when it still runs after the wait:
; it is never killed, since that would lose the observations it still holds.
!macro DEFINE_QUIT_RUNNING un
Function ${un}InstanceAlive
  ; $R0: 1 while the tray window, the single-instance mutex or the instance's process (whose
  ; handle QuitRunning keeps in $R1) still exists: the process ends after its window, and its
  ; files stay in use until it has.
  Push $0
  StrCpy $R0 0
  FindWindow $0 "${TRAY_CLASS}" "${TRAY_TITLE}"
  ${If} $0 <> 0
    StrCpy $R0 1
  ${Else}
    ; SYNCHRONIZE access is enough to learn whether the mutex still exists.
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${INSTANCE_MUTEX}") p .r0'
    ${If} $0 != 0
      StrCpy $R0 1
      System::Call 'kernel32::CloseHandle(p r0)'
    ${ElseIf} $R1 != 0
      ; WAIT_TIMEOUT (258): still running.
      System::Call 'kernel32::WaitForSingleObject(p R1, i 0) i .r0'
      ${If} $0 == 258
        StrCpy $R0 1
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Pop $0
FunctionEnd

Function ${un}QuitRunning
  Push $0
  Push $1
  Push $2
  Push $3
  Push $R0
  Push $R1
  StrCpy $WasRunning 0
  StrCpy $R1 0
  ClearErrors
  Call ${un}InstanceAlive
  ${If} $R0 == 1
    StrCpy $WasRunning 1
    System::Call 'kernel32::GetTickCount() i .r1'
    StrCpy $2 0
    ${Do}
      ; Posted, not sent: the window answers WM_CLOSE by stopping the collector, which may
      ; take seconds; a post is seen once the instance has a window.
      ${If} $2 == 0
        FindWindow $0 "${TRAY_CLASS}" "${TRAY_TITLE}"
        ${If} $0 <> 0
          System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r3)'
          System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i r3) p .R1'
          System::Call 'user32::PostMessageW(p r0, i ${WM_CLOSE}, p 0, p 0)'
          StrCpy $2 1
        ${EndIf}
      ${EndIf}
      Sleep 100
      Call ${un}InstanceAlive
      ${If} $R0 == 0
        ${Break}
      ${EndIf}
      System::Call 'kernel32::GetTickCount() i .r0'
      IntOp $0 $0 - $1
      ${If} $0 > ${QUIT_WAIT_MS}
        SetErrors
        ${Break}
      ${EndIf}
    ${Loop}
  ${EndIf}
  ${If} $R1 != 0
    System::Call 'kernel32::CloseHandle(p R1)'
  ${EndIf}
  Pop $R1
  Pop $R0
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Quits a running instance; when it does not stop in time, an interactive run offers to try
; again and a silent one (or a cancelled one) ends with EXIT_STILL_RUNNING before any change.
Function ${un}QuitRunningOrStop
  ${Do}
    Call ${un}QuitRunning
    ${IfNot} ${Errors}
      Return
    ${EndIf}
    ${If} ${Silent}
      SetErrorLevel ${EXIT_STILL_RUNNING}
      Quit
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Parlow is still running: it did not close within 15 seconds. Nothing was changed.$\r$\n$\r$\nQuit Parlow from its menu in the notification area, then choose Retry." IDRETRY retry
    SetErrorLevel ${EXIT_STILL_RUNNING}
    Quit
    retry:
  ${Loop}
FunctionEnd
!macroend
!insertmacro DEFINE_QUIT_RUNNING ""
!insertmacro DEFINE_QUIT_RUNNING "un."

Function .onInit
  SetShellVarContext current
  StrCpy $Fresh 1
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "DisplayVersion"
  ${If} $0 != ""
    StrCpy $Fresh 0
    ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $1 != ""
      StrCpy $INSTDIR $1
    ${EndIf}
    ; 1: the installed version is newer than this one.
    ${VersionCompare} "$0" "${VERSION}" $2
    ${If} $2 == 1
      ${If} ${Silent}
        SetErrorLevel ${EXIT_NEWER_INSTALLED}
        Quit
      ${EndIf}
      MessageBox MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2 "Parlow $0 is installed, which is newer than this version (${VERSION}).$\r$\n$\r$\nReplace it with the older version?" IDYES older_ok
      SetErrorLevel ${EXIT_NEWER_INSTALLED}
      Quit
      older_ok:
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "Parlow" SecProgram
  SectionIn RO
  Call QuitRunningOrStop

  SetOutPath "$INSTDIR"
  File "/oname=Parlow.exe" "${EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Parlow.lnk" "$INSTDIR\Parlow.exe" "" "$INSTDIR\Parlow.exe" 0 SW_SHOWNORMAL "" "Shows what Parlow collects and sends"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Parlow.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; An instance that was running comes back in the background; a fresh interactive install
  ; opens Parlow so the user can connect it. A fresh silent install starts nothing.
  ${If} $WasRunning == 1
    Exec '"$INSTDIR\Parlow.exe" --background'
  ${ElseIf} $Fresh == 1
    ${IfNot} ${Silent}
      Exec '"$INSTDIR\Parlow.exe"'
    ${EndIf}
  ${EndIf}
SectionEnd

Section "un.Parlow" UnSecProgram
  SectionIn RO
  Call un.QuitRunningOrStop

  Delete "$INSTDIR\Parlow.exe"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: files the user put there stay.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Parlow.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"

  ; Start with Windows: only the value that starts this copy; one naming another copy stays.
  ClearErrors
  ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${IfNot} ${Errors}
    Push $0
    Call un.CommandProgram
    Pop $1
    ; StrCmp compares without regard to case, as Windows paths are.
    ${If} $1 == "$INSTDIR\Parlow.exe"
      DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${EndIf}
  ${EndIf}
SectionEnd

; The user's settings, enrollment token and statistics. Capture folders the user chose
; elsewhere are never touched.
Section /o "un.Remove my Parlow data" UnSecData
  RMDir /r "$LOCALAPPDATA\Parlow"
  Delete "$LOCALAPPDATA\Vornet\collector-*.token"
  RMDir "$LOCALAPPDATA\Vornet"
SectionEnd

; The program path of a command line on the stack: the text inside its leading quotes (to the
; end without a closing quote), or the whole text when it does not start with a quote.
Function un.CommandProgram
  Exch $0
  Push $1
  Push $2
  Push $3
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
    StrLen $3 $0
    StrCpy $2 0
    ${Do}
      ${If} $2 >= $3
        ${Break}
      ${EndIf}
      StrCpy $1 $0 1 $2
      ${If} $1 == '"'
        StrCpy $0 $0 $2
        ${Break}
      ${EndIf}
      IntOp $2 $2 + 1
    ${Loop}
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

Function un.onInit
  SetShellVarContext current
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVEDATA" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UnSecData}
  ${EndIf}
FunctionEnd
