@echo off
rem run-tests.cmd WIDTH LAUNCHERS [OPTION...]: the end-to-end suite against the launchers
rem of WIDTH (x86, x64 or arm64) in the folder LAUNCHERS, from an administrator's prompt;
rem the JUnit XML in zk_e2e-WIDTH.xml in the current folder. Options after the folder go
rem to zk_e2e.exe as they are (GoogleTest's, --allowed-skips FILE --runner NAME), seven at
rem most; cmd splits a word at "=", so an option that holds one goes in double quotes
rem ("--gtest_filter=Launcher.*").
setlocal EnableExtensions DisableDelayedExpansion
if "%~2"=="" (
  echo usage: run-tests.cmd x86^|x64^|arm64 LAUNCHERS_FOLDER [OPTION...] 1>&2
  exit /b 2
)
set "launchers=%~2"
rem A folder typed with its trailing backslash (C:\rel\x64\) would end the quoted argument
rem below in \", which zk_e2e.exe reads as a quote inside the argument: a "." after the
rem backslash names the same folder, a drive's root included.
if "%launchers:~-1%"=="\" set "launchers=%launchers%."
"%~dp0zk_e2e.exe" --width %1 --launchers "%launchers%" --gtest_output=xml:zk_e2e-%1.xml %3 %4 %5 %6 %7 %8 %9
exit /b %ERRORLEVEL%
