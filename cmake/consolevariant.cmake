# Console executables: the program's own main() over the core library, its resources and any extra sources (a
# probe for tests and benchmarks), each started on Windows as the product is. With QRC the resources are compiled
# as they are; without it the console's qml/qml.qrc is, with the QML compiled ahead of time. That compiler writes one fixed-name loader per folder, so
# each folder builds at most one variant from qml/qml.qrc.
set(DEVIV_STRICT_STRINGS QT_NO_CAST_FROM_ASCII QT_NO_URL_CAST_FROM_STRING QT_USE_QSTRINGBUILDER)

function(deviv_add_console name)
    cmake_parse_arguments(ARG "" "QRC" "SOURCES;LIBS" ${ARGN})
    if(ARG_QRC)
        qt5_add_resources(resources ${ARG_QRC})
    else()
        find_package(Qt5QuickCompiler REQUIRED)
        qtquick_compiler_add_resources(resources ${PROJECT_SOURCE_DIR}/qml/qml.qrc)
    endif()
    add_executable(${name} ${PROJECT_SOURCE_DIR}/src/app/main.cpp ${ARG_SOURCES} ${resources})
    target_link_libraries(${name} PRIVATE deviv_core Qt5::Gui Qt5::Qml Qt5::Quick ${ARG_LIBS})
    target_compile_definitions(${name} PRIVATE ${DEVIV_STRICT_STRINGS} DEVIV_VERSION="${PROJECT_VERSION}")
    if(WIN32)
        # A GUI-subsystem program (no console window) with its icon and version record; Qt's WinMain adaptor
        # is linked in and hands main() the command line.
        target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src/app/deviv_azeve.rc)
        set_target_properties(${name} PROPERTIES WIN32_EXECUTABLE ON)
    endif()
endfunction()
