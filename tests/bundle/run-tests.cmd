@echo off
rem Runs every test program in this folder, one after the other, and sums up
rem their test cases. The last line says "N passed, M failed"; the exit status
rem is 1 when anything failed. Each program also leaves gtest's XML report in
rem results\. A program that ends without its report, or with a failure status
rem but no failed test, counts as one failed test more.
setlocal
cd /d "%~dp0"
if not exist results mkdir results
set /a passed=0
set /a failed=0
set /a skipped=0
for %%p in (*_tests.exe) do call :run %%~np
echo.
if %skipped% gtr 0 echo %skipped% skipped
echo %passed% passed, %failed% failed
if %failed% gtr 0 exit /b 1
exit /b 0

:run
echo ==== %1
if exist "results\%~1.xml" del "results\%~1.xml"
"%~1.exe" --gtest_output=xml:results\%~1.xml
set /a status=%errorlevel%
if not exist "results\%~1.xml" (
  echo %1 ended with status %status% before writing its report
  set /a failed+=1
  exit /b 0
)
set /a failed_before=failed
rem The report's line for each test suite has these attributes first, in this
rem order: name, tests, failures, disabled, skipped (values in quotes). The
rem system's own find, by its full path: another on the path (Git's, for one)
rem takes other arguments.
"%SystemRoot%\System32\find.exe" "<testsuite name=" < "results\%~1.xml" > "results\%~1.suites"
for /f "usebackq tokens=5,7,9,11 delims== " %%a in ("results\%~1.suites") do (
  set /a passed+=%%~a-%%~b-%%~c-%%~d
  set /a failed+=%%~b
  set /a skipped+=%%~d
)
del "results\%~1.suites"
set /a reported=failed-failed_before
if not %status%==0 if %reported%==0 (
  echo %1 ended with status %status% but reported no failed test
  set /a failed+=1
)
exit /b 0
