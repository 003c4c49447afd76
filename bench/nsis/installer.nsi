; The same job as our setup program, as NSIS does it at its leanest: a silent,
; per-user installer of the two files into the user's programs folder, with no
; pages and no uninstaller. Built by bench/run for the size comparison:
;   makensis -DOUTFILE=<installer> -DMETHOD=zlib|lzma [-DLOADER=<file> -DAPP=<file>] installer.nsi
; Without LOADER and APP the installer carries no files: its size is the
; overhead that the one with files adds to its compressed data.
Unicode true
!if "${METHOD}" == "lzma"
  SetCompressor /SOLID lzma
!else
  SetCompressor zlib
!endif

Name "Lirabel Warden"
OutFile "${OUTFILE}"
RequestExecutionLevel user
SilentInstall silent
InstallDir "$LOCALAPPDATA\Programs\Lirabel Warden"

Section
  SetOutPath "$INSTDIR"
!ifdef LOADER
  File "/oname=WebView2Loader.dll" "${LOADER}"
  File "/oname=lirabel-warden.exe" "${APP}"
!endif
SectionEnd
