# The Windows build: Kovaltherm.dll with its import libraries, the stand-in kernel driver
# qorix.sys, and the Windows test programs run under Wine.

# Entry points: 32-bit x86 decorates stdcall names with the size of their arguments, x64 has
# one calling convention and no decoration; llvm-dlltool names the machine likewise.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KOVALTHERM_ARCH x64)
    set(KOVALTHERM_ARCH_BITS 64)
    set(KOVALTHERM_DLL_ENTRY DllMain)
    set(KOVALTHERM_DRIVER_ENTRY DriverEntry)
    set(KOVALTHERM_DLLTOOL_MACHINE i386:x86-64)
else()
    set(KOVALTHERM_ARCH x86)
    set(KOVALTHERM_ARCH_BITS 32)
    set(KOVALTHERM_DLL_ENTRY _DllMain@12)
    set(KOVALTHERM_DRIVER_ENTRY _DriverEntry@8)
    set(KOVALTHERM_DLLTOOL_MACHINE i386)
endif()

# No C or C++ runtime inside the DLL or the driver: nothing the compiler could need from
# one is used, and the two block functions it may call are in src/dll/runtime.cpp.
set(KOVALTHERM_FREESTANDING_FLAGS
    $<$<COMPILE_LANGUAGE:C,CXX>:-ffreestanding -fno-asynchronous-unwind-tables
        -fno-stack-protector -fno-tree-loop-distribute-patterns>
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)

# The project's version for the version resources.
set(KOVALTHERM_GENERATED ${CMAKE_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/src/dll/version.h.in ${KOVALTHERM_GENERATED}/kovaltherm_version.h)

add_library(Kovaltherm SHARED
    ${KOVALTHERM_LIBRARY_SOURCES}
    src/dll/runtime.cpp
    src/dll/Kovaltherm.rc
    src/dll/Kovaltherm.def
)
set_target_properties(Kovaltherm PROPERTIES PREFIX "" OUTPUT_NAME Kovaltherm
    IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
target_include_directories(Kovaltherm PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src
    ${KOVALTHERM_GENERATED})
target_compile_options(Kovaltherm PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${KOVALTHERM_WARNINGS}> ${KOVALTHERM_FREESTANDING_FLAGS})
target_link_options(Kovaltherm PRIVATE -nostdlib -Wl,--entry,${KOVALTHERM_DLL_ENTRY}
    -Wl,--no-insert-timestamp -Wl,--enable-stdcall-fixup)
target_link_libraries(Kovaltherm PRIVATE kernel32 advapi32 user32 gcc)

# An import library for MSVC, made from the module-definition file.
find_program(KOVALTHERM_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
if(KOVALTHERM_LLVM_DLLTOOL)
    add_custom_command(TARGET Kovaltherm POST_BUILD
        COMMAND ${KOVALTHERM_LLVM_DLLTOOL} -m ${KOVALTHERM_DLLTOOL_MACHINE} -d ${PROJECT_SOURCE_DIR}/src/dll/Kovaltherm.def
                -l ${CMAKE_BINARY_DIR}/Kovaltherm.lib
        COMMENT "Making the MSVC import library Kovaltherm.lib")
endif()

# The stand-in kernel driver around the simulated notebook.
set(KOVALTHERM_DDK_INCLUDE /usr/${KOVALTHERM_MINGW_PREFIX}/include/ddk)
add_library(qorix SHARED driver/qorix.c driver/notebook_service.cpp sim/notebook.cpp)
set_target_properties(qorix PROPERTIES PREFIX "" SUFFIX ".sys")
target_include_directories(qorix PRIVATE ${PROJECT_SOURCE_DIR} ${KOVALTHERM_DDK_INCLUDE})
target_compile_options(qorix PRIVATE ${KOVALTHERM_WARNINGS} ${KOVALTHERM_FREESTANDING_FLAGS})
target_link_options(qorix PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,${KOVALTHERM_DRIVER_ENTRY}
    -Wl,--no-insert-timestamp)
target_link_libraries(qorix PRIVATE ntoskrnl hal gcc)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Windows test programs: statically linked so that they need nothing but Wine's own DLLs.
function(kovaltherm_windows_program name)
    add_executable(${name} ${ARGN})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE ${KOVALTHERM_WARNINGS})
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
    target_link_libraries(${name} PRIVATE kernel32 advapi32 user32)
endfunction()

add_subdirectory(client)
add_subdirectory(tools/ktsensors)
add_subdirectory(tools/monitor)

# The test kit's ktsensors-testkit.exe: ktsensors.exe's object files linked again with a version
# resource of its own, whose name and description say "Kovaltherm test kit".
set(KOVALTHERM_TOOL_OBJECTS "$<FILTER:$<TARGET_OBJECTS:ktsensors>,EXCLUDE,\\.rc\\.(obj|res)$>")
add_executable(ktsensors-testkit testkit/ktsensors-testkit.rc ${KOVALTHERM_TOOL_OBJECTS})
add_dependencies(ktsensors-testkit ktsensors)
get_target_property(KOVALTHERM_TOOL_INCLUDES ktsensors INCLUDE_DIRECTORIES)
target_include_directories(ktsensors-testkit PRIVATE ${KOVALTHERM_TOOL_INCLUDES})
set_target_properties(ktsensors-testkit PROPERTIES LINKER_LANGUAGE CXX)
target_link_options(ktsensors-testkit PRIVATE $<TARGET_PROPERTY:ktsensors,LINK_OPTIONS>)
target_link_libraries(ktsensors-testkit PRIVATE $<TARGET_PROPERTY:ktsensors,LINK_LIBRARIES>)

# The installer's custom actions (packaging/msi), which msiexec loads: stripped, nothing but
# system DLLs needed (the C++ runtime is linked in). They call the same code as ktsensors.exe
# for every rule the service keeps: the textfile and its folders, the command line, the
# restarts, the URL reservation.
add_library(KovalthermSetup SHARED packaging/msi/setup_actions.cpp packaging/msi/setup_actions.def)
set_target_properties(KovalthermSetup PROPERTIES PREFIX "")
target_compile_options(KovalthermSetup PRIVATE ${KOVALTHERM_WARNINGS})
target_link_options(KovalthermSetup PRIVATE -s -static -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup
    -Wl,--no-insert-timestamp)
target_link_libraries(KovalthermSetup PRIVATE kovaltherm_client msi advapi32 user32 kernel32 shell32 httpapi ntdll)

# The shipped programs again as the next version (patch + 1), in next/, for the MSI's upgrade
# test: each one's object files linked again with the next version's resources (and, for
# ktsensors.exe, its --version), which costs seconds where building the sources again as
# another version cost the x64 suite a minute and a half.
if(KOVALTHERM_ARCH STREQUAL "x64")
    math(EXPR KOVALTHERM_NEXT_PATCH "${PROJECT_VERSION_PATCH} + 1")
    set(KOVALTHERM_NEXT_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${KOVALTHERM_NEXT_PATCH})
    set(KOVALTHERM_NEXT_DIR ${CMAKE_BINARY_DIR}/next)
    set(KOVALTHERM_NEXT_GENERATED ${CMAKE_BINARY_DIR}/generated-next)
    function(kovaltherm_next_version_header)
        set(PROJECT_VERSION ${KOVALTHERM_NEXT_VERSION})
        set(PROJECT_VERSION_PATCH ${KOVALTHERM_NEXT_PATCH})
        configure_file(${PROJECT_SOURCE_DIR}/src/dll/version.h.in ${KOVALTHERM_NEXT_GENERATED}/kovaltherm_version.h)
    endfunction()
    kovaltherm_next_version_header()
    # TARGET's objects less those matching EXCLUDE, linked again as NAME with SOURCES.
    function(kovaltherm_next name target exclude)
        add_executable(${name} ${ARGN} "$<FILTER:$<TARGET_OBJECTS:${target}>,EXCLUDE,${exclude}>")
        get_target_property(includes ${target} INCLUDE_DIRECTORIES)
        target_include_directories(${name} BEFORE PRIVATE ${KOVALTHERM_NEXT_GENERATED})
        target_include_directories(${name} PRIVATE ${includes})
        set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX RUNTIME_OUTPUT_DIRECTORY ${KOVALTHERM_NEXT_DIR}
            OUTPUT_NAME $<TARGET_FILE_BASE_NAME:${target}>)
        target_link_options(${name} PRIVATE $<TARGET_PROPERTY:${target},LINK_OPTIONS>)
        target_link_libraries(${name} PRIVATE $<TARGET_PROPERTY:${target},LINK_LIBRARIES>)
    endfunction()
    set(rc_objects "\\.rc\\.(obj|res)$")
    kovaltherm_next(ktsensors-next ktsensors "(${rc_objects}|/options\\.cpp\\.obj$)"
        tools/ktsensors/ktsensors.rc tools/ktsensors/options.cpp)
    target_compile_definitions(ktsensors-next PRIVATE KTSENSORS_VERSION="${KOVALTHERM_NEXT_VERSION}")
    target_compile_options(ktsensors-next PRIVATE ${KOVALTHERM_WARNINGS})
    target_link_libraries(ktsensors-next PRIVATE kovaltherm_client)
    kovaltherm_next(kovaltherm-monitor-next kovaltherm-monitor ${rc_objects} tools/monitor/kovaltherm-monitor.rc)
    set_target_properties(kovaltherm-monitor-next PROPERTIES WIN32_EXECUTABLE ON)
    # The DLL: its entry point, freestanding link and module-definition file as Kovaltherm's.
    add_library(Kovaltherm-next SHARED src/dll/Kovaltherm.rc src/dll/Kovaltherm.def
        "$<FILTER:$<TARGET_OBJECTS:Kovaltherm>,EXCLUDE,${rc_objects}>")
    target_include_directories(Kovaltherm-next PRIVATE ${KOVALTHERM_NEXT_GENERATED})
    set_target_properties(Kovaltherm-next PROPERTIES PREFIX "" OUTPUT_NAME Kovaltherm LINKER_LANGUAGE CXX
        RUNTIME_OUTPUT_DIRECTORY ${KOVALTHERM_NEXT_DIR} ARCHIVE_OUTPUT_DIRECTORY ${KOVALTHERM_NEXT_DIR})
    target_link_options(Kovaltherm-next PRIVATE $<TARGET_PROPERTY:Kovaltherm,LINK_OPTIONS>)
    target_link_libraries(Kovaltherm-next PRIVATE $<TARGET_PROPERTY:Kovaltherm,LINK_LIBRARIES>)
    # The custom actions carry no version: the same DLL serves the next package.
    add_custom_command(TARGET KovalthermSetup POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:KovalthermSetup> ${KOVALTHERM_NEXT_DIR}/)
endif()

include(CTest)
add_subdirectory(tests/wine)

# The SDK (cmake --install): the header; per architecture the DLL, both import libraries,
# the module-definition file, ktsensors.exe and kovaltherm-monitor.exe; a CMake package that
# picks the consumer's architecture; the licence, the application developers' README and the
# examples.
include(CMakePackageConfigHelpers)
set(KOVALTHERM_INSTALL_ARCH_DIR ${KOVALTHERM_ARCH})
set(KOVALTHERM_INSTALL_CMAKE_DIR lib/cmake/Kovaltherm)
install(FILES ${PROJECT_SOURCE_DIR}/include/kovaltherm.h DESTINATION include)
install(TARGETS Kovaltherm ktsensors kovaltherm-monitor
        RUNTIME DESTINATION ${KOVALTHERM_INSTALL_ARCH_DIR}
        ARCHIVE DESTINATION ${KOVALTHERM_INSTALL_ARCH_DIR})
install(FILES ${CMAKE_BINARY_DIR}/Kovaltherm.lib ${PROJECT_SOURCE_DIR}/src/dll/Kovaltherm.def
        DESTINATION ${KOVALTHERM_INSTALL_ARCH_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/KovalthermConfigVersion.cmake
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_SOURCE_DIR}/sdk/KovalthermConfig.cmake
              ${CMAKE_BINARY_DIR}/KovalthermConfigVersion.cmake
        DESTINATION ${KOVALTHERM_INSTALL_CMAKE_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/sdk/README.md DESTINATION .)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sdk/examples/ DESTINATION examples)
# For pkg-config, a kovaltherm.pc per architecture; for .NET, the wrapper as one C# file (the
# Python and NuGet packages are made from the installed DLLs by packaging/dist).
configure_file(${PROJECT_SOURCE_DIR}/sdk/kovaltherm.pc.in ${CMAKE_BINARY_DIR}/kovaltherm.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kovaltherm.pc DESTINATION ${KOVALTHERM_INSTALL_ARCH_DIR}/pkgconfig)
install(FILES ${PROJECT_SOURCE_DIR}/sdk/dotnet/Kovaltherm.cs DESTINATION dotnet)

# The test kit: per architecture the stand-in driver with ktsensors-testkit.exe (which loads a
# scenario into it) and the DLL beside it, both stripped as the product's are; the example
# scenarios; the scripts that install, start, stop and remove the driver (Windows and Wine);
# its walk-through.
install(FILES $<TARGET_FILE:qorix> DESTINATION testkit/${KOVALTHERM_INSTALL_ARCH_DIR})
install(TARGETS ktsensors-testkit Kovaltherm RUNTIME DESTINATION testkit/${KOVALTHERM_INSTALL_ARCH_DIR}
        ARCHIVE DESTINATION ${KOVALTHERM_INSTALL_ARCH_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION testkit/scenarios)
install(FILES ${PROJECT_SOURCE_DIR}/testkit/README.md ${PROJECT_SOURCE_DIR}/testkit/qorix-kit.cmd
        DESTINATION testkit)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/testkit/qorix-kit.sh DESTINATION testkit)
