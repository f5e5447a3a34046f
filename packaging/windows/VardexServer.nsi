; The Windows installer: VardexServer.exe, vardex.exe and the configuration
; under Program Files, the service registered and started, and an
; uninstaller registered with Windows. Run over an installation, it upgrades
; it in place: stop, replace, start. /S installs and uninstalls silently.
; scripts/package.sh passes VERSION, BUILD_DIR (the windows preset's build),
; CONFIG (the example configuration with CR LF line ends) and OUT_FILE.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh

!define SERVICE "VardexServerService"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VardexServer"
!define PUBLISHER "the VardexServer maintainers"

Name "VardexServer ${VERSION}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\VardexServer"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "VardexServer"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "VardexServer ${VERSION} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Ends the installer or uninstaller with exit code 2 after telling why
; (in a message box unless silent).
!macro Fail TEXT
  DetailPrint "${TEXT}"
  MessageBox MB_ICONSTOP "${TEXT}" /SD IDOK
  SetErrorLevel 2
  Abort
!macroend

; Runs a command with its output in the details; its exit code is in $0.
!macro Run COMMAND
  nsExec::ExecToLog '${COMMAND}'
  Pop $0
!macroend

; Deletes VardexServer.exe once its process has let go of the file (the
; stop step waits for the process to end; a virus scanner may still hold
; the file a moment).
!macro DeleteServer
  StrCpy $1 0
  ${Do}
    ClearErrors
    Delete "$INSTDIR\VardexServer.exe"
    ${IfNot} ${Errors}
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
    ${If} $1 >= 60
      !insertmacro Fail "$INSTDIR\VardexServer.exe is still in use after 30 seconds."
    ${EndIf}
    Sleep 500
  ${Loop}
!macroend

; Waits while the service is starting, up to 60 seconds, and leaves its
; state in $0 (4 is running, 0 unknown): net start does not wait for the
; outcome everywhere.
!macro WaitForServiceStart
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.r1'
  System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE}", i 4) p.r2'
  System::Call '*(&i28) p.r3'
  StrCpy $4 0
  ${Do}
    StrCpy $0 0
    System::Call 'advapi32::QueryServiceStatus(p r2, p r3) i.r5'
    ${If} $5 != 0
      System::Call '*$3(i .r6, i .r0)'
    ${EndIf}
    IntOp $4 $4 + 1
    ${If} $0 != 2
    ${OrIf} $4 >= 120
      ${Break}
    ${EndIf}
    Sleep 500
  ${Loop}
  System::Free $3
  System::Call 'advapi32::CloseServiceHandle(p r2)'
  System::Call 'advapi32::CloseServiceHandle(p r1)'
!macroend

; Stops the service with `PROGRAM` /stop, which waits as long as the
; service reports progress in stopping (a drain may take minutes) and until
; its process has ended.
!macro StopService PROGRAM
  !insertmacro Run '"${PROGRAM}" /stop /silent'
  ${If} $0 != 0
    !insertmacro Fail "${SERVICE} did not stop; nothing was changed."
  ${EndIf}
!macroend

; The program the service runs; empty when it is not registered.
Var ServicePath

Section
  SetOutPath "$INSTDIR"
  ; An installed service is upgraded where it is registered.
  ReadRegStr $ServicePath HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $ServicePath != ""
    ${If} $ServicePath != "$INSTDIR\VardexServer.exe"
    ${AndIf} $ServicePath != '"$INSTDIR\VardexServer.exe"'
      !insertmacro Fail "${SERVICE} is registered for $ServicePath; uninstall it there first (VardexServer.exe /uninstall)."
    ${EndIf}
    ; The new program stops the old one: an older one may lack /stop.
    InitPluginsDir
    File "/oname=$PLUGINSDIR\VardexServer.exe" "${BUILD_DIR}\VardexServer.exe"
    !insertmacro StopService "$PLUGINSDIR\VardexServer.exe"
    !insertmacro DeleteServer
  ${EndIf}

  File "${BUILD_DIR}\VardexServer.exe"
  File "${BUILD_DIR}\src\client\vardex.exe"
  File "/oname=VardexServer.ini.example" "${CONFIG}"
  ; The operator's configuration is never replaced. A fresh one serves this
  ; machine only, and only a directory of its own, until the operator says
  ; otherwise: the service starts at once, as the local system account.
  ${IfNot} ${FileExists} "$INSTDIR\VardexServer.ini"
    File "/oname=VardexServer.ini" "${CONFIG}"
    WriteINIStr "$INSTDIR\VardexServer.ini" "Server" "Root" "$INSTDIR\files"
    WriteINIStr "$INSTDIR\VardexServer.ini" "Server" "BindAddress" "127.0.0.1"
    CreateDirectory "$INSTDIR\files"
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "VardexServer"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\VardexServer.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  ${If} $ServicePath == ""
    !insertmacro Run '"$INSTDIR\VardexServer.exe" /install /silent'
    ${If} $0 != 0
      !insertmacro Fail "VardexServer.exe /install failed; the service is not registered."
    ${EndIf}
  ${EndIf}
  !insertmacro Run '"$SYSDIR\net.exe" start ${SERVICE}'
  !insertmacro WaitForServiceStart
  ${If} $0 != 4
    !insertmacro Fail "${SERVICE} did not start; its log is in $INSTDIR\Log."
  ${EndIf}
SectionEnd

; Removes the service and the program files; the configuration, Log\ and
; files\ stay.
Section "Uninstall"
  ReadRegStr $ServicePath HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $ServicePath != ""
    !insertmacro StopService "$INSTDIR\VardexServer.exe"
    !insertmacro Run '"$INSTDIR\VardexServer.exe" /uninstall /silent'
    ${If} $0 != 0
      !insertmacro Fail "VardexServer.exe /uninstall failed; nothing was removed."
    ${EndIf}
  ${EndIf}
  !insertmacro DeleteServer
  Delete "$INSTDIR\vardex.exe"
  Delete "$INSTDIR\VardexServer.ini.example"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
