@echo off
rem Makes room for an EFI system partition on a GPT disk that has none, taking
rem it from the end of an NTFS volume of that disk:
rem
rem   AssistSplitPartition.bat DISK PARTITION SIZE_MIB LETTER
rem
rem   DISK       the disk number that holds the volume (diskpart's "list disk")
rem   PARTITION  the volume's partition number on that disk
rem   SIZE_MIB   the volume's size in MiB, as the program saw it
rem   LETTER     the volume's drive letter (D, or D:)
rem
rem Everything goes through diskpart, run with scripts written to a folder of
rem its own under %TEMP%. Before any change it checks that partition PARTITION
rem of disk DISK is a GPT basic data partition holding the NTFS volume LETTER:,
rem that the disk has no EFI system partition yet (one with a FAT file system
rem there already: nothing to do), and that the volume can give up the room
rem ("shrink querymax"). Then "shrink" takes the room from the volume's end,
rem "create partition efi" makes the partition and "format quick fs=fat32"
rem formats it; nothing removes or changes the volume's letter. Last it checks
rem that the disk has a FAT32 EFI system partition and that the volume still
rem has its letter on the same partition.
rem
rem diskpart's answers are read by the position of their fields and by what
rem does not change with the system's language: numbers, partition type GUIDs,
rem file system names. The script keeps to what every command interpreter of
rem the system understands: "for /f" over files only (not over strings), no
rem findstr, no substrings of variables, no "call ... ||", no redirection of a
rem block in parentheses; a status is read with "if errorlevel".
rem
rem Prints one line: on success on standard output, on failure on standard
rem error with what happened and what to do. Exit status as the Linux script's:
rem   0  done, or the disk already has an EFI system partition with a FAT file system
rem   2  the arguments are not as above
rem   3  diskpart is missing or cannot run (not run as administrator)
rem   4  the volume is not the one described (disk, partition number or letter differ)
rem   5  the partition is not on a GPT disk, or the disk has an EFI system partition without FAT
rem   7  the volume holds no NTFS file system, or diskpart cannot shrink it
rem   8  the volume is too small, or has not enough free space for the EFI system partition
rem   9  a step failed after changes began; the message says what state the disk is in

setlocal EnableExtensions EnableDelayedExpansion
set "NAME=AssistSplitPartition"
rem The EFI system partition: 260 MiB holds FAT32 on disks of 512- and of
rem 4096-byte sectors alike (FAT32 needs 65525 clusters).
set "ESP_MIB=260"
rem What the volume keeps at least.
set "MIN_LEFT_MIB=256"
set "BASIC_DATA_GUID=ebd0a0a2-b9e5-4433-87c0-68b6b72699c7"
set "ESP_GUID=c12a7328-f81f-11d2-ba4b-00a0c93ec93b"
set "DISKPART=%SystemRoot%\System32\diskpart.exe"
set "USAGE=usage: %NAME%.bat DISK PARTITION SIZE_MIB LETTER (for example: 0 3 476837 D)"
set "WORK="

rem --- Arguments ------------------------------------------------------------------

if "%~4"=="" (
  set "MSG=expected 4 arguments: !USAGE!"
  set "RC=2"
  goto fail
)
if not "%~5"=="" (
  set "MSG=expected 4 arguments, got more: !USAGE!"
  set "RC=2"
  goto fail
)
set "DISK=%~1"
set "PART=%~2"
set "SIZE=%~3"
set "LETTER=%~4"
call :number DISK 0 9999999
if errorlevel 1 (
  set "MSG=the disk number '!DISK!' is not a number: !USAGE!"
  set "RC=2"
  goto fail
)
call :number PART 1 9999
if errorlevel 1 (
  set "MSG=the partition number '!PART!' is not a number from 1: !USAGE!"
  set "RC=2"
  goto fail
)
call :number SIZE 1 999999999
if errorlevel 1 (
  set "MSG=the size '!SIZE!' is not a number of MiB: !USAGE!"
  set "RC=2"
  goto fail
)
rem "D:" as "D".
set "LETTER=%LETTER::=%"
set "KNOWN="
for %%L in (A B C D E F G H I J K L M N O P Q R S T U V W X Y Z) do (
  if /I "!LETTER!"=="%%L" set "KNOWN=%%L"
)
if not defined KNOWN (
  set "MSG=the drive letter '%~4' is not a letter from A to Z: !USAGE!"
  set "RC=2"
  goto fail
)
set "LETTER=%KNOWN%"
set /a "NEEDED=ESP_MIB + MIN_LEFT_MIB"
if !SIZE! LSS !NEEDED! (
  set "MSG=!LETTER!: is !SIZE! MiB, too small to give up !ESP_MIB! MiB for an EFI system partition and keep !MIN_LEFT_MIB! MiB; nothing was changed: choose a larger volume"
  set "RC=8"
  goto fail
)

rem --- diskpart and a folder for its scripts -----------------------------------------

if not exist "%DISKPART%" (
  set "MSG=the program diskpart is missing (%DISKPART%); nothing was changed: run this on Windows 7 or later"
  set "RC=3"
  goto fail
)
set "WORK=%TEMP%\%NAME%-%RANDOM%%RANDOM%"
mkdir "%WORK%" 2>nul
if errorlevel 1 (
  set "WORK="
  set "MSG=no working folder can be made in %TEMP%; nothing was changed: check that it exists and is writable"
  set "RC=3"
  goto fail
)

rem --- The volume and its disk -----------------------------------------------------

> "%WORK%\volume.txt" echo select disk !DISK!
>> "%WORK%\volume.txt" echo select partition !PART!
>> "%WORK%\volume.txt" echo detail partition
call :diskpart volume
if !DPRC! EQU 9009 (
  set "MSG=diskpart could not be started; nothing was changed: run the program as administrator"
  set "RC=3"
  goto fail
)
if !DPRC! NEQ 0 (
  set "MSG=disk !DISK! has no partition !PART! (diskpart: !REASON!); nothing was changed: refresh the list of volumes and choose again, as administrator"
  set "RC=4"
  goto fail
)
call :read_detail volume
if /I not "!ROW_LETTER!"=="!LETTER!" (
  set "MSG=partition !PART! of disk !DISK! is not the volume !LETTER!: (diskpart shows '!ROW_LETTER!' there); nothing was changed: refresh the list of volumes and choose again"
  set "RC=4"
  goto fail
)
if /I not "!TYPE_GUID!"=="%BASIC_DATA_GUID%" (
  set "MSG=!LETTER!: is not a basic data partition of a GPT disk; an EFI system partition is made only on GPT disks; nothing was changed: choose a volume on a GPT disk, or convert the disk to GPT first"
  set "RC=5"
  goto fail
)
if not "!ROW_FS!"=="NTFS" (
  set "MSG=!LETTER!: holds no NTFS file system (found '!ROW_FS!'); only an NTFS volume can give up room here; nothing was changed"
  set "RC=7"
  goto fail
)

rem A disk that already has an EFI system partition needs no other.
call :find_esp
if defined ESP_NUMBER (
  if defined ESP_FAT (
    set "MSG=disk !DISK! already has an EFI system partition with a FAT file system (partition !ESP_NUMBER!); nothing was changed"
    goto succeed
  )
  set "MSG=disk !DISK! already has an EFI system partition (partition !ESP_NUMBER!) without a FAT file system; nothing was changed: format it as FAT32 (diskpart: select disk !DISK!, select partition !ESP_NUMBER!, format quick fs=fat32) instead of making another"
  set "RC=5"
  goto fail
)

> "%WORK%\room.txt" echo select volume !LETTER!
>> "%WORK%\room.txt" echo shrink querymax
call :diskpart room
if !DPRC! NEQ 0 (
  set "MSG=diskpart cannot shrink !LETTER!: (!REASON!); nothing was changed: check the volume (chkdsk !LETTER!: /f) and run again"
  set "RC=7"
  goto fail
)
rem "... is:  12 GB (12345 MB)": the number in parentheses.
set "ROOM_MIB="
for /f "usebackq tokens=2 delims=()" %%a in ("%WORK%\room.out") do call :room_of %%a
if defined ROOM_MIB if !ROOM_MIB! LSS !ESP_MIB! (
  set "MSG=!LETTER!: can give up only !ROOM_MIB! MiB and the EFI system partition needs !ESP_MIB! MiB; nothing was changed: free some space on it and run again"
  set "RC=8"
  goto fail
)

rem --- Changes ----------------------------------------------------------------------

> "%WORK%\shrink.txt" echo select volume !LETTER!
>> "%WORK%\shrink.txt" echo shrink desired=!ESP_MIB! minimum=!ESP_MIB!
call :diskpart shrink
if !DPRC! NEQ 0 (
  set "MSG=diskpart could not shrink !LETTER!: (!REASON!); !LETTER!: keeps all its files: check it (chkdsk !LETTER!: /f), free some space and run again"
  set "RC=7"
  goto fail
)

> "%WORK%\create.txt" echo select disk !DISK!
>> "%WORK%\create.txt" echo create partition efi size=!ESP_MIB!
>> "%WORK%\create.txt" echo format quick fs=fat32 label="EFI"
call :diskpart create
if !DPRC! NEQ 0 (
  set "MSG=!LETTER!: gave up !ESP_MIB! MiB, but the EFI system partition could not be made or formatted (diskpart: !REASON!); !LETTER!: keeps all its files: make it with diskpart (select disk !DISK!, create partition efi size=!ESP_MIB!, format quick fs=fat32)"
  set "RC=9"
  goto fail
)

rem --- Checks ----------------------------------------------------------------------

call :find_esp
if not defined ESP_FAT (
  set "MSG=diskpart reported the EFI system partition made, but disk !DISK! shows none with a FAT file system; !LETTER!: keeps all its files: check the disk with diskpart (select disk !DISK!, list partition)"
  set "RC=9"
  goto fail
)
call :diskpart volume
call :read_detail volume
if !DPRC! NEQ 0 set "ROW_LETTER="
if /I not "!ROW_LETTER!"=="!LETTER!" (
  set "MSG=the EFI system partition was made (partition !ESP_NUMBER!), but partition !PART! of disk !DISK! no longer shows the letter !LETTER!: (diskpart: !REASON!); its files are in place: give it its letter again (diskpart: select disk !DISK!, select partition !PART!, assign letter=!LETTER!)"
  set "RC=9"
  goto fail
)
set "MSG=!LETTER!: gave up !ESP_MIB! MiB at its end to the new EFI system partition (partition !ESP_NUMBER!, FAT32) on disk !DISK!; all its files are in place"
goto succeed

rem --- Subroutines --------------------------------------------------------------------

rem call :number VARIABLE LOWEST HIGHEST: status 0 when the variable holds a
rem number from LOWEST to HIGHEST written plainly (no sign, no leading zeros),
rem else 1. "set /a" reads the text as a number; only a plain one reads back
rem the same.
:number
set "VALUE=!%~1!"
if not defined VALUE exit /b 1
set "NUMBER="
set /a "NUMBER=VALUE" 2>nul
if not "!NUMBER!"=="!VALUE!" exit /b 1
if !NUMBER! LSS %~2 exit /b 1
if !NUMBER! GTR %~3 exit /b 1
exit /b 0

rem call :diskpart NAME: runs the script NAME.txt of the working folder, its
rem output in NAME.out; DPRC is diskpart's exit status, REASON its last line.
:diskpart
"%DISKPART%" /s "%WORK%\%~1.txt" > "%WORK%\%~1.out" 2>&1
set "DPRC=!ERRORLEVEL!"
set "REASON=no answer"
for /f "usebackq delims=" %%l in ("%WORK%\%~1.out") do set "REASON=%%l"
exit /b 0

rem call :read_detail NAME: from "detail partition" in NAME.out, TYPE_GUID the
rem partition's type when it is one of the two types this script knows
rem ("Type    : ebd0a0a2-..."), and from the row of its volume
rem ("* Volume 2     D   Label  NTFS   Partition ...", the star optional)
rem ROW_LETTER, the field after the volume's number, and ROW_FS, the first of
rem the fields after that which names a file system.
:read_detail
set "TYPE_GUID="
set "ROW_LETTER="
set "ROW_FS="
for /f "usebackq tokens=2 delims=:" %%b in ("%WORK%\%~1.out") do (
  if /I "%%b"==" %BASIC_DATA_GUID%" set "TYPE_GUID=%BASIC_DATA_GUID%"
  if /I "%%b"==" %ESP_GUID%" set "TYPE_GUID=%ESP_GUID%"
)
for /f "usebackq tokens=1-9" %%a in ("%WORK%\%~1.out") do (
  if "%%a"=="*" (
    call :volume_row "%%c" "%%d" "%%e" "%%f" "%%g" "%%h" "%%i"
  ) else (
    call :volume_row "%%b" "%%c" "%%d" "%%e" "%%f" "%%g" "%%h"
  )
)
exit /b 0

rem call :volume_row NUMBER LETTER FIELD...: a row whose second field is a
rem number and which names a file system.
:volume_row
if defined ROW_FS exit /b 0
set "ROW_NUMBER=%~1"
call :number ROW_NUMBER 0 9999
if errorlevel 1 exit /b 0
set "FS="
for %%f in (%3 %4 %5 %6 %7) do (
  if not defined FS (
    if /I "%%~f"=="NTFS" set "FS=NTFS"
    if /I "%%~f"=="FAT32" set "FS=FAT32"
    if /I "%%~f"=="FAT" set "FS=FAT"
    if /I "%%~f"=="exFAT" set "FS=exFAT"
    if /I "%%~f"=="ReFS" set "FS=ReFS"
    if /I "%%~f"=="RAW" set "FS=RAW"
  )
)
if not defined FS exit /b 0
set "ROW_LETTER=%~2"
set "ROW_FS=%FS%"
exit /b 0

rem call :room_of WORDS: ROOM_MIB, the first word when it is a number.
:room_of
set "ROOM_WORD=%~1"
call :number ROOM_WORD 0 999999999
if not errorlevel 1 set "ROOM_MIB=%ROOM_WORD%"
exit /b 0

rem call :find_esp: ESP_NUMBER, the number of an EFI system partition of the
rem disk, and ESP_FAT, set when its volume holds FAT. The candidates are the
rem numbers in the second field of "list partition"'s rows.
:find_esp
set "ESP_NUMBER="
set "ESP_FAT="
> "%WORK%\list.txt" echo select disk !DISK!
>> "%WORK%\list.txt" echo list partition
call :diskpart list
if !DPRC! NEQ 0 exit /b 0
for /f "usebackq tokens=1-3" %%a in ("%WORK%\list.out") do (
  if "%%a"=="*" (set "CANDIDATE=%%c") else set "CANDIDATE=%%b"
  if not defined ESP_NUMBER call :esp_candidate
)
exit /b 0

:esp_candidate
call :number CANDIDATE 1 9999
if errorlevel 1 exit /b 0
if "!CANDIDATE!"=="!PART!" exit /b 0
> "%WORK%\esp.txt" echo select disk !DISK!
>> "%WORK%\esp.txt" echo select partition !CANDIDATE!
>> "%WORK%\esp.txt" echo detail partition
call :diskpart esp
if !DPRC! NEQ 0 exit /b 0
call :read_detail esp
if /I not "!TYPE_GUID!"=="%ESP_GUID%" exit /b 0
set "ESP_NUMBER=!CANDIDATE!"
if "!ROW_FS!"=="FAT32" set "ESP_FAT=1"
if "!ROW_FS!"=="FAT" set "ESP_FAT=1"
exit /b 0

:succeed
echo %NAME%: !MSG!
set "RC=0"
goto done

:fail
>&2 echo %NAME%: !MSG!
:done
if defined WORK rd /s /q "%WORK%" 2>nul
exit /b %RC%
