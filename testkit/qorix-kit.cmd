@echo off
rem Kovaltherm test kit: installs, starts, stops and removes the stand-in thermal driver
rem qorix as a kernel service on a Windows TEST machine. Run as administrator.
rem   qorix-kit install | start | stop | remove | status
rem It refuses to touch a qorix service whose driver is not the kit's: that is the
rem notebook maker's real driver, and removing it would take the machine's thermal support.
rem start and remove empty the sensor cache, which described the notebook before. stop and
rem remove first stop the Kovaltherm service, if it is installed, so that its file says
rem kovaltherm_up 0 rather than the last temperatures.
setlocal EnableExtensions
set "KIT=%~dp0"
set "MARKER=KOVALTHERM-TESTKIT-STAND-IN-QORIX"
set "ARCH=x86"
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "ARCH=x64"
if /i "%PROCESSOR_ARCHITEW6432%"=="AMD64" set "ARCH=x64"
set "DRIVERS=%SystemRoot%\System32\drivers"
if exist "%SystemRoot%\Sysnative\drivers" set "DRIVERS=%SystemRoot%\Sysnative\drivers"
set "SOURCE=%KIT%%ARCH%\qorix.sys"
set "CACHE=HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal"
rem The library keeps its cache in the registry's 32-bit view; reg.exe names it on 64-bit Windows.
set "CACHE_VIEW="
if "%ARCH%"=="x64" set "CACHE_VIEW=/reg:32"
set "TARGET=%DRIVERS%\qorix.sys"

if /i "%~1"=="install" goto install
if /i "%~1"=="start" goto start
if /i "%~1"=="stop" goto stop
if /i "%~1"=="remove" goto remove
if /i "%~1"=="status" goto status
echo usage: qorix-kit install ^| start ^| stop ^| remove ^| status
exit /b 2

rem Sets KIT_SERVICE=none when there is no qorix service, kit when its driver carries the
rem kit's marker, else real.
:classify
set "KIT_SERVICE=none"
sc query qorix >nul 2>&1 || goto :eof
set "KIT_SERVICE=real"
set "IMAGE="
for /f "tokens=2,*" %%a in ('reg query "HKLM\SYSTEM\CurrentControlSet\Services\qorix" /v ImagePath 2^>nul ^| findstr /i ImagePath') do set "IMAGE=%%b"
if not defined IMAGE goto :eof
set "IMAGE=%IMAGE:\??\=%"
if /i "%IMAGE:~0,12%"=="\SystemRoot\" set "IMAGE=%SystemRoot%\%IMAGE:~12%"
if /i "%IMAGE:~0,9%"=="System32\" set "IMAGE=%SystemRoot%\%IMAGE%"
if exist "%SystemRoot%\Sysnative" set "IMAGE=%IMAGE:\System32\=\Sysnative\%"
findstr /m /c:"%MARKER%" "%IMAGE%" >nul 2>&1 && set "KIT_SERVICE=kit"
goto :eof

rem Stops the Kovaltherm service, when it is installed, and waits up to 30 s for it to stop;
rem errorlevel 1 when it does not.
:stop_service
sc query Kovaltherm >nul 2>&1 || exit /b 0
sc stop Kovaltherm >nul 2>&1
for /l %%i in (1,1,30) do (
    sc query Kovaltherm | findstr /c:"STOPPED" >nul && (echo qorix-kit: stopped the Kovaltherm service& exit /b 0)
    ping -n 2 127.0.0.1 >nul
)
echo qorix-kit: the Kovaltherm service did not stop within 30 s; the driver is left running
exit /b 1

:refuse_real
echo qorix-kit: a qorix service is installed whose driver is not the test kit's.
echo qorix-kit: it is this machine's real thermal driver; the kit leaves it alone and does
echo qorix-kit: nothing. Use the kit on a test machine without the maker's driver.
exit /b 3

:install
call :classify
if "%KIT_SERVICE%"=="real" goto refuse_real
echo qorix-kit: the kit's qorix.sys is NOT signed by Microsoft. 64-bit Windows (Vista and
echo qorix-kit: later) loads it only in test-signing mode: test-sign it with your own test
echo qorix-kit: certificate (signtool sign /fd sha256 /f test.pfx qorix.sys), run
echo qorix-kit: "bcdedit /set testsigning on" as administrator and restart (Secure Boot off).
echo qorix-kit: Never do this on a machine you depend on.
copy /y "%SOURCE%" "%TARGET%" >nul || (echo qorix-kit: cannot copy %SOURCE% to %TARGET% & exit /b 1)
if "%KIT_SERVICE%"=="none" (
    sc create qorix type= kernel start= demand binPath= "%TARGET%" >nul || (echo qorix-kit: sc create failed & exit /b 1)
)
echo qorix-kit: installed the %ARCH% stand-in driver as service qorix (demand start)
exit /b 0

:start
call :classify
if "%KIT_SERVICE%"=="real" goto refuse_real
if "%KIT_SERVICE%"=="none" (echo qorix-kit: not installed; run qorix-kit install & exit /b 1)
sc start qorix >nul
sc query qorix | findstr /c:"RUNNING" >nul || (echo qorix-kit: the driver did not start ^(test-signing mode?^) & exit /b 1)
reg delete "%CACHE%" /f %CACHE_VIEW% >nul 2>&1
echo qorix-kit: started ^(the default notebook; the sensor cache was emptied^)
exit /b 0

:stop
call :classify
if "%KIT_SERVICE%"=="real" goto refuse_real
if "%KIT_SERVICE%"=="none" (echo qorix-kit: not installed & exit /b 0)
call :stop_service || exit /b 1
sc stop qorix >nul 2>&1
echo qorix-kit: stopped
exit /b 0

:remove
call :classify
if "%KIT_SERVICE%"=="real" goto refuse_real
if "%KIT_SERVICE%"=="none" (echo qorix-kit: not installed & exit /b 0)
call :stop_service || exit /b 1
sc stop qorix >nul 2>&1
sc delete qorix >nul || (echo qorix-kit: sc delete failed & exit /b 1)
del /f "%TARGET%" >nul 2>&1
reg delete "%CACHE%" /f %CACHE_VIEW% >nul 2>&1
echo qorix-kit: removed
exit /b 0

:status
call :classify
echo qorix-kit: service qorix: %KIT_SERVICE%
if not "%KIT_SERVICE%"=="none" sc query qorix | findstr STATE
exit /b 0
