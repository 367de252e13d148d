; The Windows installer: per user, no administrator rights. It installs
; the program with its README and licence, a Start-menu entry "Mapper"
; that starts the menu launch, and an uninstaller that removes all of it.
; makensis -DVERSION=<version> -DSTAGE=<folder with the files> -DOUTFILE=<exe>
Unicode true
; 64-bit like the program, so that a 64-bit Wine runs it too.
Target amd64-unicode
Name "Mapper ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Mapper"
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Mapper"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Mapper"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${STAGE}\mapper.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Mapper.lnk" "$INSTDIR\mapper.exe" "--menu"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Mapper"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\Mapper.lnk"
  Delete "$INSTDIR\mapper.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
