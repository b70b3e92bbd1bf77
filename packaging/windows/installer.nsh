; Additions to CPack's installer script, included among its definitions before any section of its
; own; cmake/Packaging.cmake defines VELANTIS_MAKER and inserts the macros below into CPack's
; install and uninstall sections.

!include LogicLib.nsh

; "Apps & features" and the program's own key belong in the 64-bit registry view, which a 32-bit
; installer does not write to unless told. Hidden sections defined here run first, in the
; installer and in the uninstaller.
Section "-Velantis 64-bit registry view"
  SetRegView 64
SectionEnd

Section "-un.Velantis 64-bit registry view"
  SetRegView 64
SectionEnd

!define VELANTIS_FIREWALL_RULE "Velantis server (UDP 15000)"
!define VELANTIS_NETSH '"$SYSDIR\netsh.exe" advfirewall firewall'

; A line in the installer's details and in install.log beside the programs: a silent install shows
; no details, so what it could not do has to be written where it can be read afterwards.
!macro VelantisLog text
  DetailPrint "${text}"
  FileOpen $R9 "$INSTDIR\install.log" a
  FileSeek $R9 0 END
  FileWrite $R9 "${text}$\r$\n"
  FileClose $R9
!macroend

; Sets $R6 to 1 when the text in $R7 names the rule, to 0 otherwise.
Function VelantisRuleNamed
  StrLen $R5 "${VELANTIS_FIREWALL_RULE}"
  StrCpy $R6 0
  StrCpy $R4 0
  next:
    StrCpy $R3 $R7 $R5 $R4
    StrCmp $R3 "" done
    StrCmp $R3 "${VELANTIS_FIREWALL_RULE}" found
    IntOp $R4 $R4 + 1
    Goto next
  found:
    StrCpy $R6 1
  done:
FunctionEnd

; Lets other machines reach the installed server on UDP 15000, and nothing else through it. Where
; the rule cannot be added the install goes on and says so. Wine's netsh accepts every command and
; does nothing, so the rule counts as added only when netsh lists it afterwards.
!macro VelantisAddFirewallRule
  ; An earlier install's rule is replaced rather than doubled.
  nsExec::ExecToLog '${VELANTIS_NETSH} delete rule name="${VELANTIS_FIREWALL_RULE}"'
  Pop $R8
  nsExec::ExecToLog '${VELANTIS_NETSH} add rule name="${VELANTIS_FIREWALL_RULE}" dir=in action=allow protocol=UDP localport=15000 program="$INSTDIR\velantis-server.exe" enable=yes'
  Pop $R8
  nsExec::ExecToStack '${VELANTIS_NETSH} show rule name="${VELANTIS_FIREWALL_RULE}"'
  Pop $R6
  Pop $R7
  Call VelantisRuleNamed
  ${If} $R8 == 0
  ${AndIf} $R6 == 1
    !insertmacro VelantisLog "Firewall: added the inbound rule $\"${VELANTIS_FIREWALL_RULE}$\" for $INSTDIR\velantis-server.exe."
  ${Else}
    ${If} $R8 == 0
      StrCpy $R8 "netsh reported success but does not list the rule"
    ${Else}
      StrCpy $R8 "netsh exit code $R8"
    ${EndIf}
    !insertmacro VelantisLog "Firewall: could not add the inbound rule $\"${VELANTIS_FIREWALL_RULE}$\" ($R8); allow UDP port 15000 for $INSTDIR\velantis-server.exe by hand."
  ${EndIf}
!macroend

!macro VelantisRemoveFirewallRule
  nsExec::ExecToLog '${VELANTIS_NETSH} delete rule name="${VELANTIS_FIREWALL_RULE}" program="$INSTDIR\velantis-server.exe"'
  Pop $R8
  DetailPrint "Firewall: removed the inbound rule $\"${VELANTIS_FIREWALL_RULE}$\" (netsh exit code $R8)."
  Delete "$INSTDIR\install.log"
!macroend

; CPack's uninstaller removes the program's own key; the maker's key above it goes once empty.
Function un.onUninstSuccess
  SetRegView 64
  DeleteRegKey /ifempty HKLM "Software\${VELANTIS_MAKER}"
FunctionEnd
