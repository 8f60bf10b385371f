; The Windows installer of Tarnwick (tools/package.sh builds it):
;     makensis -DVERSION=1.0 -DBUILD=<windows build folder> -DRULES=<rule file>
;              -DOUTFILE=<setup.exe> packaging/tarnwick.nsi
; A 64-bit installer; /S installs silently, /NOSTART leaves the service
; stopped.  A setting or a rule file that is already there is never
; overwritten; the uninstaller keeps the log folder, the rule file and the
; settings.
Unicode true
Target amd64-unicode
!include LogicLib.nsh
!include FileFunc.nsh

!define SETTINGS "SOFTWARE\Halvane\TARNWICK"
!define EVENTSOURCE "SYSTEM\CurrentControlSet\Services\EventLog\Application\Tarnwick"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnwick"

Name "Tarnwick ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tarnwick"
RequestExecutionLevel admin
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var LogDir
Var Rules

; Writes a setting unless it is there already.
!macro KeepOrWrite NAME VALUE
    ClearErrors
    ReadRegStr $0 HKLM "${SETTINGS}" "${NAME}"
    ${If} ${Errors}
        WriteRegStr HKLM "${SETTINGS}" "${NAME}" "${VALUE}"
    ${EndIf}
!macroend

Function .onInit
    SetRegView 64
FunctionEnd

Section
    ; A service of an earlier install is stopped and removed before its
    ; files are replaced.
    ${If} ${FileExists} "$INSTDIR\tarnwick.exe"
        ExecWait '"$INSTDIR\tarnwick.exe" -remove'
    ${EndIf}
    SetOutPath "$INSTDIR"
    File "${BUILD}/tarnwick.exe"
    File "${BUILD}/check/tarnwick-check.exe"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    !insertmacro KeepOrWrite "Log Dir" "c:\syslog"
    !insertmacro KeepOrWrite "Config File" "c:\syslog\syslog.conf"
    !insertmacro KeepOrWrite "PID File" "c:\syslog\syslog.pid"
    ; The log folder and the rule file the settings name (a relative rule
    ; file is taken in the log folder, as the daemon does).
    ReadRegStr $LogDir HKLM "${SETTINGS}" "Log Dir"
    ReadRegStr $Rules HKLM "${SETTINGS}" "Config File"
    StrCpy $0 $Rules 1
    StrCpy $1 $Rules 1 1
    ${If} $0 != "\"
    ${AndIf} $1 != ":"
        StrCpy $Rules "$LogDir\$Rules"
    ${EndIf}
    CreateDirectory "$LogDir"
    ${IfNot} ${FileExists} "$Rules"
        File "/oname=$Rules" "${RULES}"
    ${EndIf}

    ; The event source, so that the event viewer shows the reports' texts:
    ; error, warning and information events.
    WriteRegExpandStr HKLM "${EVENTSOURCE}" "EventMessageFile" "$INSTDIR\tarnwick.exe"
    WriteRegDWORD HKLM "${EVENTSOURCE}" "TypesSupported" 7

    ExecWait '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name=Tarnwick'
    ExecWait '"$SYSDIR\netsh.exe" advfirewall firewall add rule name=Tarnwick dir=in action=allow protocol=UDP localport=514 program="$INSTDIR\tarnwick.exe"'

    ; The service registers the executable's path in quotes.
    ExecWait '"$INSTDIR\tarnwick.exe" -install'
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/NOSTART" $1
    ${If} ${Errors}
        ExecWait '"$SYSDIR\sc.exe" start Tarnwick'
    ${EndIf}

    WriteRegStr HKLM "${UNINSTKEY}" "DisplayName" "Tarnwick"
    WriteRegStr HKLM "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTKEY}" "Publisher" "Halvane"
    WriteRegStr HKLM "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTKEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTKEY}" "NoRepair" 1
SectionEnd

Function un.onInit
    SetRegView 64
FunctionEnd

; Stops and removes the service, the event source, the firewall rule and the
; program files; the log folder, the rule file and the settings stay.
Section Uninstall
    ExecWait '"$INSTDIR\tarnwick.exe" -remove'
    DeleteRegKey HKLM "${EVENTSOURCE}"
    ExecWait '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name=Tarnwick'
    Delete "$INSTDIR\tarnwick.exe"
    Delete "$INSTDIR\tarnwick-check.exe"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTKEY}"
SectionEnd
