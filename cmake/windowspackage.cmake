# The Windows installer: `cpack -G NSIS` in a build directory of the Windows build (MinGW-w64, here cross-built)
# makes deviv_azeve-<version>-win64.exe. It installs the console with what it needs to run (windowsdeploy.cmake)
# under Program Files, a Start menu entry and an uninstaller, lets the console receive UDP on port 11309 through
# Windows Firewall, and puts the Wireshark dissector in the installing user's personal Lua plugins folder.
# The uninstaller removes all of it and the QML cache that Qt keeps for the console in the user's local
# application data; the console's settings in the registry and its event record (the operator's data) stay.
# So do the incident reports: they are in %APPDATA%\deviv\zadar\incidents, beside the record, which it never touches.
get_filename_component(DEVIV_QT_ROOT ${Qt5Core_DIR}/../../.. ABSOLUTE)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # The MinGW runtime DLLs (libstdc++, libgcc_s, libwinpthread) lie beside the compiler's libraries.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll OUTPUT_VARIABLE libstdcxx
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libwinpthread-1.dll OUTPUT_VARIABLE winpthread
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(runtime_dir ${libstdcxx} DIRECTORY)
    get_filename_component(pthread_dir ${winpthread} DIRECTORY)
    set(DEVIV_DLL_DIRS ${DEVIV_QT_ROOT}/bin ${runtime_dir} ${pthread_dir})
else()
    # MSVC: windeployqt, as docs/windows-build.md says; the NSIS installer is made with MinGW-w64.
    return()
endif()
install(CODE "
    set(DEVIV_DEPLOY_EXE \"$<TARGET_FILE:deviv_azeve>\")
    set(DEVIV_QT_ROOT \"${DEVIV_QT_ROOT}\")
    set(DEVIV_QML_SOURCES \"${PROJECT_SOURCE_DIR}/qml\")
    set(DEVIV_DLL_DIRS \"${DEVIV_DLL_DIRS}\")
    set(DEVIV_OBJDUMP \"${CMAKE_OBJDUMP}\")
")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/windowsdeploy.cmake)
install(FILES tools/wireshark/deviv.lua DESTINATION share/wireshark)

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME deviv_azeve)
set(CPACK_PACKAGE_VENDOR deviv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME deviv_azeve-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operator console for engine RPM limiters on racing karts")
set(CPACK_PACKAGE_INSTALL_DIRECTORY deviv_azeve)
set(CPACK_PACKAGE_EXECUTABLES deviv_azeve "deviv_azeve")
set(CPACK_STRIP_FILES ON)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME deviv_azeve)
set(CPACK_NSIS_PACKAGE_NAME deviv_azeve)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/qml/app_icon.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME bin\\\\deviv_azeve.exe)
# A 64-bit installer, so that it sees the 64-bit Program Files and system folder.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(DEVIV_FIREWALL_RULE "name=\\\"deviv_azeve UDP 11309\\\"")
string(CONCAT CPACK_NSIS_EXTRA_INSTALL_COMMANDS
    "nsExec::ExecToLog '\\\"$SYSDIR\\\\netsh.exe\\\" advfirewall firewall add rule ${DEVIV_FIREWALL_RULE} "
    "dir=in action=allow protocol=UDP localport=11309 program=\\\"$INSTDIR\\\\bin\\\\deviv_azeve.exe\\\" "
    "profile=any enable=yes'\n"
    "SetShellVarContext current\n"
    "CreateDirectory \\\"$APPDATA\\\\Wireshark\\\\plugins\\\"\n"
    "CopyFiles /SILENT \\\"$INSTDIR\\\\share\\\\wireshark\\\\deviv.lua\\\" \\\"$APPDATA\\\\Wireshark\\\\plugins\\\"\n"
    "SetShellVarContext all\n")
string(CONCAT CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS
    "nsExec::ExecToLog '\\\"$SYSDIR\\\\netsh.exe\\\" advfirewall firewall delete rule ${DEVIV_FIREWALL_RULE}'\n"
    "SetShellVarContext current\n"
    "Delete \\\"$APPDATA\\\\Wireshark\\\\plugins\\\\deviv.lua\\\"\n"
    "RMDir \\\"$APPDATA\\\\Wireshark\\\\plugins\\\"\n"
    "RMDir \\\"$APPDATA\\\\Wireshark\\\"\n"
    "RMDir /r \\\"$LOCALAPPDATA\\\\deviv\\\\zadar\\\\cache\\\"\n"
    "RMDir \\\"$LOCALAPPDATA\\\\deviv\\\\zadar\\\"\n"
    "RMDir \\\"$LOCALAPPDATA\\\\deviv\\\"\n"
    "SetShellVarContext all\n")
include(CPack)
