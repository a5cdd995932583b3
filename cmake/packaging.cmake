# Debian package of the console and the retranslator simulator: `cpack -G DEB` in a build directory.
# The executables install to bin/ (their own install rules); this adds the desktop entry and its icon, the
# Wireshark dissector and the samples. Windows has an installer of its own.
if(WIN32)
    include(cmake/windowspackage.cmake)
    return()
endif()
if(NOT UNIX OR APPLE)
    return()
endif()

# The menu icon is the PNG image inside the application's Windows icon, so both show the same picture.
set(DEVIV_ICON_PNG ${CMAKE_BINARY_DIR}/packaging/deviv_azeve.png)
add_custom_command(
    OUTPUT ${DEVIV_ICON_PNG}
    COMMAND ${CMAKE_COMMAND} -DICO=${PROJECT_SOURCE_DIR}/qml/app_icon.ico -DPNG=${DEVIV_ICON_PNG}
            -P ${PROJECT_SOURCE_DIR}/cmake/icopng.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/qml/app_icon.ico ${PROJECT_SOURCE_DIR}/cmake/icopng.cmake
    COMMENT "Taking the PNG image out of app_icon.ico"
    VERBATIM)
add_custom_target(deviv_icon_png ALL DEPENDS ${DEVIV_ICON_PNG})

install(FILES packaging/deviv_azeve.desktop DESTINATION share/applications)
install(FILES ${DEVIV_ICON_PNG} DESTINATION share/icons/hicolor/256x256/apps)
# Wireshark and tshark load every Lua file in their global plugin folder (`tshark -G folders`, "Global Lua
# Plugins"), which on Debian is /usr/lib/<multiarch>/wireshark/plugins.
set(DEVIV_WIRESHARK_PLUGINS lib/wireshark/plugins)
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(DEVIV_WIRESHARK_PLUGINS lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins)
endif()
install(FILES tools/wireshark/deviv.lua DESTINATION ${DEVIV_WIRESHARK_PLUGINS})
# A capture to practise with: `retranslator-sim --replay` and the dissector both read it.
install(FILES samples/track-network.pcap DESTINATION share/deviv-azeve/samples)
# A timing system's session to train with: `feed-player` plays it to the console's timing feed.
install(FILES samples/rmonitor-session.txt DESTINATION share/deviv-azeve/samples)

set(DEVIV_PACKAGE_MAINTAINER "deviv <packages@deviv.invalid>"
    CACHE STRING "Maintainer field of the Debian package (\"Name <address>\")")

set(CPACK_PACKAGE_NAME deviv-azeve)
set(CPACK_PACKAGE_VENDOR deviv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operator console for engine RPM limiters on racing karts")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Shows every kart that the track-side relay (the retranslator) reports over\n"
    "UDP port 11309: kart number, engine RPM, signal strength, whether the kart\n"
    "still reports, and whether the limit asked for is in force. The operator\n"
    "limits all karts or one kart to 25 %, 50 %, 100 % or STOP; several consoles\n"
    "on one network keep each other in step.\n"
    "Also installs retranslator-sim, a stand-in for the relay for demonstrations\n"
    "and tests, which can also replay a capture of a track network, feed-player,\n"
    "which plays a recorded timing system's race flag feed (RMonitor), and a\n"
    "Wireshark dissector for the console's traffic on UDP port 11309.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DEVIV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Libraries the executables link come from dpkg-shlibdeps; the QML modules are loaded at run time, so
# they are listed here, with a font that has the Cyrillic letters of the screens' texts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
string(CONCAT CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml-module-qtquick2, qml-module-qtquick-window2, qml-module-qtquick-controls2, "
    "qml-module-qtquick-templates2, qml-module-qtquick-layouts, fonts-dejavu-core")
# The dissector is for whoever looks at the track network with Wireshark or tshark.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark | tshark")

include(CPack)
