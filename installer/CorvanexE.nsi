; The product's installer: the installation folder, start with Windows for
; every user, and an uninstaller that removes what was installed.
; makensis -DPRODUCT_DIR=<folder laid out as installed> -DOUTFILE=<setup.exe>
;          -DVERSION=<a.b.c.d> -DPRODUCT_FILES=<product_files.nsh> [-DWIN64]
!ifdef WIN64
  Target amd64-unicode
!else
  Unicode true
!endif
SetCompressor /SOLID lzma

!include "LogicLib.nsh"
!include "x64.nsh"

!define PRODUCT "CorvanexE"
!define COMPANY "Veltrox"
!define MONITOR_EXE "CorvanexEMon.exe"
!define MONITOR_WINDOW_CLASS "TQZCorvanexE_TrayIconCer"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\${PRODUCT}"
!define WM_QUERYENDSESSION 0x0011
!define WM_ENDSESSION 0x0016
!define SYNCHRONIZE 0x00100000
; Our cryptographic provider, registered under the name the language files
; give as PROVIDER_NAME, in the registry view of its own bitness: the 32-bit
; installer also brings the 64-bit one for 64-bit programs on 64-bit Windows.
!define PROVIDER_KEY "SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Veltrox Pelkin V9Arc CSP V1.1"
!ifdef WIN64
  !define PROVIDER_DLL "CorvanexCsp64.dll"
!else
  !define PROVIDER_DLL "CorvanexCsp.dll"
  !define PROVIDER64_DLL "CorvanexCsp64.dll"
!endif

!macro RegisterProvider DLL
  WriteRegStr HKLM "${PROVIDER_KEY}" "Image Path" "$INSTDIR\${DLL}"
  WriteRegDWORD HKLM "${PROVIDER_KEY}" "Type" 1  ; PROV_RSA_FULL
  WriteRegDWORD HKLM "${PROVIDER_KEY}" "SigInFile" 0
!macroend

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
!ifdef WIN64
  InstallDir "$PROGRAMFILES64\${COMPANY}\${PRODUCT}"
!else
  InstallDir "$PROGRAMFILES\${COMPANY}\${PRODUCT}"
!endif
; An update goes where the product is installed.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${COMPANY}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "LegalCopyright" "${COMPANY}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A running monitor is asked to end as at logoff, so it takes its
; certificates out of the store and its files can be replaced. Its process is
; waited for, not its window: the window goes before the process has let go
; of its files. Bounded, so a monitor that hangs cannot stop the install (its
; files are then replaced at the next restart).
!macro CloseRunningMonitor
  FindWindow $0 "${MONITOR_WINDOW_CLASS}"
  ${If} $0 <> 0
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i 0 r3) i'
    System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i r3) p .r4'
    SendMessage $0 ${WM_QUERYENDSESSION} 0 0
    SendMessage $0 ${WM_ENDSESSION} 1 0
    ${If} $4 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r4, i 30000) i'
      System::Call 'kernel32::CloseHandle(p r4)'
    ${Else}
      StrCpy $1 0
      ${DoWhile} $0 <> 0
        ${IfThen} $1 >= 50 ${|} ${ExitDo} ${|}
        Sleep 200
        FindWindow $0 "${MONITOR_WINDOW_CLASS}"
        IntOp $1 $1 + 1
      ${Loop}
      Sleep 500
    ${EndIf}
  ${EndIf}
!macroend

; A program file held by a monitor this installer cannot reach (one of
; another signed-in user, whose session its window messages do not cross) is
; replaced at the next restart; the install goes on and says so.
!macro InstallProgramFile NAME
  ClearErrors
  FileOpen $2 "$INSTDIR\${NAME}" a
  ${If} ${Errors}
    File "/oname=$INSTDIR\${NAME}.new" "${PRODUCT_DIR}\${NAME}"
    Rename /REBOOTOK "$INSTDIR\${NAME}.new" "$INSTDIR\${NAME}"
  ${Else}
    FileClose $2
    File "${PRODUCT_DIR}\${NAME}"
  ${EndIf}
!macroend

; InstallProductFiles and RemoveProductFiles: made from the one file list.
!include "${PRODUCT_FILES}"

; Where the Windows Installer package installed the product; an install of
; its own then belongs to the administrator's deployment, which updates it.
!define PACKAGE_KEY "Software\Veltrox\CorvanexE"

Function .onInit
!ifdef WIN64
  SetRegView 64
!endif
  ReadRegStr $0 HKLM "${PACKAGE_KEY}" "InstallFolder"
  ${If} $0 != ""
    MessageBox MB_OK|MB_ICONINFORMATION "${PRODUCT} was installed by its Windows Installer package in $0. Update or remove it through that package." /SD IDOK
    SetErrorLevel 1638  ; ERROR_PRODUCT_VERSION: another installation of the product exists
    Quit
  ${EndIf}
FunctionEnd

Function un.onInit
!ifdef WIN64
  SetRegView 64
!endif
FunctionEnd

Section "Install"
  !insertmacro CloseRunningMonitor
  SetOutPath "$INSTDIR"
  ; The files of installer/product_files.txt, as the MSI package has them.
  !insertmacro InstallProductFiles
  !insertmacro InstallProgramFile "${PROVIDER_DLL}"

  ; The monitor's events: their texts are in its message table.
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\${MONITOR_EXE}"
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7

  !insertmacro RegisterProvider "${PROVIDER_DLL}"
!ifdef PROVIDER64_DLL
  ${If} ${RunningX64}
    !insertmacro InstallProgramFile "${PROVIDER64_DLL}"
    SetRegView 64
    !insertmacro RegisterProvider "${PROVIDER64_DLL}"
    SetRegView 32
  ${EndIf}
!endif

  WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\${MONITOR_EXE}"'
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} ${RebootFlag}
    SetErrorLevel 3010  ; ERROR_SUCCESS_REBOOT_REQUIRED, as deployment tools expect
    MessageBox MB_OK|MB_ICONINFORMATION "${PRODUCT} is in use by another user. The update is finished when Windows restarts." /SD IDOK
  ${EndIf}
SectionEnd

; Only what the installer put there goes; the users' own data in their
; profiles stays.
Section "Uninstall"
  !insertmacro CloseRunningMonitor
  ; No logon should start a program that is about to go.
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  !insertmacro RemoveProductFiles
  ; Programs still using the provider keep it until they end.
  DeleteRegKey HKLM "${PROVIDER_KEY}"
  Delete /REBOOTOK "$INSTDIR\${PROVIDER_DLL}"
!ifdef PROVIDER64_DLL
  ${If} ${RunningX64}
    SetRegView 64
    DeleteRegKey HKLM "${PROVIDER_KEY}"
    SetRegView 32
  ${EndIf}
  Delete /REBOOTOK "$INSTDIR\${PROVIDER64_DLL}"
!endif
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
